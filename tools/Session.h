// What every check works with: one load of the module, registered with a
// stand-in engine of its own, and the helpers that turn what the module did
// into a PASS or a FAIL line.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <firebird/Interface.h>

#include "Options.h"
#include "FakeMaster.h"
#include "HostStatus.h"
#include "Isolated.h"
#include "LoadedModule.h"

#include "FakeConfig.h"
#include "FakeCryptInputs.h"

namespace check
{

using Bytes = std::vector<std::uint8_t>;
using Firebird::IDbCryptPlugin;

// The page header the engine never passes: bodies are page size minus this.
constexpr unsigned pageHeader = 16;

// A check's verdict, thrown from anywhere inside it.
struct Failure : std::runtime_error
{
	using std::runtime_error::runtime_error;
};

struct Skipped : std::runtime_error
{
	using std::runtime_error::runtime_error;
};

// Unusual, but harmless in the engines: reported as WARN, and the run passes.
struct Warning : std::runtime_error
{
	using std::runtime_error::runtime_error;
};

class Session
{
public:
	Session(const Options& options, std::size_t factoryIndex, const Reporter& out);

	// Runs one call into the module; an exception that comes out of it fails the check.
	template <typename F> auto call(const std::string& what, F&& f) -> decltype(f())
	{
		out.calling(what);
		try
		{
			return f();
		}
		catch (const Failure&)
		{
			throw;
		}
		catch (const std::exception& e)
		{
			throw Failure("an exception escaped from " + what + ": " + e.what());
		}
		catch (...)
		{
			throw Failure("an exception of unknown type escaped from " + what);
		}
	}

	// A new instance from the factory, checked the way the engine relies on it.
	IDbCryptPlugin* create(standin::FakePluginConfig& config);
	int release(IDbCryptPlugin* p);
	void encrypt(IDbCryptPlugin* p, standin::HostStatus* s, unsigned n, const void* src, void* dst);
	void decrypt(IDbCryptPlugin* p, standin::HostStatus* s, unsigned n, const void* src, void* dst);
	// setKey with `holders` and the key name, its status expected clean.
	void setKey(IDbCryptPlugin* p, std::vector<Firebird::IKeyHolderPlugin*> holders, const std::string& what);
	void setInfo(IDbCryptPlugin* p, const std::string& path);
	// A new instance readied as the engine readies one: setInfo, then setKey
	// with the key holder that offers the key.
	IDbCryptPlugin* createKeyed(standin::FakePluginConfig& config);

	// The key: the bytes the stand-in's holders offer (--key-bytes, --key-hex),
	// the name setKey gets (--key), and the holder that offers it: the
	// author's (--key-holder) or one of the stand-in's.
	const Bytes& key() const { return key_; }
	const char* keyName() const { return options.keyName.c_str(); }
	Firebird::IKeyHolderPlugin* keyHolder();
	bool authorsHolder() const { return authorsHolder_ != nullptr; }
	// The plug-in's configuration entries (--plugin-config, --config-entry).
	const standin::Entries& entries() const { return options.pluginConfig; }

	Firebird::IPluginFactory* factory() const { return factory_; }

	const Options& options;
	const Reporter& out;

private:
	standin::CallLog log_;
	standin::FakePluginManager manager_{log_};
	standin::FakeMaster master_{log_, &manager_};
	std::unique_ptr<standin::LoadedModule> module_;
	Firebird::IPluginFactory* factory_ = nullptr;
	Bytes key_;
	std::unique_ptr<standin::FakeKeyHolder> standInHolder_;
	// The author's key holder: its module, registered with a manager of its own.
	standin::CallLog holderLog_;
	standin::FakePluginManager holderManager_{holderLog_};
	standin::FakeMaster holderMaster_{holderLog_, &holderManager_};
	std::unique_ptr<standin::LoadedModule> holderModule_;
	std::unique_ptr<standin::FakePluginConfig> holderConfig_;
	Firebird::IKeyHolderPlugin* authorsHolder_ = nullptr;
};

void expectClean(const standin::HostStatus& status, const std::string& after);
// " at byte N of M", or "" when equal.
std::string firstDifference(const Bytes& got, const Bytes& expected);
std::string joined(const std::vector<unsigned>& values);
// The lengths the engine passes: 16 and 48, then each page size minus its header.
std::vector<unsigned> engineLengths(const Options& options);

// A database path for setInfo, and another (the same database moved or restored elsewhere).
extern const char* const databasePath;
extern const char* const movedDatabasePath;

// Each check: its PASS message, or it throws Failure, Warning or Skipped.
using CheckFunction = std::string (*)(Session&, const Options&);

// Registration and lifetime
std::string checkCreate(Session&, const Options&);
std::string checkReferences(Session&, const Options&);
std::string checkConfig(Session&, const Options&);
std::string checkOwner(Session&, const Options&);
// Keys and the order of the engine's calls
std::string checkSetInfo(Session&, const Options&);
std::string checkKeyHolders(Session&, const Options&);
std::string checkCallOrder(Session&, const Options&);
std::string checkDatabasePath(Session&, const Options&);
std::string checkNoKey(Session&, const Options&);
// Statuses and exceptions
std::string checkDirtyStatus(Session&, const Options&);
std::string checkExceptions(Session&, const Options&);
// Page images and the buffers they come in
std::string checkRoundTrip(Session&, const Options&);
std::string checkBuffers(Session&, const Options&);
std::string checkRepeatable(Session&, const Options&);
std::string checkIdentity(Session&, const Options&);
std::string checkEncrypting(Session&, const Options&);
void measureThroughput(Session&, const Options&);
// Threads
std::string checkThreads(Session&, const Options&);
std::string checkSharing(Session&, const Options&);

}  // namespace check
