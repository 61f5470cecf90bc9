#include <gtest/gtest.h>

#include "FakeCryptInputs.h"
#include "Plugin.h"

using Lifetime = CryptTest;

TEST_F(Lifetime, CreatedWithOneReferenceAndTheConfigHeld)
{
	ASSERT_NE(crypt, nullptr);
	EXPECT_EQ(standin::interfaceVersion(crypt), 5u);
	EXPECT_EQ(config.refs(), 2);
	EXPECT_EQ(config.addRefCalls(), 1);
	EXPECT_EQ(crypt->release(), 0);  // the one reference the engine got
	EXPECT_EQ(config.refs(), 1);
	EXPECT_EQ(config.releaseCalls(), 1);
	EXPECT_EQ(config.reads(), 0);
}

TEST_F(Lifetime, ReleaseReturnsOneWhileReferencesRemain)
{
	crypt->addRef();
	crypt->addRef();
	EXPECT_EQ(crypt->release(), 1);
	EXPECT_EQ(crypt->release(), 1);
	EXPECT_EQ(config.releaseCalls(), 0);  // still alive, still holding it
	EXPECT_EQ(crypt->release(), 0);
	EXPECT_EQ(config.releaseCalls(), 1);
	EXPECT_EQ(config.addRefCalls(), 1);
}

TEST_F(Lifetime, EachCreatePluginIsANewInstanceWithItsOwnConfigReference)
{
	standin::FakePluginConfig other;
	Firebird::IDbCryptPlugin* second = createCrypt(&config);
	Firebird::IDbCryptPlugin* third = createCrypt(&other);
	EXPECT_NE(second, crypt);
	EXPECT_NE(third, crypt);
	EXPECT_EQ(config.refs(), 3);
	EXPECT_EQ(other.refs(), 2);
	EXPECT_EQ(second->release(), 0);
	EXPECT_EQ(config.refs(), 2);
	EXPECT_EQ(third->release(), 0);
	EXPECT_EQ(other.refs(), 1);
	EXPECT_EQ(crypt->release(), 0);
	EXPECT_EQ(config.refs(), 1);
}

TEST_F(Lifetime, CreatePluginLeavesItsStatusAsItFoundIt)
{
	static velkor::TMyFactory factory;
	Firebird::IPluginFactory* asEngineSeesIt = &factory;
	status.makeDirty();
	Firebird::IPluginBase* plugin = asEngineSeesIt->createPlugin(&status, &config);
	ASSERT_NE(plugin, nullptr);
	EXPECT_EQ(status.initCalls(), 0u);
	EXPECT_EQ(status.errorText(), "left over from an earlier call");
	EXPECT_EQ(plugin->release(), 0);
	EXPECT_EQ(crypt->release(), 0);
}

TEST_F(Lifetime, NullConfigIsHeldAsNothing)
{
	Firebird::IDbCryptPlugin* bare = createCrypt(nullptr);
	ASSERT_NE(bare, nullptr);
	bare->encrypt(&status, 0, nullptr, nullptr);
	EXPECT_TRUE(status.isClean());
	EXPECT_EQ(bare->release(), 0);
	EXPECT_EQ(crypt->release(), 0);
	EXPECT_EQ(config.refs(), 1);
}

TEST_F(Lifetime, OwnerIsStoredAsGivenWithoutReferenceCalls)
{
	standin::FakeOwner first, second;
	EXPECT_EQ(crypt->getOwner(), nullptr);
	crypt->setOwner(&first);
	EXPECT_EQ(crypt->getOwner(), &first);
	crypt->setOwner(&second);
	EXPECT_EQ(crypt->getOwner(), &second);
	crypt->setOwner(nullptr);
	EXPECT_EQ(crypt->getOwner(), nullptr);
	EXPECT_EQ(crypt->release(), 0);
	EXPECT_EQ(first.calls(), 0);
	EXPECT_EQ(second.calls(), 0);
}
