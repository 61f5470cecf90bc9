// What the engine hands a crypt plug-in besides its configuration: key
// holders (setKey), the database information (setInfo) and an owner
// (setOwner). Each counts every call made on it, reference counts included.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <firebird/Interface.h>

#include "HostStatus.h"

namespace standin
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
	// addRef calls minus release calls.
	int heldRefs() const { return held_.load(); }

	void addRef() override
	{
		counter_.touch();
		held_.fetch_add(1);
	}
	int release() override
	{
		counter_.touch();
		held_.fetch_sub(1);
		return 1;
	}

private:
	CallCounter counter_;
	std::atomic<int> held_{0};
};

// A key as a key holder hands it out: the plug-in asks the callback for the
// key's bytes (callback(0, nullptr, size, buffer) returns how many there are).
class FakeKeyCallback final : public Firebird::ICryptKeyCallbackImpl<FakeKeyCallback, PassStatus>
{
public:
	explicit FakeKeyCallback(std::vector<std::uint8_t> key) : key_(std::move(key)) {}
	int calls() const { return counter_.calls(); }

	// ICryptKeyCallback
	unsigned callback(unsigned, const void*, unsigned bufferLength, void* buffer) override;
	// Since Debian's 4.0.5 and 5.0.2 (3.0's headers have callback alone, so
	// these override nothing there).
	int getHashLength(PassStatus*)
	{
		counter_.touch();
		return -1;  // no hash of the key: the engine's own holders may give none either
	}
	void getHashData(PassStatus*, void*) { counter_.touch(); }
#if defined(FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION) && FIREBIRD_ICRYPT_KEY_CALLBACK_VERSION >= 4
	// 6.0: a plug-in gives back a callback it took from keyHandle.
	void dispose() override
	{
		counter_.touch();
		disposed_.fetch_add(1);
	}
	static constexpr bool disposable = true;
#else
	static constexpr bool disposable = false;
#endif
	int disposed() const { return disposed_.load(); }

private:
	std::vector<std::uint8_t> key_;
	CallCounter counter_;
	std::atomic<int> disposed_{0};
};

// A key holder plug-in as the engine passes it to setKey. It holds one key
// under one name ("" for the default key), or none at all; the plug-in gets
// it through keyHandle(name). Reference counts are kept, so that a check can
// see a holder that was not given back.
class FakeKeyHolder final : public Firebird::IKeyHolderPluginImpl<FakeKeyHolder, PassStatus>
{
public:
	FakeKeyHolder() = default;  // offers no key
	FakeKeyHolder(std::string keyName, std::vector<std::uint8_t> key)
		: keyName_(std::move(keyName)), key_(std::in_place, std::move(key))
	{
	}

	int calls() const { return counter_.calls(); }
	// addRef calls minus release calls: 0 once the plug-in gave back what it took.
	int heldRefs() const { return held_.load(); }
	int keyReads() const { return key_ ? key_->calls() : 0; }
	// Key callbacks keyHandle handed out, and how many the plug-in gave back (6.0's dispose).
	int callbacksHandedOut() const { return handedOut_.load(); }
	int callbacksGivenBack() const { return key_ ? key_->disposed() : 0; }

	// IReferenceCounted
	void addRef() override
	{
		counter_.touch();
		held_.fetch_add(1);
	}
	int release() override
	{
		counter_.touch();
		held_.fetch_sub(1);
		return 1;  // the engine owns its holders
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
		return key_ ? 1 : 0;
	}
	Firebird::ICryptKeyCallback* keyHandle(PassStatus*, const char* keyName) override
	{
		counter_.touch();
		if (!key_ || keyName_ != (keyName ? keyName : ""))
			return nullptr;
		handedOut_.fetch_add(1);
		return &*key_;
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
	std::atomic<int> held_{0};
	std::atomic<int> handedOut_{0};
	std::string keyName_;
	std::optional<FakeKeyCallback> key_;
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

}  // namespace standin
