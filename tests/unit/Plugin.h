// A "velkor" instance made the way the engine makes one: through the
// factory's dispatch table, with a configuration object of the host's.
#pragma once

#include <gtest/gtest.h>

#include "FakeConfig.h"
#include "HostStatus.h"
#include "InterfaceVersion.h"
#include "crypt.h"

inline Firebird::IDbCryptPlugin* createCrypt(Firebird::IPluginConfig* config)
{
	static velkor::TMyFactory factory;
	Firebird::IPluginFactory* asEngineSeesIt = &factory;
	standin::HostStatus status;
	Firebird::IPluginBase* plugin = asEngineSeesIt->createPlugin(&status, config);
	EXPECT_TRUE(status.isClean()) << status.describe();
	return static_cast<Firebird::IDbCryptPlugin*>(plugin);
}

// One instance per test, released by the test itself.
class CryptTest : public ::testing::Test
{
protected:
	standin::FakePluginConfig config;
	standin::HostStatus status;
	Firebird::IDbCryptPlugin* crypt = createCrypt(&config);
};
