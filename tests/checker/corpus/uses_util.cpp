// A correct plug-in that uses the engine's IUtil: it checks the client's
// version once (getClientVersion), formats a key holder's error into its
// own message (formatStatus), and stamps its key with a date it works out
// with encodeDate and decodeDate. NOT SECURE: a keyed XOR stream for tests.
#include <atomic>
#include <string>
#include <vector>

#include <firebird/Interface.h>

namespace
{

using namespace Firebird;

IMaster* master = nullptr;

class UsesUtil final : public IDbCryptPluginImpl<UsesUtil, CheckStatusWrapper>
{
public:
	explicit UsesUtil(IPluginConfig* config) : config_(config) { config_->addRef(); }
	~UsesUtil() override { config_->release(); }

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
		IUtil* util = master->getUtilInterface();
		if ((util->getClientVersion() >> 8) < 3)
			return fail(status, "uses_util: needs Firebird 3.0 or later");
		// The key's epoch: a fixed date, through the engine's calendar and back.
		unsigned year = 0, month = 0, day = 0;
		util->decodeDate(util->encodeDate(2024, 2, 29), &year, &month, &day);
		if (year != 2024 || month != 2 || day != 29)
			return fail(status, "uses_util: the engine's calendar does not round-trip");
		std::string holderErrors;
		for (unsigned i = 0; i < length && key_.empty(); ++i)
		{
			IStatus* raw = master->getStatus();
			CheckStatusWrapper own(raw);
			ICryptKeyCallback* callback = sources[i]->keyHandle(&own, keyName);
			if (own.getState() & IStatus::STATE_ERRORS)
			{
				char text[256];
				util->formatStatus(text, sizeof text, raw);
				holderErrors += std::string("; holder ") + std::to_string(i) + ": " + text;
			}
			raw->dispose();
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
				key_.push_back(static_cast<unsigned char>(day + month * 31));
			}
		}
		if (key_.empty())
			fail(status, "uses_util: no key" + holderErrors);
	}
	void encrypt(CheckStatusWrapper*, unsigned length, const void* from, void* to) override { apply(length, from, to); }
	void decrypt(CheckStatusWrapper*, unsigned length, const void* from, void* to) override { apply(length, from, to); }
	void setInfo(CheckStatusWrapper*, IDbCryptInfo*) override {}

private:
	void fail(CheckStatusWrapper* status, const std::string& why)
	{
		why_ = why;
		const ISC_STATUS vector[] = {isc_arg_gds, isc_random, isc_arg_string, reinterpret_cast<ISC_STATUS>(why_.c_str()),
									 isc_arg_end};
		status->setErrors(vector);
	}
	void apply(unsigned length, const void* from, void* to) const
	{
		const auto* s = static_cast<const unsigned char*>(from);
		auto* d = static_cast<unsigned char*>(to);
		for (unsigned i = 0; i < length; ++i)
			d[i] = static_cast<unsigned char>(s[i] ^ key_[i % key_.size()] ^ (i >> 4));
	}

	std::atomic<int> refs_{0};
	IReferenceCounted* owner_ = nullptr;
	IPluginConfig* config_;
	std::vector<unsigned char> key_;
	std::string why_;
};

class Factory final : public IPluginFactoryImpl<Factory, CheckStatusWrapper>
{
public:
	IPluginBase* createPlugin(CheckStatusWrapper*, IPluginConfig* config) override
	{
		auto* p = new UsesUtil(config);
		p->addRef();
		return p;
	}
};

}  // namespace

extern "C" FB_DLL_EXPORT void firebird_plugin(IMaster* m)
{
	master = m;
	master->getPluginManager()->registerPluginFactory(IPluginManager::TYPE_DB_CRYPT, "uses_util", new Factory);
}
