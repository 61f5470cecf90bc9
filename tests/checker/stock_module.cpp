// A database crypt plug-in written the way an author starts from Firebird's
// public headers alone: the interfaces' implementation bases with Firebird's
// own status wrapper (CheckStatusWrapper), a module object, and a transform
// that really changes the bytes: XOR with a key that setKey takes from a key
// holder (keyHandle, then the callback). It is correct, and fbcrypt-check
// passes it by default, with --encrypting, and in every engine with the test
// key holder (key_holder.cpp). It also stands in for a plug-in author's own
// project in the test of the checker's CMake package.
#include <atomic>
#include <cstring>
#include <vector>

#include <firebird/Interface.h>

namespace
{

using namespace Firebird;

class StockCrypt final : public IDbCryptPluginImpl<StockCrypt, CheckStatusWrapper>
{
public:
	explicit StockCrypt(IPluginConfig* config) : config_(config) { config_->addRef(); }
	~StockCrypt() override { config_->release(); }

	// IReferenceCounted
	void addRef() override { ++refs_; }
	int release() override
	{
		if (--refs_ != 0)
			return 1;
		delete this;
		return 0;
	}

	// IPluginBase
	void setOwner(IReferenceCounted* owner) override { owner_ = owner; }
	IReferenceCounted* getOwner() override { return owner_; }

	// IDbCryptPlugin
	void setKey(CheckStatusWrapper* status, unsigned length, IKeyHolderPlugin** sources, const char* keyName) override
	{
		for (unsigned i = 0; i < length; ++i)
		{
			ICryptKeyCallback* callback = sources[i]->keyHandle(status, keyName);
			if (status->getState() & IStatus::STATE_ERRORS)
				return;
			if (!callback)
				continue;
			unsigned char buffer[256];
			const unsigned size = callback->callback(0, nullptr, sizeof buffer, buffer);
#if defined(FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION) && FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION >= 4
			callback->dispose();  // 6.0: a callback from keyHandle is given back when done with
#endif
			if (size > 0 && size <= sizeof buffer)
			{
				key_.assign(buffer, buffer + size);
				return;
			}
		}
		const ISC_STATUS error[] = {isc_arg_gds, isc_random, isc_arg_string,
									reinterpret_cast<ISC_STATUS>("stock: no key holder offered the key"), isc_arg_end};
		status->setErrors(error);
	}
	void encrypt(CheckStatusWrapper* status, unsigned length, const void* from, void* to) override
	{
		transform(status, length, from, to);
	}
	void decrypt(CheckStatusWrapper* status, unsigned length, const void* from, void* to) override
	{
		transform(status, length, from, to);
	}
	void setInfo(CheckStatusWrapper*, IDbCryptInfo*) override {}

private:
	void transform(CheckStatusWrapper* status, unsigned length, const void* from, void* to)
	{
		if (key_.empty())
		{
			const ISC_STATUS error[] = {isc_arg_gds, isc_random, isc_arg_string,
										reinterpret_cast<ISC_STATUS>("stock: no key"), isc_arg_end};
			status->setErrors(error);
			return;
		}
		const unsigned char* in = static_cast<const unsigned char*>(from);
		unsigned char* out = static_cast<unsigned char*>(to);
		for (unsigned i = 0; i < length; ++i)
			out[i] = in[i] ^ key_[i % key_.size()];
	}

	std::atomic<int> refs_{0};
	IReferenceCounted* owner_ = nullptr;
	IPluginConfig* config_;
	std::vector<unsigned char> key_;
};

class StockFactory final : public IPluginFactoryImpl<StockFactory, CheckStatusWrapper>
{
public:
	IPluginBase* createPlugin(CheckStatusWrapper*, IPluginConfig* config) override
	{
		StockCrypt* crypt = new StockCrypt(config);
		crypt->addRef();
		return crypt;
	}
};

class StockModule final : public IPluginModuleImpl<StockModule, CheckStatusWrapper>
{
public:
	void doClean() override {}
	void threadDetach() override {}
};

StockFactory factory;
StockModule module;

}  // namespace

extern "C" FB_DLL_EXPORT void firebird_plugin(IMaster* master)
{
	IPluginManager* manager = master->getPluginManager();
	manager->registerModule(&module);
	manager->registerPluginFactory(IPluginManager::TYPE_DB_CRYPT, "stock", &factory);
}
