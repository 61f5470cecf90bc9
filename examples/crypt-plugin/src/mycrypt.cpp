// mycrypt: a Firebird database crypt plug-in.
//
//   Plugin = mycrypt { Module = $(dir_plugins)/mycrypt; Config = mycrypt_config }
//   Config = mycrypt_config { Tweak = 7 }
//   ALTER DATABASE ENCRYPT WITH "mycrypt" KEY MYCRYPT_KEY;
//
// The engine asks its key holders for the key named in the ALTER (setKey),
// then passes every page through encrypt (into a buffer of its own) and
// decrypt (in place): page size minus 16 bytes at a time, from any number of
// threads at once. What it relies on, and fbcrypt-check verifies:
// - a new instance per createPlugin, handed over with one reference; release
//   returns 0 exactly when it destroyed the instance; getOwner returns what
//   setOwner gave;
// - output that depends on the key and the bytes alone (never on the call,
//   the instance or the database's path): the engine keeps a hash of
//   encrypt("0123456789ABCDEF") and compares it at every attach;
// - no exception leaves an operation (Status.h turns it into an error).
//
// THE TRANSFORM BELOW IS NOT SECURE. It is a keyed XOR stream that stands in
// for a real cipher: replace transform() (and the key's length) with one.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <firebird/Interface.h>

#include "Status.h"

namespace
{

using Firebird::IDbCryptInfo;
using Firebird::IKeyHolderPlugin;
using Firebird::IPluginConfig;
using mycrypt::Status;

Firebird::IMaster* master = nullptr;

// NOT SECURE: stands in for a cipher. It must map the same key and bytes to
// the same output every time, and decrypt(encrypt(x)) must be x, also when
// `from` and `to` are the same buffer.
void transform(const std::vector<std::uint8_t>& key, unsigned tweak, unsigned length, const void* from, void* to)
{
	const auto* s = static_cast<const std::uint8_t*>(from);
	auto* d = static_cast<std::uint8_t*>(to);
	for (unsigned i = 0; i < length; ++i)
		d[i] = static_cast<std::uint8_t>(s[i] ^ key[i % key.size()] ^ ((i / key.size()) * tweak + 0x5c));
}

class MyCrypt final : public Firebird::IDbCryptPluginImpl<MyCrypt, Status>
{
public:
	explicit MyCrypt(IPluginConfig* config) : config_(config)
	{
		config_->addRef();
		// The plug-in's own settings: its plugins.conf Config block (the
		// engine hands an empty one when there is none).
		Firebird::IStatus* raw = master->getStatus();
		Firebird::CheckStatusWrapper status(raw);
		if (Firebird::IConfig* conf = config_->getDefaultConfig(&status))
		{
			if (Firebird::IConfigEntry* tweak = conf->find(&status, "Tweak"))
			{
				tweak_ = static_cast<unsigned>(tweak->getIntValue());
				tweak->release();
			}
			conf->release();
		}
		raw->dispose();
	}
	~MyCrypt() override { config_->release(); }

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

	// IDbCryptPlugin
	void setKey(Status* status, unsigned length, IKeyHolderPlugin** sources, const char* keyName) override
	{
		status->init();
		Firebird::IStatus* raw = master->getStatus();
		Firebird::CheckStatusWrapper holderStatus(raw);
		for (unsigned i = 0; i < length && key_.empty(); ++i)
		{
			Firebird::ICryptKeyCallback* callback = sources[i]->keyHandle(&holderStatus, keyName);
			if (!callback)
				continue;
			std::uint8_t buffer[256];
			const unsigned size = callback->callback(0, nullptr, sizeof buffer, buffer);
#if defined(FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION) && FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION >= 4
			callback->dispose();  // Firebird 6.0: a callback is given back when done with
#endif
			if (size > 0 && size <= sizeof buffer)
				key_.assign(buffer, buffer + size);
		}
		raw->dispose();
		// Without a key there is nothing to encrypt with: say so, never write plaintext.
		if (key_.empty())
			status->setError("mycrypt: no key holder offered the key");
	}
	void encrypt(Status* status, unsigned length, const void* from, void* to) override
	{
		status->init();
		transform(key_, tweak_, length, from, to);
	}
	void decrypt(Status* status, unsigned length, const void* from, void* to) override
	{
		status->init();
		transform(key_, tweak_, length, from, to);
	}
	void setInfo(Status* status, IDbCryptInfo*) override { status->init(); }

private:
	std::atomic<int> refs_{0};
	Firebird::IReferenceCounted* owner_ = nullptr;
	IPluginConfig* config_;
	unsigned tweak_ = 7;
	std::vector<std::uint8_t> key_;  // set once, by setKey, before any page
};

class Factory final : public Firebird::IPluginFactoryImpl<Factory, Status>
{
public:
	Firebird::IPluginBase* createPlugin(Status*, IPluginConfig* config) override
	{
		auto* crypt = new MyCrypt(config);
		crypt->addRef();  // the engine's reference
		return crypt;
	}
};

}  // namespace

extern "C" FB_DLL_EXPORT void firebird_plugin(Firebird::IMaster* m)
{
	master = m;
	// The factory lives as long as the module is loaded: never freed.
	master->getPluginManager()->registerPluginFactory(Firebird::IPluginManager::TYPE_DB_CRYPT, "mycrypt", new Factory);
}
