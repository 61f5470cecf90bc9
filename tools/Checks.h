// What fbcrypt-check verifies in a database crypt plug-in module: the
// engine's expectations of registration, reference counts, statuses and the
// transform, each check run against a fresh load of the module.
#pragma once

#include <string>
#include <vector>

namespace check
{

struct Options
{
	std::string module;
	std::string plugin;  // empty: every database crypt factory
	bool identity = false;
	bool strictStatus = false;  // velkor's contract: every call cleans its status (--identity implies it)
	bool encrypting = false;
	unsigned threads = 0;
	std::vector<unsigned> pageSizes;
	bool json = false;
	std::string junit;  // a JUnit XML report to write, or empty
	// In a real engine: the Firebird root (empty: found as the install finds
	// one), a key holder MODULE:NAME and a key name for the ALTER.
	bool engine = false;
	std::string engineRoot;
	std::string keyHolder;
	std::string keyName;
	std::string job;  // set in a child started for one job (Windows)
};

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

Discovery discover(const Options& options);
// Every check without an engine, each in a process of its own; then, with
// --engine, the steps in a real one.
PluginReport checkPlugin(const Options& options, const Factory& factory);
// The lengths the engine passes: 16 and 48, then each page size minus its header.
std::vector<unsigned> engineLengths(const Options& options);

// The installed Firebird to use: `given`, else the first the install would
// find; empty, with the reason in `why`, when there is none.
std::string findEngineRoot(const std::string& given, std::string& why);
// Whether this build runs --engine at all (Linux), or reports its steps as SKIP.
bool engineModeBuilt();
// The steps in a real engine; the engine's version goes to `report`.
std::vector<Result> checkInEngine(const Options& options, const Factory& factory, PluginReport& report);
// The engine steps' names, in the order they run.
const std::vector<std::string>& engineSteps();

class Reporter;
// What a child process runs (Isolated.h): "discover", "check NAME INDEX",
// "throughput INDEX" or "engine DIR NAME" for the factory registered INDEX-th.
void runJob(const Options& options, const std::string& job, const Reporter& out);
// The engine steps, in the child (CheckEngine.cpp).
void engineJob(const Options& options, const std::string& dir, const std::string& plugin, const Reporter& out);

}  // namespace check
