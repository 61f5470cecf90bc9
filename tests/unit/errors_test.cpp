#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "FakeCryptInputs.h"
#include "Plugin.h"

using Keys = CryptTest;

TEST_F(Keys, SetKeyLeavesTheStatusCleanWhateverItIsGiven)
{
	standin::FakeKeyHolder a, b, c;
	Firebird::IKeyHolderPlugin* holders[] = {&a, &b, &c};
	struct Case
	{
		unsigned length;
		Firebird::IKeyHolderPlugin** sources;
		const char* keyName;
	};
	for (const Case& k : {Case{0, nullptr, nullptr}, Case{0, nullptr, ""}, Case{1, holders, "key"},
						  Case{3, holders, "a much longer key name than anyone uses"}})
	{
		status.makeDirty();
		const unsigned inits = status.initCalls();
		crypt->setKey(&status, k.length, k.sources, k.keyName);
		EXPECT_TRUE(status.isClean()) << status.describe();
		EXPECT_EQ(status.initCalls(), inits + 1);
	}
	crypt->setKey(static_cast<standin::HostStatus*>(nullptr), 3, holders, "no status");
	EXPECT_EQ(a.calls() + b.calls() + c.calls(), 0);  // holders are never asked
	EXPECT_EQ(crypt->release(), 0);
}

TEST_F(Keys, SetInfoLeavesTheStatusCleanAndNeverReadsTheInfo)
{
	standin::FakeCryptInfo info("/data/employee.fdb");
	for (Firebird::IDbCryptInfo* given :
		 {static_cast<Firebird::IDbCryptInfo*>(&info), static_cast<Firebird::IDbCryptInfo*>(nullptr)})
	{
		status.makeDirty();
		crypt->setInfo(&status, given);
		EXPECT_TRUE(status.isClean()) << status.describe();
	}
	crypt->setInfo(static_cast<standin::HostStatus*>(nullptr), &info);
	EXPECT_EQ(info.calls(), 0);
	EXPECT_EQ(crypt->release(), 0);
}

// What reaches the engine when an operation throws: a plug-in built on the
// same interface bases and status type as velkor, which throws on demand.
namespace
{

enum class Throw
{
	nothing,
	fbException,
	stdException,
	other
};

class ThrowingCrypt final : public Firebird::IDbCryptPluginImpl<ThrowingCrypt, velkor::TStatus>
{
public:
	Throw what = Throw::nothing;

	void addRef() override { raise(); }
	int release() override
	{
		raise();
		return 7;
	}
	void setOwner(Firebird::IReferenceCounted*) override { raise(); }
	Firebird::IReferenceCounted* getOwner() override
	{
		raise();
		return this;
	}
	void setKey(velkor::TStatus* status, unsigned, Firebird::IKeyHolderPlugin**, const char*) override
	{
		status->init();
		raise();
	}
	void encrypt(velkor::TStatus*, unsigned, const void*, void*) override { raise(); }
	void decrypt(velkor::TStatus*, unsigned, const void*, void*) override { raise(); }
	void setInfo(velkor::TStatus*, Firebird::IDbCryptInfo*) override { raise(); }

private:
	void raise()
	{
		switch (what)
		{
		case Throw::nothing:
			return;
		case Throw::fbException:
		{
			standin::HostStatus scratch;
			const intptr_t vector[] = {
				isc_arg_gds, isc_bad_db_format, isc_arg_string, reinterpret_cast<intptr_t>("x.fdb"),
				isc_arg_gds, isc_random,        isc_arg_string, reinterpret_cast<intptr_t>("second"),
				isc_arg_end};
			throw Firebird::FbException(&scratch, vector);
		}
		case Throw::stdException:
			throw std::runtime_error(std::string("disk on fire"));
		case Throw::other:
			throw 42;
		}
	}
};

class ThrowingFactory final : public Firebird::IPluginFactoryImpl<ThrowingFactory, velkor::TStatus>
{
public:
	Firebird::IPluginBase* createPlugin(velkor::TStatus*, Firebird::IPluginConfig*) override
	{
		throw std::bad_alloc();
	}
};

}  // namespace

TEST(Exceptions, FbExceptionPassesItsErrorVectorUnchanged)
{
	ThrowingCrypt thrower;
	thrower.what = Throw::fbException;
	Firebird::IDbCryptPlugin* plugin = &thrower;
	standin::HostStatus status;
	plugin->encrypt(&status, 1, "a", nullptr);
	const intptr_t* e = status.getErrors();
	ASSERT_EQ(e[0], isc_arg_gds);
	EXPECT_EQ(e[1], isc_bad_db_format);
	ASSERT_EQ(e[2], isc_arg_string);
	EXPECT_STREQ(reinterpret_cast<const char*>(e[3]), "x.fdb");
	EXPECT_EQ(e[4], isc_arg_gds);
	EXPECT_EQ(e[5], isc_random);
	EXPECT_STREQ(reinterpret_cast<const char*>(e[7]), "second");
	EXPECT_EQ(e[8], isc_arg_end);
}

TEST(Exceptions, StdExceptionBecomesIscRandomWithItsMessage)
{
	ThrowingCrypt thrower;
	thrower.what = Throw::stdException;
	Firebird::IDbCryptPlugin* plugin = &thrower;
	standin::HostStatus status;
	plugin->decrypt(&status, 1, "a", nullptr);
	EXPECT_EQ(status.errorCode(), isc_random);
	EXPECT_EQ(status.errorText(), "disk on fire");  // copied: the exception is gone
}

TEST(Exceptions, AnythingElseBecomesIscRandomWithAFixedText)
{
	ThrowingCrypt thrower;
	thrower.what = Throw::other;
	Firebird::IDbCryptPlugin* plugin = &thrower;
	standin::HostStatus status;
	status.makeDirty();
	plugin->setKey(&status, 0, nullptr, nullptr);
	EXPECT_EQ(status.initCalls(), 1u);
	EXPECT_EQ(status.errorCode(), isc_random);
	EXPECT_EQ(status.errorText(), "Unrecognized C++ exception");
}

TEST(Exceptions, WithoutAStatusTheExceptionIsDropped)
{
	ThrowingCrypt thrower;
	thrower.what = Throw::stdException;
	Firebird::IDbCryptPlugin* plugin = &thrower;
	plugin->setInfo(static_cast<standin::HostStatus*>(nullptr), nullptr);
	plugin->addRef();
	plugin->setOwner(nullptr);
	EXPECT_EQ(plugin->getOwner(), nullptr);  // the base's result after a throw
	EXPECT_EQ(plugin->release(), 0);
	thrower.what = Throw::nothing;
	EXPECT_EQ(plugin->release(), 7);  // the same calls reach the object when it does not throw
}

TEST(Exceptions, CreatePluginReturnsNullAfterAnException)
{
	ThrowingFactory factory;
	Firebird::IPluginFactory* asEngineSeesIt = &factory;
	standin::HostStatus status;
	standin::FakePluginConfig config;
	EXPECT_EQ(asEngineSeesIt->createPlugin(&status, &config), nullptr);
	EXPECT_EQ(status.errorCode(), isc_random);
	EXPECT_EQ(status.errorText(), "std::bad_alloc");
}
