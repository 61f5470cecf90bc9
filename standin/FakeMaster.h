// The engine's master interface and plug-in manager, as far as a plug-in
// module sees them: they record registrations and every call, in order.
#pragma once

#include <string>
#include <vector>

#include <firebird/Interface.h>

#include "CallLog.h"
#include "HostStatus.h"

namespace standin
{

struct Registration
{
	unsigned type;
	std::string name;
	Firebird::IPluginFactory* factory;
};

class FakePluginManager final : public Firebird::IPluginManagerImpl<FakePluginManager, PassStatus>
{
public:
	explicit FakePluginManager(CallLog& log) : log_(log) {}
	~FakePluginManager() override;

	const std::vector<Registration>& factories() const { return factories_; }
	const std::vector<Firebird::IPluginModule*>& modules() const { return modules_; }
	const std::vector<Firebird::IPluginModule*>& unregistered() const { return unregistered_; }

	// IPluginManager
	void registerPluginFactory(unsigned pluginType, const char* defaultName,
							   Firebird::IPluginFactory* factory) override;
	void registerModule(Firebird::IPluginModule* cleanup) override;
	void unregisterModule(Firebird::IPluginModule* cleanup) override;
	Firebird::IPluginSet* getPlugins(PassStatus*, unsigned, const char*, Firebird::IFirebirdConf*) override;
	Firebird::IConfig* getConfig(PassStatus*, const char*) override;
	void releasePlugin(Firebird::IPluginBase*) override;

private:
	CallLog& log_;
	std::vector<Registration> factories_;
	std::vector<Firebird::IPluginModule*> modules_;
	std::vector<Firebird::IPluginModule*> unregistered_;
};

class FakeMaster final : public Firebird::IMasterImpl<FakeMaster, PassStatus>
{
public:
	// `manager` may be null, to see what a module does without one.
	FakeMaster(CallLog& log, FakePluginManager* manager) : log_(log), manager_(manager) {}

	// IMaster: getPluginManager and getStatus are expected; the rest are
	// logged as unexpected.
	Firebird::IPluginManager* getPluginManager() override;
	Firebird::IStatus* getStatus() override;
	Firebird::IProvider* getDispatcher() override;
	Firebird::ITimerControl* getTimerControl() override;
	Firebird::IDtc* getDtc() override;
	Firebird::IAttachment* registerAttachment(Firebird::IProvider*, Firebird::IAttachment*) override;
	Firebird::ITransaction* registerTransaction(Firebird::IAttachment*, Firebird::ITransaction*) override;
	Firebird::IMetadataBuilder* getMetadataBuilder(PassStatus*, unsigned) override;
	int serverMode(int) override;
	Firebird::IUtil* getUtilInterface() override;
	Firebird::IConfigManager* getConfigManager() override;
	FB_BOOLEAN getProcessExiting() override;

private:
	CallLog& log_;
	FakePluginManager* manager_;
};

}  // namespace standin
