// The database crypt plug-in "velkor": its factory and its instances.
// The transform is the identity; see crypt.cpp.
#pragma once

#include <atomic>
#include <cstdint>

#include <firebird/Interface.h>

#include "status.h"

namespace velkor
{

// Creates one new TMyCrypt per call; has no state of its own.
class TMyFactory final : public Firebird::IPluginFactoryImpl<TMyFactory, TStatus>
{
public:
	// IPluginFactory
	Firebird::IPluginBase* createPlugin(TStatus* status, Firebird::IPluginConfig* factoryParameter) override;
};

class TMyCrypt final : public Firebird::IDbCryptPluginImpl<TMyCrypt, TStatus>
{
public:
	// Holds one counted reference to `config` (when not null) until destroyed.
	explicit TMyCrypt(Firebird::IPluginConfig* config);
	~TMyCrypt() override;

	// IReferenceCounted
	void addRef() override;
	int release() override;

	// IPluginBase
	void setOwner(Firebird::IReferenceCounted* ref) override;
	Firebird::IReferenceCounted* getOwner() override;

	// IDbCryptPlugin
	void setKey(TStatus* status, unsigned length, Firebird::IKeyHolderPlugin** sources,
				const char* keyName) override;
	void encrypt(TStatus* status, unsigned length, const void* src, void* dst) override;
	void decrypt(TStatus* status, unsigned length, const void* src, void* dst) override;
	void setInfo(TStatus* status, Firebird::IDbCryptInfo* info) override;

private:
	std::atomic<std::int32_t> FCounter{0};
	Firebird::IReferenceCounted* FOwner = nullptr;  // not counted: the owner outlives us
	Firebird::IPluginConfig* FConfig;
};

}  // namespace velkor
