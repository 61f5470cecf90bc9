// A correct plug-in that reads its settings from its own plugins.conf block
// (getDefaultConfig), as an author configures one:
//   Plugin = own_config { Module = ...; Config = own_config_config }
//   Config = own_config_config { Salt = ...; Rounds = ... }
// Missing settings take defaults. Its transform is NOT SECURE (a keyed XOR
// stream for tests): key from a key holder, mixed with Salt, Rounds times.
#include <atomic>
#include <string>
#include <vector>

#include <firebird/Interface.h>

namespace
{

using namespace Firebird;

IMaster* master = nullptr;

class OwnConfig final : public IDbCryptPluginImpl<OwnConfig, CheckStatusWrapper>
{
public:
	explicit OwnConfig(IPluginConfig* config) : config_(config)
	{
		config_->addRef();
		// The configuration is read once, with a status of the plug-in's own.
		IStatus* raw = master->getStatus();
		CheckStatusWrapper status(raw);
		// The engine always hands one (empty when plugins.conf gives none).
		IConfig* conf = config_->getDefaultConfig(&status);
		if (IConfigEntry* e = conf->find(&status, "Salt"))
		{
			salt_ = e->getValue() ? e->getValue() : "";
			e->release();
		}
		if (IConfigEntry* e = conf->find(&status, "Rounds"))
		{
			rounds_ = static_cast<unsigned>(e->getIntValue());
			e->release();
		}
		conf->release();
		raw->dispose();
		if (rounds_ == 0 || rounds_ > 16)
			rounds_ = 2;
	}
	~OwnConfig() override { config_->release(); }

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
		for (unsigned i = 0; i < length; ++i)
		{
			ICryptKeyCallback* callback = sources[i]->keyHandle(status, keyName);
			if (status->getState() & IStatus::STATE_ERRORS)
				return;
			if (!callback)
				continue;
			unsigned char buffer[128];
			const unsigned size = callback->callback(0, nullptr, sizeof buffer, buffer);
#if defined(FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION) && FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION >= 4
			callback->dispose();
#endif
			if (size > 0 && size <= sizeof buffer)
			{
				key_.assign(buffer, buffer + size);
				for (char c : salt_)
					key_.push_back(static_cast<unsigned char>(c));
				return;
			}
		}
		const ISC_STATUS vector[] = {isc_arg_gds, isc_random, isc_arg_string,
									 reinterpret_cast<ISC_STATUS>("own_config: no key"), isc_arg_end};
		status->setErrors(vector);
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
		{
			unsigned char k = 0;
			for (unsigned r = 0; r < rounds_; ++r)
				k = static_cast<unsigned char>(k * 33 + key_[(i + r) % key_.size()]);
			d[i] = static_cast<unsigned char>(s[i] ^ k);
		}
	}

	std::atomic<int> refs_{0};
	IReferenceCounted* owner_ = nullptr;
	IPluginConfig* config_;
	std::string salt_ = "pepper";
	unsigned rounds_ = 2;
	std::vector<unsigned char> key_;
};

class Factory final : public IPluginFactoryImpl<Factory, CheckStatusWrapper>
{
public:
	IPluginBase* createPlugin(CheckStatusWrapper*, IPluginConfig* config) override
	{
		auto* p = new OwnConfig(config);
		p->addRef();
		return p;
	}
};

}  // namespace

extern "C" FB_DLL_EXPORT void firebird_plugin(IMaster* m)
{
	master = m;
	master->getPluginManager()->registerPluginFactory(IPluginManager::TYPE_DB_CRYPT, "own_config", new Factory);
}
