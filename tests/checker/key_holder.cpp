// A key holder plug-in for the checker's engine tests (KeyHolderPlugin =
// fbcrypt-test-holder): it holds one key, named "fbcrypt-test-key", and
// volunteers it to the engine. Built with KEYED, faulty_module.cpp is a
// crypt plug-in that cannot work without it.
#include <atomic>
#include <cstring>

#include <firebird/Interface.h>

#include "status.h"

namespace
{

using velkor::TStatus;

const char keyName[] = "fbcrypt-test-key";
const unsigned char key[] = {0x5a, 0x17, 0x2b, 0x99};

class Key final : public Firebird::ICryptKeyCallbackImpl<Key, TStatus>
{
public:
	unsigned callback(unsigned, const void*, unsigned bufferLength, void* buffer) override
	{
		if (buffer && bufferLength >= sizeof key)
			std::memcpy(buffer, key, sizeof key);
		return sizeof key;
	}
	// Since 4.0's interface version 3; plain members with 3.0's headers.
	int getHashLength(TStatus*) { return -1; }
	void getHashData(TStatus*, void*) {}
};

Key theKey;

class Holder final : public Firebird::IKeyHolderPluginImpl<Holder, TStatus>
{
public:
	explicit Holder(Firebird::IPluginConfig* config) : config_(config) { config_->addRef(); }
	~Holder() override { config_->release(); }

	void addRef() override { ++count_; }
	int release() override
	{
		if (--count_ != 0)
			return 1;
		delete this;
		return 0;
	}
	void setOwner(Firebird::IReferenceCounted* owner) override { owner_ = owner; }
	Firebird::IReferenceCounted* getOwner() override { return owner_; }

	int keyCallback(TStatus* status, Firebird::ICryptKeyCallback*) override
	{
		status->init();
		return 1;  // the key is here, whoever asks
	}
	Firebird::ICryptKeyCallback* keyHandle(TStatus* status, const char* name) override
	{
		status->init();
		return name && std::strcmp(name, keyName) == 0 ? &theKey : nullptr;
	}
	FB_BOOLEAN useOnlyOwnKeys(TStatus* status) override
	{
		status->init();
		return FB_FALSE;
	}
	Firebird::ICryptKeyCallback* chainHandle(TStatus* status) override
	{
		status->init();
		return nullptr;
	}

private:
	std::atomic<int> count_{0};
	Firebird::IReferenceCounted* owner_ = nullptr;
	Firebird::IPluginConfig* config_;
};

class Factory final : public Firebird::IPluginFactoryImpl<Factory, TStatus>
{
public:
	Firebird::IPluginBase* createPlugin(TStatus*, Firebird::IPluginConfig* config) override
	{
		Holder* h = new Holder(config);
		h->addRef();
		return h;
	}
};

}  // namespace

extern "C" FB_DLL_EXPORT void firebird_plugin(Firebird::IMaster* master)
{
	master->getPluginManager()->registerPluginFactory(Firebird::IPluginManager::TYPE_KEY_HOLDER,
													  "fbcrypt-test-holder", new Factory);
}
