#include "velkor64.h"

#include "crypt.h"

namespace velkor
{

Firebird::IMaster* masterInterface = nullptr;

namespace
{
constexpr const char* pluginName = "velkor";  // case-sensitive in the engine
}

TMyPluginModule::~TMyPluginModule()
{
	// After doClean the manager may already be gone: no call then.
	if (FRegistered)
	{
		masterInterface->getPluginManager()->unregisterModule(this);
		doClean();
	}
}

void TMyPluginModule::registerMe()
{
	if (FRegistered)
		return;
	masterInterface->getPluginManager()->registerModule(this);
	FRegistered = true;
}

// IPluginModule

void TMyPluginModule::doClean()
{
	FRegistered = false;
}

void TMyPluginModule::threadDetach() {}

}  // namespace velkor

// The module's only export. The module object and the factory are never
// destroyed by the module: they live as long as the library stays loaded.
extern "C" FB_DLL_EXPORT void FB_PLUGIN_ENTRY_POINT(Firebird::IMaster* master)
{
	using namespace velkor;

	// Nothing can be reported from here: without a master or a manager there
	// is nothing to register with, and the engine then finds no "velkor".
	if (!master)
		return;
	Firebird::IPluginManager* pluginManager = master->getPluginManager();
	if (!pluginManager)
		return;
	masterInterface = master;

	try
	{
		TMyPluginModule* module = new TMyPluginModule;
		module->registerMe();
		pluginManager->registerPluginFactory(Firebird::IPluginManager::TYPE_DB_CRYPT, pluginName,
											 new TMyFactory);
	}
	catch (...)
	{
		// Out of memory at load time: no exception may reach the engine.
	}
}
