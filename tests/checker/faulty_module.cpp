// A small database crypt plug-in module with one deliberate mistake, chosen
// by FAULT at compile time, for the checker's own tests. With FAULT_NONE it
// is correct, which shows that each failure comes from its fault alone.
#include <atomic>
#include <cstring>
#include <stdexcept>

#include <firebird/Interface.h>

#include "status.h"

namespace
{

using Firebird::IDbCryptInfo;
using Firebird::IKeyHolderPlugin;
using Firebird::IPluginConfig;

Firebird::IMaster* master = nullptr;

#if defined(FAULT_DIRTY_STATUS)
// The stock wrapper: its init() reaches the engine's status only when the
// wrapper itself set something, so a dirty status stays dirty.
using Status = Firebird::CheckStatusWrapper;
#elif defined(FAULT_THROWS)
// A status type whose catchException lets the exception go on, out of the
// interface's noexcept dispatchers.
struct Status : velkor::TStatus
{
	using TStatus::TStatus;
	static void catchException(Status*) { throw; }
};
#else
using Status = velkor::TStatus;
#endif

class Crypt final : public Firebird::IDbCryptPluginImpl<Crypt, Status>
{
public:
	explicit Crypt(IPluginConfig* config) : config_(config) { config_->addRef(); }
	~Crypt() override
	{
#if !defined(FAULT_KEEPS_CONFIG)
		config_->release();
#endif
	}

	void addRef() override
	{
		++count_;
	}
	int release() override
	{
		if (--count_ != 0)
			return 1;
#if !defined(FAULT_NEVER_FREES)
		delete this;
#endif
		return 0;
	}
	void setOwner(Firebird::IReferenceCounted* owner) override
	{
		owner_ = owner;
	}
	Firebird::IReferenceCounted* getOwner() override
	{
		return owner_;
	}

	void setKey(Status* status, unsigned, IKeyHolderPlugin**, const char*) override
	{
		status->init();
	}
	void setInfo(Status* status, IDbCryptInfo*) override
	{
		status->init();
#if defined(FAULT_THROWS)
		throw std::runtime_error("faulty: setInfo gave up");
#endif
	}
	void encrypt(Status* status, unsigned length, const void* from, void* to) override
	{
		status->init();
		std::memmove(to, from, length);
	}
	void decrypt(Status* status, unsigned length, const void* from, void* to) override
	{
		status->init();
		std::memmove(to, from, length);
#if defined(FAULT_DECRYPT_FLIPS)
		if (length > 17)
			static_cast<unsigned char*>(to)[17] ^= 0x01;
#endif
	}

private:
#if defined(FAULT_RACY_COUNT)
	int count_ = 0;  // not atomic
#else
	std::atomic<int> count_{0};
#endif
	Firebird::IReferenceCounted* owner_ = nullptr;
	IPluginConfig* config_;
};

class Factory final : public Firebird::IPluginFactoryImpl<Factory, Status>
{
public:
	Firebird::IPluginBase* createPlugin(Status*, IPluginConfig* config) override
	{
		Crypt* c = new Crypt(config);
		c->addRef();
		return c;
	}
};

}  // namespace

extern "C" FB_DLL_EXPORT void firebird_plugin(Firebird::IMaster* m)
{
	master = m;
#if defined(FAULT_WRONG_TYPE)
	const unsigned type = Firebird::IPluginManager::TYPE_KEY_HOLDER;
#else
	const unsigned type = Firebird::IPluginManager::TYPE_DB_CRYPT;
#endif
	master->getPluginManager()->registerPluginFactory(type, "faulty", new Factory);
}
