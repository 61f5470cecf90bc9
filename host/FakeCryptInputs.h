// What the engine hands a crypt plug-in besides its configuration: key
// holders (setKey), the database information (setInfo) and an owner
// (setOwner). Each counts every call made on it, reference counts included.
#pragma once

#include <atomic>
#include <string>

#include <firebird/Interface.h>

#include "HostStatus.h"

namespace host
{

// Kept as a member, not a second base: the interface bases cast the engine's
// pointer straight to the implementing class.
class CallCounter
{
public:
	int calls() const { return calls_.load(); }
	void touch();  // out of line: g++ 12 misreads the atomic inlined into a dispatcher

private:
	std::atomic<int> calls_{0};
};

class FakeOwner final : public Firebird::IReferenceCountedImpl<FakeOwner, PassStatus>
{
public:
	int calls() const { return counter_.calls(); }

	void addRef() override { counter_.touch(); }
	int release() override
	{
		counter_.touch();
		return 1;
	}

private:
	CallCounter counter_;
};

class FakeKeyHolder final : public Firebird::IKeyHolderPluginImpl<FakeKeyHolder, PassStatus>
{
public:
	int calls() const { return counter_.calls(); }

	// IReferenceCounted
	void addRef() override { counter_.touch(); }
	int release() override
	{
		counter_.touch();
		return 1;
	}
	// IPluginBase
	void setOwner(Firebird::IReferenceCounted*) override { counter_.touch(); }
	Firebird::IReferenceCounted* getOwner() override
	{
		counter_.touch();
		return nullptr;
	}
	// IKeyHolderPlugin
	int keyCallback(PassStatus*, Firebird::ICryptKeyCallback*) override
	{
		counter_.touch();
		return 0;
	}
	Firebird::ICryptKeyCallback* keyHandle(PassStatus*, const char*) override
	{
		counter_.touch();
		return nullptr;
	}
	FB_BOOLEAN useOnlyOwnKeys(PassStatus*) override
	{
		counter_.touch();
		return FB_FALSE;
	}
	Firebird::ICryptKeyCallback* chainHandle(PassStatus*) override
	{
		counter_.touch();
		return nullptr;
	}

private:
	CallCounter counter_;
};

class FakeCryptInfo final : public Firebird::IDbCryptInfoImpl<FakeCryptInfo, PassStatus>
{
public:
	int calls() const { return counter_.calls(); }

	explicit FakeCryptInfo(std::string path) : path_(std::move(path)) {}

	// IReferenceCounted
	void addRef() override { counter_.touch(); }
	int release() override
	{
		counter_.touch();
		return 1;
	}
	// IDbCryptInfo
	const char* getDatabaseFullPath(PassStatus*) override
	{
		counter_.touch();
		return path_.c_str();
	}

private:
	CallCounter counter_;
	std::string path_;
};

}  // namespace host
