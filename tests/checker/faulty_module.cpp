// A small database crypt plug-in module with one deliberate mistake, chosen
// by FAULT at compile time, for the checker's own tests. With FAULT_NONE it
// is correct (and the identity), which shows that each failure comes from
// its fault alone; FAULT_NONE_XOR is correct too, and really changes the
// bytes; FAULT_KEYED is correct and needs its key from a key holder
// (key_holder.cpp in a real engine). Each other FAULT_ is a mistake an
// author could make; tests/checker/CMakeLists.txt says which check owns it.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

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
#elif defined(FAULT_THROWS) || defined(FAULT_THROWS_IN_ENCRYPT)
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

#if defined(FAULT_GLOBAL_KEY)
// One key for the whole module, set by every new instance and wiped by
// every instance that goes: another attachment's release changes this one's key.
std::atomic<unsigned char> globalKey{0};
#endif

// The transform: the bytes XORed with a key byte (0: the identity).
void xorInto(const void* from, void* to, unsigned length, unsigned char key)
{
	const auto* s = static_cast<const unsigned char*>(from);
	auto* d = static_cast<unsigned char*>(to);
	for (unsigned i = 0; i < length; ++i)
		d[i] = static_cast<unsigned char>(s[i] ^ key);
}

class Crypt final : public Firebird::IDbCryptPluginImpl<Crypt, Status>
{
public:
	explicit Crypt(IPluginConfig* config) : config_(config)
	{
		config_->addRef();
#if defined(FAULT_RANDOM_KEY)
		// Its own key for every instance: each round-trips, but two
		// instances given the same key encrypt differently.
		encryptKey_ = decryptKey_ = static_cast<unsigned char>(std::random_device()() % 255 + 1);
#elif defined(FAULT_GLOBAL_KEY)
		globalKey = 0x5a;
#elif defined(FAULT_NONE_XOR) || defined(FAULT_CHAINED) || defined(FAULT_INPLACE_DECRYPT) || \
	defined(FAULT_CLOBBERS_SOURCE) || defined(FAULT_SHORT_BUFFER) || defined(FAULT_SAME_INSTANCE) || \
	defined(FAULT_RELEASE_INVERTED) || defined(FAULT_NO_OWNER) || defined(FAULT_CONFIG_TWICE) || \
	defined(FAULT_SETINFO_ERROR) || defined(FAULT_KEY_LENGTH) || defined(FAULT_THROWS_IN_ENCRYPT) || \
	defined(FAULT_UNEMULATED) || defined(FAULT_PATH_SALTED)
		encryptKey_ = decryptKey_ = 0x5a;
#endif
#if defined(FAULT_UNEMULATED)
		// Asks the master for a provider, which a crypt plug-in has no use for:
		// the stand-in does not play it, and says so.
		if (master->getDispatcher())
			master->getDispatcher()->release();
#endif
	}
	~Crypt() override
	{
#if !defined(FAULT_KEEPS_CONFIG)
		config_->release();
#endif
#if defined(FAULT_CONFIG_TWICE)
		config_->release();  // "and once more for the reference createPlugin was given"
#endif
#if defined(FAULT_OWNER_REF)
		if (owner_)
			owner_->release();
#endif
#if defined(FAULT_GLOBAL_KEY)
		globalKey = 0;
#endif
	}

	void addRef() override
	{
		++count_;
	}
	int release() override
	{
#if defined(FAULT_RELEASE_INVERTED)
		// "Returns whether it was released": 1 when destroyed, 0 while alive.
		if (--count_ != 0)
			return 0;
		delete this;
		return 1;
#else
		if (--count_ != 0)
			return 1;
#if !defined(FAULT_NEVER_FREES)
		delete this;
#endif
		return 0;
#endif
	}
	void setOwner(Firebird::IReferenceCounted* owner) override
	{
#if defined(FAULT_OWNER_REF)
		// Holds its owner, and gives it back: unusual, but balanced.
		if (owner)
			owner->addRef();
		if (owner_)
			owner_->release();
#endif
#if defined(FAULT_NO_OWNER)
		(void)owner;  // "the engine keeps its owner itself"
#else
		owner_ = owner;
#endif
	}
	Firebird::IReferenceCounted* getOwner() override
	{
		return owner_;
	}

	void setKey(Status* status, unsigned length, IKeyHolderPlugin** sources, const char* keyName) override
	{
		status->init();
		(void)length;  // read only by some of the variants
		(void)sources;
		(void)keyName;
#if defined(FAULT_KEYED)
		// The key's first byte, from the first holder that has the named key.
		Firebird::IStatus* raw = master->getStatus();
		Firebird::CheckStatusWrapper st(raw);
		unsigned char got = 0;
		for (unsigned i = 0; i < length && !got; ++i)
			if (Firebird::ICryptKeyCallback* callback = sources[i]->keyHandle(&st, keyName))
			{
				unsigned char buffer[64];
				if (callback->callback(0, nullptr, sizeof buffer, buffer) > 0)
					got = buffer[0];
			}
		raw->dispose();
		if (!got)
			return status->setError("faulty: no key holder offered the key");
		encryptKey_ = decryptKey_ = got;
#endif
#if defined(FAULT_PLAINTEXT_WITHOUT_KEY) || defined(FAULT_KEY_LENGTH)
		// The key's first byte from the first holder that has the named key.
		Firebird::IStatus* raw = master->getStatus();
		Firebird::CheckStatusWrapper st(raw);
		unsigned char got = 0;
		unsigned size = 0;
		for (unsigned i = 0; i < length && !got; ++i)
			if (Firebird::ICryptKeyCallback* callback = sources[i]->keyHandle(&st, keyName))
			{
				unsigned char buffer[64];
				size = callback->callback(0, nullptr, sizeof buffer, buffer);
				if (size > 0)
					got = buffer[0];
			}
		raw->dispose();
#if defined(FAULT_KEY_LENGTH)
		// "Our keys are 64 bytes": so is every key it will ever get, it thinks.
		if (size != 64)
			return status->setError("faulty: the key must be 64 bytes");
#elif defined(FAULT_PLAINTEXT_WITHOUT_KEY)
		// No key, no error: it carries on with key 0, the identity.
		encryptKey_ = decryptKey_ = got;
#endif
#endif
#if defined(FAULT_HOLDER_REF)
		// Keeps the holders "for later" and never gives them back.
		for (unsigned i = 0; i < length; ++i)
			sources[i]->addRef();
#endif
#if defined(FAULT_HOLDER_UNREF)
		// Gives back a reference to the holders that it never took.
		for (unsigned i = 0; i < length; ++i)
			sources[i]->release();
#endif
#if defined(FAULT_NEEDS_SETINFO)
		// Looks up the decrypt key by the database path setInfo gave; an
		// engine that calls setKey alone leaves it with the wrong one.
		encryptKey_ = 0x5a;
		decryptKey_ = path_.empty() ? 0x00 : 0x5a;
#endif
	}
	void setInfo(Status* status, IDbCryptInfo* info) override
	{
		status->init();
#if defined(FAULT_NEEDS_SETINFO)
		Firebird::IStatus* raw = master->getStatus();
		Firebird::CheckStatusWrapper st(raw);
		const char* path = info->getDatabaseFullPath(&st);
		path_ = path ? path : "";
		raw->dispose();
#elif !defined(FAULT_PATH_SALTED)
		(void)info;
#endif
#if defined(FAULT_THROWS)
		throw std::runtime_error("faulty: setInfo gave up");
#endif
#if defined(FAULT_SETINFO_ERROR)
		// "We only support databases under /data".
		return status->setError("faulty: the database is not under /data");
#endif
#if defined(FAULT_PATH_SALTED)
		// An IV salted with the database's path: a database moved elsewhere
		// has a different one.
		Firebird::IStatus* raw = master->getStatus();
		Firebird::CheckStatusWrapper st(raw);
		const char* path = info->getDatabaseFullPath(&st);
		salt_ = 0;
		for (const char* c = path ? path : ""; *c; ++c)
			salt_ = static_cast<unsigned char>(salt_ * 31 + static_cast<unsigned char>(*c));
		raw->dispose();
#endif
	}
	void encrypt(Status* status, unsigned length, const void* from, void* to) override
	{
		status->init();
#if defined(FAULT_HANGS)
		// Waits for a key server that never answers.
		if (length == 16)
			std::this_thread::sleep_for(std::chrono::hours(1));
#endif
#if defined(FAULT_CRASHES)
		// A header-sized buffer writes through a table pointer never set.
		static volatile std::uintptr_t table = 16;
		if (length == 48)
			*reinterpret_cast<volatile unsigned*>(table) = 1;
#endif
#if defined(FAULT_GBAK_CHUNKS)
		// A block path for whole 256-byte chunks that chains each byte to the
		// source byte before it, read after the destination was written: in
		// place (gbak -crypt's backup) it chains to ciphertext.
		if (length % 256 == 0)
		{
			const auto* s = static_cast<const unsigned char*>(from);
			auto* d = static_cast<unsigned char*>(to);
			for (unsigned i = 0; i < length; ++i)
				d[i] = static_cast<unsigned char>(s[i] ^ 0x5a ^ (i ? s[i - 1] : 0));
			return;
		}
#endif
#if defined(FAULT_THROWS_IN_ENCRYPT)
		// A wrapper that throws, used where nothing catches it.
		if (length == 48)
			throw std::runtime_error("faulty: a header is not a page");
#endif
#if defined(FAULT_CHAINED)
		// Each call goes on from where the last one stopped: a stream cipher
		// whose state lives in the instance, not in the page.
		xorInto(from, to, length, static_cast<unsigned char>(key(encryptKey_) + encryptChain_++));
		return;
#endif
#if defined(FAULT_CLOBBERS_SOURCE)
		// "Encrypt in place, then copy": the engine's cached page is left encrypted.
		xorInto(from, const_cast<void*>(from), length, key(encryptKey_));
		std::memcpy(to, from, length);
		return;
#endif
#if defined(FAULT_PATH_SALTED)
		xorInto(from, to, length, static_cast<unsigned char>(key(encryptKey_) ^ salt_));
		return;
#endif
#if defined(FAULT_INPLACE_DECRYPT)
		{
			const auto* s = static_cast<const unsigned char*>(from);
			auto* d = static_cast<unsigned char*>(to);
			for (unsigned i = 0; i < length; ++i)
				d[i] = static_cast<unsigned char>(s[i] ^ key(encryptKey_) ^ (i ? d[i - 1] & 0x01 : 0));
			return;
		}
#endif
		xorInto(from, to, length, key(encryptKey_));
	}
	void decrypt(Status* status, unsigned length, const void* from, void* to) override
	{
		status->init();
#if defined(FAULT_GBAK_CHUNKS)
		if (length % 256 == 0)
		{
			const auto* s = static_cast<const unsigned char*>(from);
			auto* d = static_cast<unsigned char*>(to);
			for (unsigned i = 0; i < length; ++i)
				d[i] = static_cast<unsigned char>(s[i] ^ 0x5a ^ (i ? d[i - 1] : 0));
			return;
		}
#endif
#if defined(FAULT_CHAINED)
		xorInto(from, to, length, static_cast<unsigned char>(key(decryptKey_) + decryptChain_++));
		return;
#endif
#if defined(FAULT_PATH_SALTED)
		xorInto(from, to, length, static_cast<unsigned char>(key(decryptKey_) ^ salt_));
		return;
#endif
#if defined(FAULT_INPLACE_DECRYPT)
		// Each byte chained to the ciphertext byte before it, read forward:
		// right into a separate buffer, wrong in place (the byte before was
		// already decrypted), which is how the engine reads every page.
		{
			const auto* s = static_cast<const unsigned char*>(from);
			auto* d = static_cast<unsigned char*>(to);
			for (unsigned i = 0; i < length; ++i)
				d[i] = static_cast<unsigned char>(s[i] ^ key(decryptKey_) ^ (i ? s[i - 1] & 0x01 : 0));
			return;
		}
#endif
#if defined(FAULT_SHORT_BUFFER)
		// A work buffer sized for 8 KiB pages: the rest of a larger page is left as it came.
		xorInto(from, to, length < 8176 ? length : 8176, key(decryptKey_));
		if (length > 8176 && from != to)
			std::memcpy(static_cast<unsigned char*>(to) + 8176, static_cast<const unsigned char*>(from) + 8176,
						length - 8176);
		return;
#endif
		xorInto(from, to, length, key(decryptKey_));
#if defined(FAULT_DECRYPT_FLIPS)
		// One wrong bit at the end of the body, where a data page keeps its records.
		if (length)
			static_cast<unsigned char*>(to)[length - 1] ^= 0x01;
#endif
	}

private:
	static unsigned char key(unsigned char own)
	{
#if defined(FAULT_GLOBAL_KEY)
		(void)own;
		return globalKey;
#else
		return own;
#endif
	}

#if defined(FAULT_RACY_COUNT)
	int count_ = 0;  // not atomic
#else
	std::atomic<int> count_{0};
#endif
	Firebird::IReferenceCounted* owner_ = nullptr;
	IPluginConfig* config_;
	unsigned char encryptKey_ = 0, decryptKey_ = 0;
#if defined(FAULT_NEEDS_SETINFO)
	std::string path_;
#endif
#if defined(FAULT_PATH_SALTED)
	unsigned char salt_ = 0;
#endif
#if defined(FAULT_CHAINED)
	unsigned encryptChain_ = 0, decryptChain_ = 0;
#endif
};

class Factory final : public Firebird::IPluginFactoryImpl<Factory, Status>
{
public:
	Firebird::IPluginBase* createPlugin(Status* status, IPluginConfig* config) override
	{
#if defined(FAULT_SAME_INSTANCE)
		// "One instance is enough": made once, handed out again and again.
		static Crypt* only = new Crypt(config);
		only->addRef();
		(void)status;
		return only;
#else
		Crypt* c = new Crypt(config);
		c->addRef();
#if defined(FAULT_INSTANCE_AND_ERROR)
		// A warning meant, an error set: "config has no Salt, using the default".
		status->setError("faulty: no Salt in the configuration, using the default");
#else
		(void)status;
#endif
		return c;
#endif
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
