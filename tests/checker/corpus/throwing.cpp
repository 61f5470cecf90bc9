// A correct plug-in written on Firebird's ThrowStatusWrapper: calls into the
// engine's objects throw FbException on error, the plug-in catches what it
// can handle (a key holder that fails: the next one is tried), and lets the
// rest leave its operations, where the interface bases turn it into the
// engine's status. NOT SECURE: a keyed XOR stream for tests.
#include <atomic>
#include <vector>

#include <firebird/Interface.h>

namespace
{

using namespace Firebird;

class Throwing final : public IDbCryptPluginImpl<Throwing, ThrowStatusWrapper>
{
public:
	explicit Throwing(IPluginConfig* config) : config_(config) { config_->addRef(); }
	~Throwing() override { config_->release(); }

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

	void setKey(ThrowStatusWrapper* status, unsigned length, IKeyHolderPlugin** sources, const char* keyName) override
	{
		for (unsigned i = 0; i < length && key_.empty(); ++i)
		{
			try
			{
				ICryptKeyCallback* callback = sources[i]->keyHandle(status, keyName);
				if (!callback)
					continue;
				unsigned char buffer[128];
				const unsigned size = callback->callback(0, nullptr, sizeof buffer, buffer);
#if defined(FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION) && FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION >= 4
				callback->dispose();
#endif
				if (size > 0 && size <= sizeof buffer)
					key_.assign(buffer, buffer + size);
			}
			catch (const FbException&)
			{
				status->init();  // that holder failed: the next may not
			}
		}
		if (key_.empty())
		{
			const ISC_STATUS vector[] = {isc_arg_gds, isc_random, isc_arg_string,
										 reinterpret_cast<ISC_STATUS>("throwing: no key holder offered a key"),
										 isc_arg_end};
			throw FbException(status, vector);
		}
	}
	void encrypt(ThrowStatusWrapper*, unsigned length, const void* from, void* to) override { apply(length, from, to); }
	void decrypt(ThrowStatusWrapper*, unsigned length, const void* from, void* to) override { apply(length, from, to); }
	void setInfo(ThrowStatusWrapper*, IDbCryptInfo*) override {}

private:
	void apply(unsigned length, const void* from, void* to) const
	{
		const auto* s = static_cast<const unsigned char*>(from);
		auto* d = static_cast<unsigned char*>(to);
		for (unsigned i = 0; i < length; ++i)
			d[i] = static_cast<unsigned char>(s[i] ^ key_[(i * 7) % key_.size()] ^ 0xa5);
	}

	std::atomic<int> refs_{0};
	IReferenceCounted* owner_ = nullptr;
	IPluginConfig* config_;
	std::vector<unsigned char> key_;
};

class Factory final : public IPluginFactoryImpl<Factory, ThrowStatusWrapper>
{
public:
	IPluginBase* createPlugin(ThrowStatusWrapper*, IPluginConfig* config) override
	{
		auto* p = new Throwing(config);
		p->addRef();
		return p;
	}
};

}  // namespace

extern "C" FB_DLL_EXPORT void firebird_plugin(IMaster* master)
{
	master->getPluginManager()->registerPluginFactory(IPluginManager::TYPE_DB_CRYPT, "throwing", new Factory);
}
