#include "Checks.h"

#include <algorithm>

#include "CallLog.h"
#include "FakeMaster.h"
#include "InterfaceVersion.h"
#include "Isolated.h"
#include "LoadedModule.h"
#include "Session.h"

namespace check
{

namespace
{

struct Check
{
	const char* name;
	const char* runs;  // "default", or the option that turns it on
	const char* what;
	std::vector<const char*> after;  // checks whose FAIL leaves nothing for this one to show
	CheckFunction run;
};

// In the order of the report; the files they live in say what the engine does.
const std::vector<Check>& checks()
{
	// Checks that ready instances as the engine does (setInfo, setKey) need
	// those calls to work.
#define READY "create", "exceptions", "setInfo", "key-holders"
	static const std::vector<Check> table = {
		{"create", "default", "createPlugin makes a new instance per call, with an IDbCryptPlugin dispatch table", {},
		 checkCreate},
		{"exceptions", "default", "no operation lets an exception out, or crashes, at any of the engine's lengths",
		 {"create"}, checkExceptions},
		{"references", "default", "one reference handed over; release keeps the instance while references remain",
		 {"create"}, checkReferences},
		{"config", "default", "the configuration's references are given back at the last release", {"create"},
		 checkConfig},
		{"owner", "default", "getOwner returns what setOwner gave; the owner's references are left alone", {"create"},
		 checkOwner},
		{"setInfo", "default", "setInfo with a database path succeeds", {"create", "exceptions"}, checkSetInfo},
		{"key-holders", "default", "setKey with no, one and three key holders; their references are given back",
		 {"create", "exceptions"}, checkKeyHolders},
		{"round-trip", "default", "pages round-trip: encrypt into a separate buffer, decrypt in place", {READY},
		 checkRoundTrip},
		{"call-order", "default", "pages round-trip after setInfo then setKey (and WARN: after setKey alone)",
		 {READY, "round-trip"}, checkCallOrder},
		{"dirty-status", "default", "a status handed in dirty is cleaned (WARN; FAIL with --strict-status)",
		 {READY, "round-trip"}, checkDirtyStatus},
		{"buffers", "default", "gbak -crypt's 256-byte chunks round-trip (and WARN: other pairings of buffers)",
		 {READY, "round-trip"}, checkBuffers},
		{"repeatable", "default", "the same bytes encrypt the same across calls and instances with the same key",
		 {READY, "round-trip"}, checkRepeatable},
		{"database-path", "default", "the output does not depend on the database's path (setInfo)",
		 {READY, "round-trip", "repeatable"}, checkDatabasePath},
		{"identity", "--identity", "encrypt(x) == x and decrypt(x) == x (velkor's contract)", {READY}, checkIdentity},
		{"encrypting", "--encrypting", "encrypt changes at least half of the bytes", {READY}, checkEncrypting},
		{"no-key", "--encrypting", "with no key offered, setKey or encrypt fails, or the bytes still change",
		 {"create", "exceptions", "setInfo", "encrypting"}, checkNoKey},
		{"threads", "default", "threads round-trip pages on one instance at once",
		 {READY, "references", "config", "round-trip", "repeatable"}, checkThreads},
		{"sharing", "default", "instances made and released meanwhile leave another's output alone",
		 {READY, "config", "round-trip", "repeatable"}, checkSharing},
	};
#undef READY
	return table;
}

bool chosen(const Options& o, const Check& c)
{
	const auto named = [&](const std::vector<std::string>& names)
	{ return std::find(names.begin(), names.end(), c.name) != names.end(); };
	if (!o.only.empty())
		return named(o.only);
	return !named(o.skip);
}

// The module's registrations, as the engine's plug-in manager sees them.
void discoverJob(const Options& options, const Reporter& out)
{
	std::unique_ptr<standin::LoadedModule> loaded;
	try
	{
		loaded = std::make_unique<standin::LoadedModule>(options.module);
	}
	catch (const std::exception& e)
	{
		out.send("error", {std::string("not a loadable module: ") + e.what()});
		return;
	}
	if (!loaded->entryPoint())
	{
		out.send("error", {"the module does not export firebird_plugin"});
		return;
	}
	standin::CallLog log;
	standin::FakePluginManager manager(log);
	standin::FakeMaster master(log, &manager);
	out.calling("firebird_plugin");
	loaded->entryPoint()(&master);
	for (Firebird::IPluginModule* m : manager.modules())
		out.send("module", {std::to_string(standin::interfaceVersion(m))});
	for (const standin::Registration& r : manager.factories())
		out.send("factory", {std::to_string(r.type), std::to_string(standin::interfaceVersion(r.factory)), r.name});
}

// The key holder module of --key-holder: loadable, and registering a key
// holder factory (type 10) under the name given.
void holderJob(const Options& options, const Reporter& out)
{
	const std::size_t colon = options.keyHolder.rfind(':');
	const std::string path = options.keyHolder.substr(0, colon), name = options.keyHolder.substr(colon + 1);
	std::unique_ptr<standin::LoadedModule> loaded;
	try
	{
		loaded = std::make_unique<standin::LoadedModule>(path);
	}
	catch (const std::exception& e)
	{
		out.send("error", {"--key-holder: not a loadable module: " + std::string(e.what())});
		return;
	}
	if (!loaded->entryPoint())
	{
		out.send("error", {"--key-holder: " + path + " does not export firebird_plugin"});
		return;
	}
	standin::CallLog log;
	standin::FakePluginManager manager(log);
	standin::FakeMaster master(log, &manager);
	out.calling("firebird_plugin of the key holder module");
	loaded->entryPoint()(&master);
	std::string others;
	for (const standin::Registration& r : manager.factories())
	{
		if (r.type == Firebird::IPluginManager::TYPE_KEY_HOLDER && r.name == name)
			return;
		others += (others.empty() ? "" : ", ") + ("\"" + r.name + "\" type " + std::to_string(r.type));
	}
	out.send("error", {"--key-holder: " + path + " registers no key holder (type 10) named \"" + name + "\"" +
						   (others.empty() ? "" : "; it registers " + others)});
}

void checkJob(const Options& options, const std::string& name, std::size_t index, const Reporter& out)
{
	for (const Check& c : checks())
		if (name == c.name)
		{
			Session session(options, index, out);
			try
			{
				out.send("pass", {c.run(session, options)});
			}
			catch (const Failure& f)
			{
				out.send("fail", {f.what()});
			}
			catch (const Warning& w)
			{
				out.send("warn", {w.what()});
			}
			catch (const Skipped& sk)
			{
				out.send("skip", {sk.what()});
			}
			return;
		}
	throw std::runtime_error("no check named " + name);
}

std::chrono::milliseconds timeLeft(const Options& o)
{
	const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(o.deadline - std::chrono::steady_clock::now());
	return std::max(left, std::chrono::milliseconds(0));
}

const char* outOfTime = "not run: the run's --timeout was reached";

}  // namespace

std::vector<CheckInfo> listChecks()
{
	std::vector<CheckInfo> out;
	for (const Check& c : checks())
		out.push_back({c.name, c.runs, c.what});
	for (const EngineStep& s : engineSteps())
		out.push_back({s.name, "--engine", s.what});
	return out;
}

bool isCheck(const std::string& name)
{
	return std::any_of(checks().begin(), checks().end(), [&](const Check& c) { return name == c.name; });
}

void runJob(const Options& options, const ReportLine& job, const Reporter& out)
{
	if (job.kind == "discover")
		discoverJob(options, out);
	else if (job.kind == "holder")
		holderJob(options, out);
	else if (job.kind == "check")
		checkJob(options, job.field(0), std::stoul(job.field(1)), out);
	else if (job.kind == "throughput")
	{
		Session session(options, std::stoul(job.field(0)), out);
		measureThroughput(session, options);
	}
	else if (job.kind == "engine")
		engineJob(options, job.field(0), job.field(1), out);
	else
		throw std::runtime_error("no such job: " + encodeLine(job));
}

Discovery discover(const Options& options)
{
	const ChildOutcome child = runIsolated(options, {"discover", {}}, timeLeft(options));
	Discovery d;
	for (const ReportLine& line : child.lines)
		if (line.kind == "error")
			d.error = line.field(0);
		else if (line.kind == "module")
			d.moduleVersions.push_back(static_cast<unsigned>(std::stoul(line.field(0))));
		else if (line.kind == "factory")
			d.factories.push_back({static_cast<unsigned>(std::stoul(line.field(0))), line.field(2),
								   static_cast<unsigned>(std::stoul(line.field(1))), d.factories.size()});
	if (!child.finished && d.error.empty())
		d.error = "the module " + child.death + " in " + child.lastCall +
				  (child.escaped.empty() ? "" : ": an exception escaped: " + child.escaped);
	return d;
}

std::string keyHolderProblem(const Options& options)
{
	if (options.keyHolder.empty())
		return "";
	const ChildOutcome child = runIsolated(options, {"holder", {}}, timeLeft(options));
	if (const ReportLine* error = child.first("error"))
		return error->field(0);
	if (!child.finished)
		return "--key-holder: the key holder module " + child.death + " in " + child.lastCall +
			   (child.escaped.empty() ? "" : ": an exception escaped: " + child.escaped);
	return "";
}

PluginReport checkPlugin(const Options& options, const Factory& factory)
{
	PluginReport report;
	report.name = factory.name;
	const std::string index = std::to_string(factory.index);
	for (const Check& c : checks())
	{
		if (!chosen(options, c))
			continue;
		Result r{c.name, Outcome::fail, ""};
		for (const char* before : c.after)
			for (const Result& earlier : report.results)
				if (earlier.check == before && earlier.outcome == Outcome::fail && r.message.empty())
					r = {c.name, Outcome::skip, std::string("after ") + before + " FAIL"};
		if (r.outcome == Outcome::skip)
		{
			report.results.push_back(r);
			continue;
		}
		if (timeLeft(options).count() == 0)
		{
			report.results.push_back({c.name, Outcome::skip, outOfTime});
			continue;
		}
		const ChildOutcome child = runIsolated(options, {"check", {c.name, index}}, timeLeft(options));
		r.seconds = child.seconds;
		std::string unemulated;
		for (const ReportLine& line : child.lines)
		{
			if (line.kind == "unemulated" && unemulated.empty())
				unemulated = line.field(0);
			else if (line.kind == "pass" || line.kind == "fail" || line.kind == "skip" || line.kind == "warn")
			{
				r.outcome = line.kind == "pass"   ? Outcome::pass
							: line.kind == "skip" ? Outcome::skip
							: line.kind == "warn" ? Outcome::warn
												  : Outcome::fail;
				r.message = line.field(0);
			}
			else if (line.kind == "version")
				report.instanceVersion = static_cast<unsigned>(std::stoul(line.field(0)));
		}
		if (!child.finished)
		{
			r.outcome = Outcome::fail;
			r.message = "the process " + child.death + " in " + child.lastCall +
						(child.escaped.empty() ? "" : ": an exception escaped: " + child.escaped) +
						(r.message.empty() ? "" : " (" + r.message + ")");
		}
		// What follows a call into what the stand-in does not play is not the plug-in's fault.
		if (!unemulated.empty())
			r = {c.name, Outcome::skip,
				 "fbcrypt-check does not emulate " + unemulated + ", which the plug-in called" +
					 (r.outcome == Outcome::pass ? "" : " (then: " + r.message + ")"),
				 r.seconds};
		report.results.push_back(r);
	}

	// With the run's time spent, the engine's steps are not run, not failed.
	if (options.engine && timeLeft(options).count() == 0)
		for (const EngineStep& s : engineSteps())
			report.results.push_back({s.name, Outcome::skip, outOfTime});
	else if (options.engine)
		for (Result& r : checkInEngine(options, factory, report))
			report.results.push_back(std::move(r));

	if (timeLeft(options).count() > 0)
		for (const ReportLine& line : runIsolated(options, {"throughput", {index}}, timeLeft(options)).lines)
			if (line.kind == "throughput")
				report.throughput.push_back({static_cast<unsigned>(std::stoul(line.field(0))), std::stod(line.field(1)),
											 std::stod(line.field(2))});
	return report;
}

}  // namespace check
