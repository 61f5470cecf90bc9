// A correct plug-in whose release() returns the count left, as Firebird's
// own reference-counted classes do, on Firebird's CheckStatusWrapper; its
// transform (NOT SECURE: a keyed XOR stream for tests) takes the key from a
// key holder and refuses to run without one.
#include <atomic>
#include <cstring>
#include <vector>

#include <firebird/Interface.h>

namespace
{

using namespace Firebird;

class CountLeft final : public IDbCryptPluginImpl<CountLeft, CheckStatusWrapper>
{
public:
	explicit CountLeft(IPluginConfig* config) : config_(config) { config_->addRef(); }
	~CountLeft() override { config_->release(); }

	void addRef() override { ++refs_; }
	int release() override
	{
		const int left = --refs_;
		if (left == 0)
			delete this;
		return left;
	}

	void setOwner(IReferenceCounted* owner) override { owner_ = owner; }
	IReferenceCounted* getOwner() override { return owner_; }

	void setKey(CheckStatusWrapper* status, unsigned length, IKeyHolderPlugin** sources, const char* keyName) override
	{
		for (unsigned i = 0; i < length && key_.empty(); ++i)
		{
			ICryptKeyCallback* callback = sources[i]->keyHandle(status, keyName);
			if (status->getState() & IStatus::STATE_ERRORS)
				return;
			if (!callback)
				continue;
			unsigned char buffer[128];
			const unsigned size = callback->callback(0, nullptr, sizeof buffer, buffer);
#if defined(FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION) && FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION >= 4
			callback->dispose();  // 6.0: given back when done with
#endif
			if (size > 0 && size <= sizeof buffer)
				key_.assign(buffer, buffer + size);
		}
		if (key_.empty())
		{
			const ISC_STATUS vector[] = {isc_arg_gds, isc_random, isc_arg_string,
										 reinterpret_cast<ISC_STATUS>("count_left: no key holder offered a key"),
										 isc_arg_end};
			status->setErrors(vector);
		}
	}
	void encrypt(CheckStatusWrapper*, unsigned length, const void* from, void* to) override { apply(length, from, to); }
	void decrypt(CheckStatusWrapper*, unsigned length, const void* from, void* to) override { apply(length, from, to); }
	void setInfo(CheckStatusWrapper*, IDbCryptInfo*) override {}

private:
	void apply(unsigned length, const void* from, void* to) const
	{
		const auto* s = static_cast<const unsigned char*>(from);
		auto* d = static_cast<unsigned char*>(to);
		for (unsigned i = 0; i < length; ++i)
			d[i] = static_cast<unsigned char>(s[i] ^ key_[i % key_.size()] ^ (i * 131 + 7));
	}

	std::atomic<int> refs_{0};
	IReferenceCounted* owner_ = nullptr;
	IPluginConfig* config_;
	std::vector<unsigned char> key_;
};

class Factory final : public IPluginFactoryImpl<Factory, CheckStatusWrapper>
{
public:
	IPluginBase* createPlugin(CheckStatusWrapper*, IPluginConfig* config) override
	{
		auto* p = new CountLeft(config);
		p->addRef();
		return p;
	}
};

}  // namespace

extern "C" FB_DLL_EXPORT void firebird_plugin(IMaster* master)
{
	master->getPluginManager()->registerPluginFactory(IPluginManager::TYPE_DB_CRYPT, "count_left", new Factory);
}
