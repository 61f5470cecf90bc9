#include "Checks.h"

#include <sstream>

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
	CheckFunction run;
};

// In the order of the report; the files they live in say what the engine does.
const Check checks[] = {
	{"create", checkCreate},
	{"references", checkReferences},
	{"config", checkConfig},
	{"owner", checkOwner},
	{"setInfo", checkSetInfo},
	{"key-holders", checkKeyHolders},
	{"call-order", checkCallOrder},
	{"dirty-status", checkDirtyStatus},
	{"exceptions", checkExceptions},
	{"round-trip", checkRoundTrip},
	{"buffers", checkBuffers},
	{"repeatable", checkRepeatable},
	{"identity", checkIdentity},
	{"encrypting", checkEncrypting},
	{"threads", checkThreads},
	{"sharing", checkSharing},
};

}  // namespace

std::vector<unsigned> engineLengths(const Options& options)
{
	std::vector<unsigned> lengths = {16, 48};
	for (unsigned size : options.pageSizes)
		lengths.push_back(size - pageHeader);
	return lengths;
}

namespace
{

// The module's registrations, as the engine's plug-in manager sees them.
void discoverJob(const Options& options, const Reporter& out)
{
	std::unique_ptr<host::LoadedModule> loaded;
	try
	{
		loaded = std::make_unique<host::LoadedModule>(options.module);
	}
	catch (const std::exception& e)
	{
		out.line("error", std::string("not a loadable module: ") + e.what());
		return;
	}
	if (!loaded->entryPoint())
	{
		out.line("error", "the module does not export firebird_plugin");
		return;
	}
	host::CallLog log;
	host::FakePluginManager manager(log);
	host::FakeMaster master(log, &manager);
	out.calling("firebird_plugin");
	loaded->entryPoint()(&master);
	for (Firebird::IPluginModule* m : manager.modules())
		out.line("module", std::to_string(host::interfaceVersion(m)));
	for (const host::Registration& r : manager.factories())
		out.line("factory", std::to_string(r.type) + " " + std::to_string(host::interfaceVersion(r.factory)) + " " +
								r.name);
}

void checkJob(const Options& options, const std::string& name, std::size_t index, const Reporter& out)
{
	for (const Check& c : checks)
		if (name == c.name)
		{
			Session session(options.module, index, out);
			try
			{
				out.line("pass", c.run(session, options));
			}
			catch (const Failure& f)
			{
				out.line("fail", f.what());
			}
			catch (const Warning& w)
			{
				out.line("warn", w.what());
			}
			catch (const Skipped& sk)
			{
				out.line("skip", sk.what());
			}
			return;
		}
	throw std::runtime_error("no check named " + name);
}

}  // namespace

const std::vector<std::string>& engineSteps()
{
	static const std::vector<std::string> steps = {"engine",       "engine-database", "engine-encrypt", "engine-header",
												   "engine-pages", "engine-rows",     "engine-decrypt", "engine-decrypted"};
	return steps;
}

void runJob(const Options& options, const std::string& job, const Reporter& out)
{
	std::istringstream in(job);
	std::string kind, name, dir;
	std::size_t index = 0;
	in >> kind;
	if (kind == "discover")
		discoverJob(options, out);
	else if (kind == "check" && in >> name >> index)
		checkJob(options, name, index, out);
	else if (kind == "throughput" && in >> index)
	{
		Session session(options.module, index, out);
		measureThroughput(session, options);
	}
	else if (kind == "engine" && in >> dir && in.ignore(1) && std::getline(in, name))
		engineJob(options, dir, name, out);
	else
		throw std::runtime_error("no such job: " + job);
}

Discovery discover(const Options& options)
{
	const ChildOutcome child = runIsolated(options, "discover");
	Discovery d;
	for (const auto& [kind, text] : child.lines)
	{
		std::istringstream in(text);
		if (kind == "error")
			d.error = text;
		else if (kind == "module")
			d.moduleVersions.push_back(static_cast<unsigned>(std::stoul(text)));
		else if (kind == "factory")
		{
			Factory f{};
			in >> f.type >> f.version;
			in.ignore(1);
			std::getline(in, f.name);
			f.index = d.factories.size();
			d.factories.push_back(f);
		}
	}
	if (!child.finished && d.error.empty())
		d.error = "the module " + child.death + " in " + child.lastCall +
				  (child.escaped.empty() ? "" : ": an exception escaped: " + child.escaped);
	return d;
}

PluginReport checkPlugin(const Options& options, const Factory& factory)
{
	PluginReport report;
	report.name = factory.name;
	const std::string index = " " + std::to_string(factory.index);
	for (const Check& c : checks)
	{
		const ChildOutcome child = runIsolated(options, std::string("check ") + c.name + index);
		Result r{c.name, Outcome::fail, ""};
		for (const auto& [kind, text] : child.lines)
		{
			if (kind == "pass" || kind == "fail" || kind == "skip" || kind == "warn")
			{
				r.outcome = kind == "pass"   ? Outcome::pass
							: kind == "skip" ? Outcome::skip
							: kind == "warn" ? Outcome::warn
											 : Outcome::fail;
				r.message = text;
			}
			else if (kind == "version")
				report.instanceVersion = static_cast<unsigned>(std::stoul(text));
		}
		if (!child.finished)
		{
			r.outcome = Outcome::fail;
			r.message = "the process " + child.death + " in " + child.lastCall +
						(child.escaped.empty() ? "" : ": an exception escaped: " + child.escaped) +
						(r.message.empty() ? "" : " (" + r.message + ")");
		}
		report.results.push_back(r);
	}

	if (options.engine)
		for (Result& r : checkInEngine(options, factory, report))
			report.results.push_back(std::move(r));

	for (const auto& [kind, text] : runIsolated(options, "throughput" + index).lines)
		if (kind == "throughput")
		{
			std::istringstream in(text);
			Throughput t{};
			in >> t.length >> t.encryptMBps >> t.decryptMBps;
			report.throughput.push_back(t);
		}
	return report;
}

}  // namespace check
