// velkor64: a Firebird database crypt plug-in module whose transform is the
// identity. It gives no confidentiality: pages are stored as they are.
//
// The engine loads the module and calls firebird_plugin(), which registers
// the module object and one factory, "velkor", of type TYPE_DB_CRYPT.
#pragma once

#include <firebird/Interface.h>

#include "status.h"

namespace velkor
{

// The engine's master interface, stored by firebird_plugin() before the
// engine can reach anything this module registers. Not reference counted.
extern Firebird::IMaster* masterInterface;

// Tells the engine's plug-in manager that this module is loaded, and lets the
// engine say (doClean) when the module must stop calling the manager.
class TMyPluginModule final : public Firebird::IPluginModuleImpl<TMyPluginModule, TStatus>
{
public:
	TMyPluginModule() = default;
	~TMyPluginModule() override;

	// Registers with the plug-in manager once; later calls do nothing.
	void registerMe();

	// IPluginModule
	void doClean() override;
	void threadDetach() override;

private:
	bool FRegistered = false;
};

}  // namespace velkor

extern "C" FB_DLL_EXPORT void FB_PLUGIN_ENTRY_POINT(Firebird::IMaster* master);
