#include "FakeMaster.h"

#include "HostStatus.h"
#include "Unemulated.h"

#include <atomic>
#include <mutex>

#include "FakeUtil.h"

namespace standin
{

namespace
{

// The engine keeps what a module registered until the process ends; so does
// the stand-in, which also keeps leak checkers from reporting it.
void keepLoaded(std::vector<Registration>& factories, std::vector<Firebird::IPluginModule*>& modules)
{
	static std::mutex mutex;
	static std::vector<void*>* kept = new std::vector<void*>;
	std::lock_guard<std::mutex> lock(mutex);
	for (const Registration& r : factories)
		kept->push_back(r.factory);
	kept->insert(kept->end(), modules.begin(), modules.end());
}

}  // namespace

FakePluginManager::~FakePluginManager()
{
	keepLoaded(factories_, modules_);
}

void FakePluginManager::registerPluginFactory(unsigned pluginType, const char* defaultName,
											  Firebird::IPluginFactory* factory)
{
	log_.add("registerPluginFactory");
	factories_.push_back({pluginType, defaultName ? defaultName : "", factory});
}

void FakePluginManager::registerModule(Firebird::IPluginModule* cleanup)
{
	log_.add("registerModule");
	modules_.push_back(cleanup);
}

void FakePluginManager::unregisterModule(Firebird::IPluginModule* cleanup)
{
	log_.add("unregisterModule");
	unregistered_.push_back(cleanup);
}

// Calls a crypt plug-in has no need of: logged as unexpected, and reported
// as not emulated.
#define HOST_UNEXPECTED(name, result)                                                                        \
	do                                                                                                       \
	{                                                                                                        \
		log_.add("unexpected: " name);                                                                       \
		unemulated(name);                                                                                    \
		return result;                                                                                       \
	} while (0)

Firebird::IPluginSet* FakePluginManager::getPlugins(PassStatus*, unsigned, const char*,
													Firebird::IFirebirdConf*)
{
	HOST_UNEXPECTED("IPluginManager::getPlugins", nullptr);
}

Firebird::IConfig* FakePluginManager::getConfig(PassStatus*, const char*)
{
	HOST_UNEXPECTED("IPluginManager::getConfig", nullptr);
}

void FakePluginManager::releasePlugin(Firebird::IPluginBase*)
{
	HOST_UNEXPECTED("IPluginManager::releasePlugin", );
}

Firebird::IPluginManager* FakeMaster::getPluginManager()
{
	log_.add("getPluginManager");
	return manager_;
}

// A plug-in may want a status of its own, for calls it makes into the
// engine's objects (IDbCryptInfo, key holders); dispose() frees it.
Firebird::IStatus* FakeMaster::getStatus()
{
	log_.add("getStatus");
	return new HostStatus;
}
Firebird::IProvider* FakeMaster::getDispatcher()
{
	HOST_UNEXPECTED("IMaster::getDispatcher", nullptr);
}
Firebird::ITimerControl* FakeMaster::getTimerControl()
{
	HOST_UNEXPECTED("IMaster::getTimerControl", nullptr);
}
Firebird::IDtc* FakeMaster::getDtc()
{
	HOST_UNEXPECTED("IMaster::getDtc", nullptr);
}
Firebird::IAttachment* FakeMaster::registerAttachment(Firebird::IProvider*, Firebird::IAttachment*)
{
	HOST_UNEXPECTED("IMaster::registerAttachment", nullptr);
}
Firebird::ITransaction* FakeMaster::registerTransaction(Firebird::IAttachment*, Firebird::ITransaction*)
{
	HOST_UNEXPECTED("IMaster::registerTransaction", nullptr);
}
Firebird::IMetadataBuilder* FakeMaster::getMetadataBuilder(PassStatus*, unsigned)
{
	HOST_UNEXPECTED("IMaster::getMetadataBuilder", nullptr);
}
// The engine keeps one server mode for the process (MasterImplementation::
// serverMode): a mode of 0 or more sets it, and the call says what it is.
// The stand-in plays a SuperServer.
int FakeMaster::serverMode(int mode)
{
	log_.add("serverMode");
	static std::atomic<int> current{1};
	if (mode >= 0)
		current = mode;
	return current;
}
Firebird::IUtil* FakeMaster::getUtilInterface()
{
	log_.add("getUtilInterface");
	static FakeUtil util;
	return &util;
}
Firebird::IConfigManager* FakeMaster::getConfigManager()
{
	log_.add("getConfigManager");
	static FakeConfigManager manager;
	return &manager;
}
FB_BOOLEAN FakeMaster::getProcessExiting()
{
	log_.add("getProcessExiting");
	return FB_FALSE;
}

#undef HOST_UNEXPECTED

}  // namespace standin
