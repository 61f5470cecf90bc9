// What the engine hands a plug-in for its configuration, as the engine's
// plug-in manager does (yvalve/PluginManager.cpp): the IPluginConfig given
// to createPlugin, whose getDefaultConfig is the plug-in's own plugins.conf
// Config block (a new IConfig each call, the caller's to release),
// getFirebirdConf the settings of firebird.conf, and getConfigFileName the
// file its Config block came from. Entries are given, as KEY = VALUE pairs.
#pragma once

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include <firebird/Interface.h>

#include "HostStatus.h"

namespace standin
{

using Entries = std::vector<std::pair<std::string, std::string>>;

// The reference count of an object the stand-in hands out with one
// reference, the caller's; the object frees itself when drop() says so.
class RefCount
{
public:
	void add() { refs_.fetch_add(1); }
	int drop() { return refs_.fetch_sub(1) - 1; }  // the references left

private:
	std::atomic<int> refs_{1};
};

// addRef and release of a class with a RefCount named refs_.
#define STANDIN_COUNTED                          \
	void addRef() override { refs_.add(); }      \
	int release() override                       \
	{                                            \
		const int left = refs_.drop();           \
		if (left == 0)                           \
			delete this;                         \
		return left;                             \
	}

class FakeConfigEntry final : public Firebird::IConfigEntryImpl<FakeConfigEntry, PassStatus>
{
public:
	FakeConfigEntry(std::string name, std::string value) : name_(std::move(name)), value_(std::move(value)) {}

	STANDIN_COUNTED
	const char* getName() override { return name_.c_str(); }
	const char* getValue() override { return value_.c_str(); }
	// As the engine reads them: a number with an optional K, M or G; yes/true/on/1.
	ISC_INT64 getIntValue() override;
	FB_BOOLEAN getBoolValue() override;
	Firebird::IConfig* getSubConfig(PassStatus*) override { return nullptr; }

private:
	RefCount refs_;
	std::string name_, value_;
};

class FakeConfig final : public Firebird::IConfigImpl<FakeConfig, PassStatus>
{
public:
	explicit FakeConfig(Entries entries) : entries_(std::move(entries)) {}

	STANDIN_COUNTED
	// Null where there is no such entry, as in the engine.
	Firebird::IConfigEntry* find(PassStatus*, const char* name) override;
	Firebird::IConfigEntry* findValue(PassStatus*, const char* name, const char* value) override;
	Firebird::IConfigEntry* findPos(PassStatus*, const char* name, unsigned pos) override;

private:
	RefCount refs_;
	Entries entries_;
};

// firebird.conf as the stand-in's engine has it: the settings a plug-in may
// ask for, with Firebird's defaults (a SuperServer, on 3050).
class FakeFirebirdConf final : public Firebird::IFirebirdConfImpl<FakeFirebirdConf, PassStatus>
{
public:
	STANDIN_COUNTED
	unsigned getKey(const char* name) override;  // ~0 where there is no such setting
	ISC_INT64 asInteger(unsigned key) override;
	const char* asString(unsigned key) override;
	FB_BOOLEAN asBoolean(unsigned key) override;
	unsigned getVersion(PassStatus*) { return 1; }  // since 4.0's headers

private:
	RefCount refs_;
};

// The IPluginConfig of an instance. It starts with the engine's own
// reference and is never freed by a release: the host owns it, and a check
// reads its counts after the plug-in is gone.
class FakePluginConfig final : public Firebird::IPluginConfigImpl<FakePluginConfig, PassStatus>
{
public:
	explicit FakePluginConfig(Entries entries = {}) : entries_(std::move(entries)) {}

	int refs() const { return refs_.load(); }
	int addRefCalls() const { return addRefs_.load(); }
	int releaseCalls() const { return releases_.load(); }
	// Calls other than addRef and release.
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
	const char* getConfigFileName() override;
	Firebird::IConfig* getDefaultConfig(PassStatus*) override;
	Firebird::IFirebirdConf* getFirebirdConf(PassStatus*) override;
	void setReleaseDelay(PassStatus*, ISC_UINT64) override { reads_.fetch_add(1); }

private:
	Entries entries_;
	std::atomic<int> refs_{1};
	std::atomic<int> addRefs_{0};
	std::atomic<int> releases_{0};
	std::atomic<int> reads_{0};
};

}  // namespace standin
