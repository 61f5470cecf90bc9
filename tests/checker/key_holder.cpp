// A key holder plug-in for the engine tests (KeyHolderPlugin =
// fbcrypt-test-holder): it holds one key, named "FBCRYPT_TEST_KEY" (a name
// gbak can pass on: its restore writes the key name into SQL unquoted), and
// volunteers it to the engine. The key is 4 bytes, or the hex of the Key
// entry of its plugins.conf Config block; KeyName names it. A block may list
// several KeyName and Key pairs, for several keys: the engine asks every
// holder that volunteers on DECRYPT, so one holder holds a database's keys.
// Built with KEYED, faulty_module.cpp is a crypt plug-in that cannot work
// without it.
//
// Its key callback has the form of the headers it is built with:
// ICryptKeyCallback is callback() alone in 3.0; Debian's 4.0.5 adds
// getHashLength and getHashData; 5.0.2 (and 4.0.6) put two reserved slots
// before them; 6.0 fills those with afterAttach and dispose. With VELKOR_PROBE
// naming a file, it writes down every call the engine or a plug-in makes:
//   PID holder keyCallback | keyHandle NAME
//   PID key callback | getHashLength | getHashData | afterAttach | dispose
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <firebird/Interface.h>

#include "status.h"

namespace
{

using velkor::TStatus;

const char defaultKeyName[] = "FBCRYPT_TEST_KEY";
const std::string defaultKey("\x5a\x17\x2b\x99", 4);
Firebird::IMaster* master = nullptr;

#ifdef O_CLOEXEC
const int closeOnExec = O_CLOEXEC;
#else
const int closeOnExec = 0;  // Windows: nothing to keep it from
#endif

void note(const std::string& what)
{
	static const int fd = [] {
		const char* path = std::getenv("VELKOR_PROBE");
		return path ? open(path, O_WRONLY | O_APPEND | O_CREAT | closeOnExec, 0644) : -1;
	}();
	if (fd < 0)
		return;
	const std::string line = std::to_string(getpid()) + " " + what + "\n";
	if (write(fd, line.data(), line.size()) < 0)
		return;  // a test reading the file sees the gap
}

class Key final : public Firebird::ICryptKeyCallbackImpl<Key, TStatus>
{
public:
	Key(const std::string& name, const std::string& key) : name_(name), key_(key) {}

	unsigned callback(unsigned, const void*, unsigned bufferLength, void* buffer) override
	{
		note("key callback");
		if (buffer && bufferLength >= key_.size())
			std::memcpy(buffer, key_.data(), key_.size());
		return static_cast<unsigned>(key_.size());
	}
	// Slots of Debian's 4.0.5 and of 5.0.2 on; plain members with 3.0's headers.
	int getHashLength(TStatus*)
	{
		note("key getHashLength");
		return -1;  // no hash to compare: the engine asks the plug-in instead
	}
	void getHashData(TStatus*, void*) { note("key getHashData"); }
#if defined(FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION) && FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION >= 4
	unsigned afterAttach(TStatus*, const char*, const Firebird::IStatus*) override
	{
		note("key afterAttach");
		return NO_RETRY;
	}
	void dispose() override { note("key dispose"); }  // the holder's own: freed with it
#endif

	std::string name_;
	std::string key_;
};


std::string value(Firebird::IConfigEntry* entry, const char* otherwise)
{
	return entry && entry->getValue() ? entry->getValue() : otherwise;
}

// "5a172b99" as its 4 bytes; nothing as the default key.
std::string bytes(const std::string& hex)
{
	if (hex.empty())
		return defaultKey;
	std::string out;
	for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
		out += static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16));
	return out;
}

class Holder final : public Firebird::IKeyHolderPluginImpl<Holder, TStatus>
{
public:
	explicit Holder(Firebird::IPluginConfig* config) : config_(config)
	{
		config_->addRef();
		Firebird::IStatus* raw = master->getStatus();
		Firebird::CheckStatusWrapper status(raw);
		Firebird::IConfig* conf = config_->getDefaultConfig(&status);
		for (unsigned i = 0; conf; ++i)
		{
			Firebird::IConfigEntry* name = conf->findPos(&status, "KeyName", i);
			Firebird::IConfigEntry* hex = conf->findPos(&status, "Key", i);
			if (name || hex || i == 0)
				keys_.emplace_back(value(name, defaultKeyName), bytes(value(hex, "")));
			if (name)
				name->release();
			if (hex)
				hex->release();
			if (!name && !hex)
				break;
		}
		if (conf)
			conf->release();
		else
			keys_.emplace_back(defaultKeyName, defaultKey);
		raw->dispose();
	}
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
		note("holder keyCallback");
		status->init();
		return 1;  // the key is here, whoever asks
	}
	Firebird::ICryptKeyCallback* keyHandle(TStatus* status, const char* name) override
	{
		note(std::string("holder keyHandle ") + (name ? name : "(null)"));
		status->init();
		for (Key& key : keys_)
			if (name && key.name_ == name)
				return &key;
		return nullptr;
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
	std::vector<Key> keys_;
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

extern "C" FB_DLL_EXPORT void firebird_plugin(Firebird::IMaster* m)
{
	master = m;
	master->getPluginManager()->registerPluginFactory(Firebird::IPluginManager::TYPE_KEY_HOLDER,
													  "fbcrypt-test-holder", new Factory);
}
