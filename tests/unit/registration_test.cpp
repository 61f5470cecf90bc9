#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Engine.h"

using Calls = std::vector<std::string>;

TEST(EntryPoint, RegistersTheModuleBeforeTheFactory)
{
	Engine engine;
	firebird_plugin(&engine.master);

	EXPECT_EQ(engine.log.calls(),
			  (Calls{"getPluginManager", "getPluginManager", "registerModule", "registerPluginFactory"}));
	EXPECT_EQ(velkor::masterInterface, &engine.master);
	ASSERT_EQ(engine.manager.modules().size(), 1u);
	ASSERT_EQ(engine.manager.factories().size(), 1u);
	const standin::Registration& r = engine.manager.factories()[0];
	EXPECT_EQ(r.type, 9u);
	EXPECT_EQ(r.type, static_cast<unsigned>(Firebird::IPluginManager::TYPE_DB_CRYPT));
	EXPECT_EQ(r.name, "velkor");  // exact and case-sensitive
	EXPECT_NE(r.factory, nullptr);
	// The dispatch tables carry the Firebird 4.0 interface versions.
	EXPECT_EQ(standin::interfaceVersion(engine.manager.modules()[0]), 3u);
	EXPECT_EQ(standin::interfaceVersion(r.factory), 2u);
}

TEST(EntryPoint, EachCallRegistersNewObjects)
{
	Engine engine;
	firebird_plugin(&engine.master);
	firebird_plugin(&engine.master);

	ASSERT_EQ(engine.manager.factories().size(), 2u);
	ASSERT_EQ(engine.manager.modules().size(), 2u);
	EXPECT_NE(engine.manager.factories()[0].factory, engine.manager.factories()[1].factory);
	EXPECT_NE(engine.manager.modules()[0], engine.manager.modules()[1]);
}

TEST(EntryPoint, NullMasterRegistersNothingAndKeepsTheEarlierMaster)
{
	Engine engine;
	firebird_plugin(nullptr);
	EXPECT_EQ(velkor::masterInterface, &engine.master);
	EXPECT_TRUE(engine.log.calls().empty());
}

TEST(EntryPoint, MasterWithoutPluginManagerRegistersNothing)
{
	Engine engine;
	standin::CallLog log;
	standin::FakeMaster bare(log, nullptr);
	firebird_plugin(&bare);
	EXPECT_EQ(log.calls(), Calls{"getPluginManager"});
	EXPECT_EQ(velkor::masterInterface, &engine.master);
}

TEST(ModuleObject, RegisterMeTwiceRegistersOnce)
{
	Engine engine;
	auto* module = new velkor::TMyPluginModule;
	module->registerMe();
	module->registerMe();
	EXPECT_EQ(engine.log.calls(), (Calls{"getPluginManager", "registerModule"}));
	ASSERT_EQ(engine.manager.modules().size(), 1u);
	EXPECT_EQ(engine.manager.modules()[0], module);
	delete module;
}

TEST(ModuleObject, DestroyingARegisteredModuleUnregistersItOnce)
{
	Engine engine;
	auto* module = new velkor::TMyPluginModule;
	module->registerMe();
	engine.log.clear();
	delete module;
	EXPECT_EQ(engine.log.calls(), (Calls{"getPluginManager", "unregisterModule"}));
	ASSERT_EQ(engine.manager.unregistered().size(), 1u);
	EXPECT_EQ(engine.manager.unregistered()[0], module);
}

TEST(ModuleObject, AfterDoCleanDestructionMakesNoHostCall)
{
	Engine engine;
	auto* module = new velkor::TMyPluginModule;
	module->registerMe();
	engine.log.clear();
	Firebird::IPluginModule* asEngineSeesIt = module;
	asEngineSeesIt->doClean();
	EXPECT_TRUE(engine.log.calls().empty());
	delete module;
	EXPECT_TRUE(engine.log.calls().empty());
	EXPECT_TRUE(engine.manager.unregistered().empty());
}

TEST(ModuleObject, DestroyingAnUnregisteredModuleMakesNoHostCall)
{
	Engine engine;
	delete new velkor::TMyPluginModule;
	EXPECT_TRUE(engine.log.calls().empty());
}

TEST(ModuleObject, RegisterMeAfterDoCleanRegistersAgain)
{
	Engine engine;
	auto* module = new velkor::TMyPluginModule;
	module->registerMe();
	module->doClean();
	module->registerMe();
	EXPECT_EQ(engine.manager.modules().size(), 2u);
	delete module;
	EXPECT_EQ(engine.manager.unregistered().size(), 1u);
}

TEST(ModuleObject, ThreadDetachChangesNothing)
{
	Engine engine;
	auto* module = new velkor::TMyPluginModule;
	Firebird::IPluginModule* asEngineSeesIt = module;
	asEngineSeesIt->threadDetach();  // unregistered: still unregistered
	EXPECT_TRUE(engine.log.calls().empty());
	module->registerMe();
	asEngineSeesIt->threadDetach();  // registered: still registered
	asEngineSeesIt->threadDetach();
	EXPECT_EQ(engine.log.calls(), (Calls{"getPluginManager", "registerModule"}));
	delete module;
	EXPECT_EQ(engine.manager.unregistered().size(), 1u);
}
