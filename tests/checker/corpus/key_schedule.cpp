// A correct plug-in that expands its key once, in setKey, into tables held
// by the instance (a byte substitution and its inverse, per position in a
// 64-byte cycle), as block ciphers keep a key schedule; encrypt and decrypt
// only read them, so any number of threads may share the instance. NOT
// SECURE: a keyed substitution for tests.
#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include <firebird/Interface.h>

namespace
{

using namespace Firebird;

constexpr unsigned cycle = 64;

class KeySchedule final : public IDbCryptPluginImpl<KeySchedule, CheckStatusWrapper>
{
public:
	explicit KeySchedule(IPluginConfig* config) : config_(config) { config_->addRef(); }
	~KeySchedule() override { config_->release(); }

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
		std::vector<unsigned char> key;
		for (unsigned i = 0; i < length && key.empty(); ++i)
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
				key.assign(buffer, buffer + size);
		}
		if (key.empty())
		{
			const ISC_STATUS vector[] = {isc_arg_gds, isc_random, isc_arg_string,
										 reinterpret_cast<ISC_STATUS>("key_schedule: no key"), isc_arg_end};
			status->setErrors(vector);
			return;
		}
		// The schedule: for each position of the cycle, a permutation of the
		// 256 byte values shuffled by the key, and its inverse.
		std::uint32_t state = 2166136261u;
		for (unsigned char b : key)
			state = (state ^ b) * 16777619u;
		for (unsigned p = 0; p < cycle; ++p)
		{
			for (unsigned v = 0; v < 256; ++v)
				forward_[p][v] = static_cast<unsigned char>(v);
			for (unsigned v = 255; v > 0; --v)
			{
				state = state * 1103515245u + 12345u + key[(p + v) % key.size()];
				const unsigned j = (state >> 8) % (v + 1);
				std::swap(forward_[p][v], forward_[p][j]);
			}
			for (unsigned v = 0; v < 256; ++v)
				inverse_[p][forward_[p][v]] = static_cast<unsigned char>(v);
		}
	}
	void encrypt(CheckStatusWrapper*, unsigned length, const void* from, void* to) override
	{
		apply(forward_, length, from, to);
	}
	void decrypt(CheckStatusWrapper*, unsigned length, const void* from, void* to) override
	{
		apply(inverse_, length, from, to);
	}
	void setInfo(CheckStatusWrapper*, IDbCryptInfo*) override {}

private:
	static void apply(const unsigned char (&table)[cycle][256], unsigned length, const void* from, void* to)
	{
		const auto* s = static_cast<const unsigned char*>(from);
		auto* d = static_cast<unsigned char*>(to);
		for (unsigned i = 0; i < length; ++i)
			d[i] = table[i % cycle][s[i]];
	}

	std::atomic<int> refs_{0};
	IReferenceCounted* owner_ = nullptr;
	IPluginConfig* config_;
	unsigned char forward_[cycle][256] = {};
	unsigned char inverse_[cycle][256] = {};
};

class Factory final : public IPluginFactoryImpl<Factory, CheckStatusWrapper>
{
public:
	IPluginBase* createPlugin(CheckStatusWrapper*, IPluginConfig* config) override
	{
		auto* p = new KeySchedule(config);
		p->addRef();
		return p;
	}
};

}  // namespace

extern "C" FB_DLL_EXPORT void firebird_plugin(IMaster* master)
{
	master->getPluginManager()->registerPluginFactory(IPluginManager::TYPE_DB_CRYPT, "key_schedule", new Factory);
}
