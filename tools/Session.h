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

#include "Checks.h"
#include "FakeMaster.h"
#include "HostStatus.h"
#include "Isolated.h"
#include "LoadedModule.h"

namespace host
{
class FakeKeyHolder;
class FakePluginConfig;
}  // namespace host

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
	Session(const std::string& path, std::size_t factoryIndex, const Reporter& out);

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
	IDbCryptPlugin* create(host::FakePluginConfig& config);
	int release(IDbCryptPlugin* p);
	void encrypt(IDbCryptPlugin* p, host::HostStatus* s, unsigned n, const void* src, void* dst);
	void decrypt(IDbCryptPlugin* p, host::HostStatus* s, unsigned n, const void* src, void* dst);
	// setKey with `holders`, its status expected clean.
	void setKey(IDbCryptPlugin* p, std::vector<host::FakeKeyHolder*> holders, const char* keyName,
				const std::string& what);
	void setInfo(IDbCryptPlugin* p, const std::string& path);
	// A new instance readied as the engine readies one: setInfo, then setKey
	// with `holder` and the default key.
	IDbCryptPlugin* createKeyed(host::FakePluginConfig& config, host::FakeKeyHolder& holder);

	Firebird::IPluginFactory* factory() const { return factory_; }

	const Reporter& out;

private:
	host::CallLog log_;
	host::FakePluginManager manager_{log_};
	host::FakeMaster master_{log_, &manager_};
	std::unique_ptr<host::LoadedModule> module_;
	Firebird::IPluginFactory* factory_ = nullptr;
};

void expectClean(const host::HostStatus& status, const std::string& after);
// " at byte N of M", or "" when equal.
std::string firstDifference(const Bytes& got, const Bytes& expected);
std::string joined(const std::vector<unsigned>& values);

// A database path for setInfo, and a key the stand-in holders hand out.
extern const char* const databasePath;
Bytes standInKey();

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
