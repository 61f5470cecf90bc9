// A correct plug-in that needs a 32-byte key (as AES-256 does) and says so
// from setKey when a key holder offers another length or none. Its transform
// is NOT SECURE (a keyed XOR stream for tests), in 16-byte blocks, each
// mixed with the block's place in the buffer.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include <firebird/Interface.h>

namespace
{

using namespace Firebird;

constexpr unsigned keySize = 32;

class Key32 final : public IDbCryptPluginImpl<Key32, CheckStatusWrapper>
{
public:
	explicit Key32(IPluginConfig* config) : config_(config) { config_->addRef(); }
	~Key32() override { config_->release(); }

	void addRef() override { ++refs_; }
	int release() override
	{
		if (--refs_ != 0)
			return 1;
		delete this;
		return 0;
	}
	void setOwner(IReferenceCounted* owner) override { owner_ = owner; }
	IReferenceCounted* getOwner() override { return owner_; }

	void setKey(CheckStatusWrapper* status, unsigned length, IKeyHolderPlugin** sources, const char* keyName) override
	{
		unsigned got = 0;
		for (unsigned i = 0; i < length; ++i)
		{
			ICryptKeyCallback* callback = sources[i]->keyHandle(status, keyName);
			if (status->getState() & IStatus::STATE_ERRORS)
				return;
			if (!callback)
				continue;
			unsigned char buffer[256];
			got = callback->callback(0, nullptr, sizeof buffer, buffer);
#if defined(FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION) && FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION >= 4
			callback->dispose();
#endif
			if (got == keySize)
			{
				std::memcpy(key_, buffer, keySize);
				keyed_ = true;
				return;
			}
		}
		std::snprintf(why_, sizeof why_, "key32: needs a key of %u bytes, %s", keySize,
					  got ? (std::to_string(got) + " offered").c_str() : "none offered");
		const ISC_STATUS vector[] = {isc_arg_gds, isc_random, isc_arg_string, reinterpret_cast<ISC_STATUS>(why_),
									 isc_arg_end};
		status->setErrors(vector);
	}

	void encrypt(CheckStatusWrapper* status, unsigned length, const void* from, void* to) override
	{
		if (ready(status))
			apply(length, from, to);
	}
	void decrypt(CheckStatusWrapper* status, unsigned length, const void* from, void* to) override
	{
		if (ready(status))
			apply(length, from, to);
	}
	void setInfo(CheckStatusWrapper*, IDbCryptInfo*) override {}

private:
	bool ready(CheckStatusWrapper* status)
	{
		if (keyed_)
			return true;
		const ISC_STATUS vector[] = {isc_arg_gds, isc_random, isc_arg_string,
									 reinterpret_cast<ISC_STATUS>("key32: no key set"), isc_arg_end};
		status->setErrors(vector);
		return false;
	}
	void apply(unsigned length, const void* from, void* to) const
	{
		const auto* s = static_cast<const unsigned char*>(from);
		auto* d = static_cast<unsigned char*>(to);
		for (unsigned i = 0; i < length; ++i)
		{
			const unsigned block = i / 16;
			d[i] = static_cast<unsigned char>(s[i] ^ key_[(i + block) % keySize] ^ (block * 29 + i % 16 * 7));
		}
	}

	std::atomic<int> refs_{0};
	IReferenceCounted* owner_ = nullptr;
	IPluginConfig* config_;
	unsigned char key_[keySize] = {};
	bool keyed_ = false;
	char why_[96] = "";
};

class Factory final : public IPluginFactoryImpl<Factory, CheckStatusWrapper>
{
public:
	IPluginBase* createPlugin(CheckStatusWrapper*, IPluginConfig* config) override
	{
		auto* p = new Key32(config);
		p->addRef();
		return p;
	}
};

}  // namespace

extern "C" FB_DLL_EXPORT void firebird_plugin(IMaster* master)
{
	master->getPluginManager()->registerPluginFactory(IPluginManager::TYPE_DB_CRYPT, "key32", new Factory);
}
