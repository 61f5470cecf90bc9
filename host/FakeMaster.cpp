#include "FakeMaster.h"

#include "HostStatus.h"

#include <mutex>

namespace host
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

Firebird::IPluginSet* FakePluginManager::getPlugins(PassStatus*, unsigned, const char*,
													Firebird::IFirebirdConf*)
{
	log_.add("unexpected: IPluginManager::getPlugins");
	return nullptr;
}

Firebird::IConfig* FakePluginManager::getConfig(PassStatus*, const char*)
{
	log_.add("unexpected: IPluginManager::getConfig");
	return nullptr;
}

void FakePluginManager::releasePlugin(Firebird::IPluginBase*)
{
	log_.add("unexpected: IPluginManager::releasePlugin");
}

Firebird::IPluginManager* FakeMaster::getPluginManager()
{
	log_.add("getPluginManager");
	return manager_;
}

#define HOST_UNEXPECTED(name, result)                                                                        \
	do                                                                                                       \
	{                                                                                                        \
		log_.add("unexpected: IMaster::" name);                                                              \
		return result;                                                                                       \
	} while (0)

// A plug-in may want a status of its own, for calls it makes into the
// engine's objects (IDbCryptInfo, key holders); dispose() frees it.
Firebird::IStatus* FakeMaster::getStatus()
{
	log_.add("getStatus");
	return new HostStatus;
}
Firebird::IProvider* FakeMaster::getDispatcher()
{
	HOST_UNEXPECTED("getDispatcher", nullptr);
}
Firebird::ITimerControl* FakeMaster::getTimerControl()
{
	HOST_UNEXPECTED("getTimerControl", nullptr);
}
Firebird::IDtc* FakeMaster::getDtc()
{
	HOST_UNEXPECTED("getDtc", nullptr);
}
Firebird::IAttachment* FakeMaster::registerAttachment(Firebird::IProvider*, Firebird::IAttachment*)
{
	HOST_UNEXPECTED("registerAttachment", nullptr);
}
Firebird::ITransaction* FakeMaster::registerTransaction(Firebird::IAttachment*, Firebird::ITransaction*)
{
	HOST_UNEXPECTED("registerTransaction", nullptr);
}
Firebird::IMetadataBuilder* FakeMaster::getMetadataBuilder(PassStatus*, unsigned)
{
	HOST_UNEXPECTED("getMetadataBuilder", nullptr);
}
int FakeMaster::serverMode(int)
{
	HOST_UNEXPECTED("serverMode", 0);
}
Firebird::IUtil* FakeMaster::getUtilInterface()
{
	HOST_UNEXPECTED("getUtilInterface", nullptr);
}
Firebird::IConfigManager* FakeMaster::getConfigManager()
{
	HOST_UNEXPECTED("getConfigManager", nullptr);
}
FB_BOOLEAN FakeMaster::getProcessExiting()
{
	HOST_UNEXPECTED("getProcessExiting", FB_FALSE);
}

#undef HOST_UNEXPECTED

}  // namespace host
