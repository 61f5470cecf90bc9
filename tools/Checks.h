// What fbcrypt-check verifies in a database crypt plug-in module: the
// engine's expectations of registration, reference counts, statuses and the
// transform, each check run against a fresh load of the module; and, with
// --engine, the steps in a real engine. Both are tables (Checks.cpp): a name,
// whether it runs by default, one line of what it checks, and the checks
// whose FAIL makes it meaningless (it is then SKIPped "after X FAIL").
#pragma once

#include <string>
#include <vector>

#include "Options.h"

namespace check
{

struct Factory
{
	unsigned type;
	std::string name;
	unsigned version;
	std::size_t index;  // among the module's factory registrations
};

struct Discovery
{
	std::vector<unsigned> moduleVersions;  // one per registered module object
	std::vector<Factory> factories;        // in registration order
	std::string error;                     // why the module could not be driven
};

enum class Outcome
{
	pass,
	fail,
	skip,
	warn  // unusual, but harmless in the engines: the run still passes
};

struct Result
{
	std::string check;
	Outcome outcome;
	std::string message;
	double seconds = 0;
};

struct Throughput
{
	unsigned length;
	double encryptMBps;  // separate buffers: the engine's page write
	double decryptMBps;  // in place: the engine's page read
};

struct PluginReport
{
	std::string name;
	unsigned instanceVersion = 0;
	std::string engineVersion;  // the engine's own version, when --engine ran in one
	std::vector<Result> results;
	std::vector<Throughput> throughput;
};

// A check or an engine step, as --list-checks shows it.
struct CheckInfo
{
	const char* name;
	const char* runs;  // "default", or the option that turns it on
	const char* what;
};
std::vector<CheckInfo> listChecks();
// Whether `name` names a check (for --only and --skip).
bool isCheck(const std::string& name);

Discovery discover(const Options& options);
// Why the key holder of --key-holder cannot be used (not a module, no key
// holder registered under its name), or "" when it can.
std::string keyHolderProblem(const Options& options);
// Every check without an engine, each in a process of its own; then, with
// --engine, the steps in a real one.
PluginReport checkPlugin(const Options& options, const Factory& factory);

// ---- The real engine (CheckEngine.cpp; CheckEngineUnavailable.cpp where it is not built)

struct EngineStep
{
	const char* name;
	const char* what;
};
// In the order they run.
const std::vector<EngineStep>& engineSteps();
// The installed Firebird to use: `given`, else the first the install would
// find; empty, with the reason in `why`, when there is none.
std::string findEngineRoot(const std::string& given, std::string& why);
// Whether this build runs --engine at all (Linux), or reports its steps as SKIP.
bool engineModeBuilt();
// The steps in a real engine; the engine's version goes to `report`.
std::vector<Result> checkInEngine(const Options& options, const Factory& factory, PluginReport& report);

class Reporter;
// The engine steps, in the child.
void engineJob(const Options& options, const std::string& dir, const std::string& plugin, const Reporter& out);

}  // namespace check
