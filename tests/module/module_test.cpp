// The built libvelkor64 as the engine meets it: dlopen(RTLD_NOW), the entry
// point found by name, and every call through the dispatch tables.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "CallLog.h"
#include "FakeCryptInputs.h"
#include "FakeMaster.h"
#include "FakeConfig.h"
#include "HostStatus.h"
#include "InterfaceVersion.h"
#include "LoadedModule.h"

namespace
{

standin::LoadedModule& library()
{
	static standin::LoadedModule loaded(VELKOR_MODULE_PATH);
	return loaded;
}

struct LoadedEngine
{
	standin::CallLog log;
	standin::FakePluginManager manager{log};
	standin::FakeMaster master{log, &manager};
	Firebird::IPluginFactory* factory = nullptr;

	LoadedEngine()
	{
		library().entryPoint()(&master);
		if (manager.factories().size() == 1)
			factory = manager.factories()[0].factory;
	}
};

}  // namespace

TEST(LoadedModule, ExportsTheEntryPointByName)
{
	ASSERT_NE(library().entryPoint(), nullptr);
}

#ifdef _WIN32
// plugins.conf names the module without an extension ("Module =
// $(dir_plugins)/velkor64"), and Windows' loader appends ".dll": the file
// must be velkor64.dll, with no "lib" before it.
TEST(LoadedModule, LoadsByTheNameAWindowsEngineIsGiven)
{
	std::string path = VELKOR_MODULE_PATH;
	ASSERT_EQ(path.substr(path.size() - 13), "/velkor64.dll");
	standin::LoadedModule byName(path.substr(0, path.size() - 4));
	EXPECT_NE(byName.entryPoint(), nullptr);
}
#endif

TEST(LoadedModule, RegistersVelkorAsADatabaseCryptPlugin)
{
	LoadedEngine engine;
	ASSERT_EQ(engine.manager.modules().size(), 1u);
	ASSERT_EQ(engine.manager.factories().size(), 1u);
	EXPECT_EQ(engine.manager.factories()[0].type, 9u);
	EXPECT_EQ(engine.manager.factories()[0].name, "velkor");
	EXPECT_EQ(engine.log.calls(), (std::vector<std::string>{"getPluginManager", "getPluginManager",
															"registerModule", "registerPluginFactory"}));
}

// The calls an engine makes for one encrypted database, in its order.
TEST(LoadedModule, ServesAnAttachmentTheWayTheEngineUsesIt)
{
	LoadedEngine engine;
	ASSERT_NE(engine.factory, nullptr);
	standin::FakePluginConfig config;
	standin::HostStatus status;
	status.makeDirty();  // createPlugin leaves it; every later call cleans it

	auto* crypt = static_cast<Firebird::IDbCryptPlugin*>(engine.factory->createPlugin(&status, &config));
	ASSERT_NE(crypt, nullptr);
	EXPECT_EQ(standin::interfaceVersion(crypt), 5u);
	EXPECT_EQ(status.initCalls(), 0u);

	standin::FakeOwner owner;
	crypt->setOwner(&owner);
	EXPECT_EQ(crypt->getOwner(), &owner);

	standin::FakeCryptInfo info("/var/lib/firebird/data/test.fdb");
	crypt->setInfo(&status, &info);
	EXPECT_TRUE(status.isClean()) << status.describe();

	status.makeDirty();
	crypt->setKey(&status, 0, nullptr, nullptr);
	EXPECT_TRUE(status.isClean()) << status.describe();

	for (unsigned n : {16u, 48u, 8176u})
	{
		std::vector<std::uint8_t> page(n), out(n, 0);
		for (unsigned i = 0; i < n; ++i)
			page[i] = static_cast<std::uint8_t>(i * 31 + n);
		status.makeDirty();
		crypt->encrypt(&status, n, page.data(), out.data());
		EXPECT_TRUE(status.isClean()) << n;
		EXPECT_EQ(out, page) << n;
		status.makeDirty();
		crypt->decrypt(&status, n, out.data(), out.data());
		EXPECT_TRUE(status.isClean()) << n;
		EXPECT_EQ(out, page) << n;
	}

	crypt->addRef();
	EXPECT_EQ(crypt->release(), 1);
	EXPECT_EQ(crypt->release(), 0);
	EXPECT_EQ(config.refs(), 1);
	EXPECT_EQ(config.releaseCalls(), 1);
	EXPECT_EQ(owner.calls() + info.calls(), 0);

	// Unload: the engine calls doClean, and the module stays quiet from then on.
	engine.log.clear();
	engine.manager.modules()[0]->doClean();
	engine.manager.modules()[0]->threadDetach();
	EXPECT_TRUE(engine.log.calls().empty());
}
