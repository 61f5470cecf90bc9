// The configuration object the engine passes to createPlugin. It starts with
// the engine's own reference and is never freed by a release: the host owns
// it, and a test reads its counts after the plug-in is gone.
#pragma once

#include <atomic>

#include <firebird/Interface.h>

#include "HostStatus.h"

namespace host
{

class FakePluginConfig final : public Firebird::IPluginConfigImpl<FakePluginConfig, PassStatus>
{
public:
	int refs() const { return refs_.load(); }
	int addRefCalls() const { return addRefs_.load(); }
	int releaseCalls() const { return releases_.load(); }
	// Calls other than addRef/release: a crypt plug-in here reads nothing.
	int reads() const { return reads_.load(); }

	// IReferenceCounted
	void addRef() override
	{
		addRefs_.fetch_add(1);
		refs_.fetch_add(1);
	}
	int release() override
	{
		releases_.fetch_add(1);
		return refs_.fetch_sub(1) - 1 > 0 ? 1 : 0;
	}

	// IPluginConfig
	const char* getConfigFileName() override { return read<const char*>(nullptr); }
	Firebird::IConfig* getDefaultConfig(PassStatus*) override { return read<Firebird::IConfig*>(nullptr); }
	Firebird::IFirebirdConf* getFirebirdConf(PassStatus*) override
	{
		return read<Firebird::IFirebirdConf*>(nullptr);
	}
	void setReleaseDelay(PassStatus*, ISC_UINT64) override { read<int>(0); }

private:
	template <typename T> T read(T result)
	{
		reads_.fetch_add(1);
		return result;
	}

	std::atomic<int> refs_{1};
	std::atomic<int> addRefs_{0};
	std::atomic<int> releases_{0};
	std::atomic<int> reads_{0};
};

}  // namespace host
