// mycrypt_keys: a Firebird key holder plug-in for mycrypt.
//
//   Plugin = mycrypt_keys { Module = $(dir_plugins)/mycrypt_keys; Config = mycrypt_keys_config }
//   Config = mycrypt_keys_config { Key = 00112233445566778899aabbccddeeff... }
//   KeyHolderPlugin = mycrypt_keys          (firebird.conf, or the database's block in databases.conf)
//
// It holds one key, named MYCRYPT_KEY, read as hex from its own Config block,
// and volunteers it to the engine (keyCallback), which then hands the holder
// to mycrypt's setKey; mycrypt asks it for the key by name (keyHandle) and
// reads the bytes through the callback. A key in a configuration file is only
// as safe as that file: a real holder takes it from the client
// (keyCallback's callback), a key store or a hardware module.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <firebird/Interface.h>

#include "Status.h"

namespace
{

using mycrypt::Status;

const char keyName[] = "MYCRYPT_KEY";
Firebird::IMaster* master = nullptr;

class Key final : public Firebird::ICryptKeyCallbackImpl<Key, Status>
{
public:
	unsigned callback(unsigned, const void*, unsigned bufferLength, void* buffer) override
	{
		if (buffer && bufferLength >= bytes.size())
			std::memcpy(buffer, bytes.data(), bytes.size());
		return static_cast<unsigned>(bytes.size());
	}
	// Later headers' slots: no hash of the key to offer.
	int getHashLength(Status*) { return -1; }
	void getHashData(Status*, void*) {}
#if defined(FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION) && FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION >= 4
	unsigned afterAttach(Status*, const char*, const Firebird::IStatus*) override { return NO_RETRY; }
	void dispose() override {}  // the holder's own: freed with it
#endif

	std::vector<std::uint8_t> bytes;
};

// The bytes of a hex string; none when it is not one.
std::vector<std::uint8_t> fromHex(const std::string& hex)
{
	std::vector<std::uint8_t> bytes;
	const auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
	for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
	{
		const int high = digit(hex[i]), low = digit(hex[i + 1]);
		if (high < 0 || low < 0)
			return {};
		bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
	}
	return hex.size() % 2 ? std::vector<std::uint8_t>{} : bytes;
}

class KeyHolder final : public Firebird::IKeyHolderPluginImpl<KeyHolder, Status>
{
public:
	explicit KeyHolder(Firebird::IPluginConfig* config) : config_(config)
	{
		config_->addRef();
		Firebird::IStatus* raw = master->getStatus();
		Firebird::CheckStatusWrapper status(raw);
		if (Firebird::IConfig* conf = config_->getDefaultConfig(&status))
		{
			if (Firebird::IConfigEntry* entry = conf->find(&status, "Key"))
			{
				key_.bytes = fromHex(entry->getValue() ? entry->getValue() : "");
				entry->release();
			}
			conf->release();
		}
		raw->dispose();
	}
	~KeyHolder() override { config_->release(); }

	// IReferenceCounted
	void addRef() override { ++refs_; }
	int release() override
	{
		const int left = --refs_;
		if (left == 0)
			delete this;
		return left;
	}
	// IPluginBase
	void setOwner(Firebird::IReferenceCounted* owner) override { owner_ = owner; }
	Firebird::IReferenceCounted* getOwner() override { return owner_; }

	// IKeyHolderPlugin
	int keyCallback(Status* status, Firebird::ICryptKeyCallback*) override
	{
		status->init();
		return key_.bytes.empty() ? 0 : 1;  // 1: it has a key to offer
	}
	Firebird::ICryptKeyCallback* keyHandle(Status* status, const char* name) override
	{
		status->init();
		return !key_.bytes.empty() && name && std::strcmp(name, keyName) == 0 ? &key_ : nullptr;
	}
	FB_BOOLEAN useOnlyOwnKeys(Status* status) override
	{
		status->init();
		return FB_FALSE;
	}
	Firebird::ICryptKeyCallback* chainHandle(Status* status) override
	{
		status->init();
		return nullptr;
	}

private:
	std::atomic<int> refs_{0};
	Firebird::IReferenceCounted* owner_ = nullptr;
	Firebird::IPluginConfig* config_;
	Key key_;
};

class Factory final : public Firebird::IPluginFactoryImpl<Factory, Status>
{
public:
	Firebird::IPluginBase* createPlugin(Status*, Firebird::IPluginConfig* config) override
	{
		auto* holder = new KeyHolder(config);
		holder->addRef();
		return holder;
	}
};

}  // namespace

extern "C" FB_DLL_EXPORT void firebird_plugin(Firebird::IMaster* m)
{
	master = m;
	master->getPluginManager()->registerPluginFactory(Firebird::IPluginManager::TYPE_KEY_HOLDER, "mycrypt_keys",
													  new Factory);
}
