// fbcrypt-check: drives a Firebird database crypt plug-in module the way the
// engine does, without an engine or in a real one, and says what it does
// wrong. `fbcrypt-check --help` lists the options (CommandLine.cpp).
//
// Exit status: 0 when no check failed (warnings allowed), 1 when one did, 2
// when it could not run: a bad command line, a module or key holder that
// cannot be driven, a Firebird root named that is none, a system call that
// failed. Nothing ends it with an uncaught exception.
#include <exception>
#include <iostream>

#include "Checks.h"
#include "CommandLine.h"
#include "Isolated.h"
#include "Report.h"
#include "SystemCalls.h"

namespace
{

using namespace check;

constexpr unsigned dbCryptType = 9;  // IPluginManager::TYPE_DB_CRYPT

[[noreturn]] void cannotDrive(const Options& o, const std::string& why)
{
	if (o.json)
		std::cout << "{\"module\": " << json(o.module) << ", \"error\": " << json(why) << "}\n";
	std::cerr << "fbcrypt-check: " << o.module << ": " << why << "\n";
	std::exit(2);
}

int run(const Options& o)
{
	if (o.engine && !o.engineRoot.empty() && engineModeBuilt())
	{
		std::string why;
		if (findEngineRoot(o.engineRoot, why).empty())
		{
			std::cerr << "fbcrypt-check: --engine " << o.engineRoot << ": " << why << "\n";
			return 2;
		}
	}
	const Discovery d = discover(o);
	if (!d.error.empty())
		cannotDrive(o, d.error);
	const std::string holder = keyHolderProblem(o);
	if (!holder.empty())
		cannotDrive(o, holder);

	std::vector<Factory> chosen;
	std::string others;
	for (const Factory& f : d.factories)
	{
		if (f.type == dbCryptType && (o.plugin.empty() || f.name == o.plugin))
			chosen.push_back(f);
		others += (others.empty() ? "" : ", ") + ("\"" + f.name + "\" type " + std::to_string(f.type));
	}
	if (chosen.empty())
		cannotDrive(o, std::string("registers no database crypt factory (type 9)") +
						   (o.plugin.empty() ? "" : " named \"" + o.plugin + "\"") +
						   (others.empty() ? "; it registers no factory at all" : "; it registers " + others));

	std::vector<PluginReport> reports;
	for (const Factory& f : chosen)
		reports.push_back(checkPlugin(o, f));
	const Counts n = count(reports);
	if (o.json)
		printJson(o, d, reports);
	else
	{
		printText(o, d, reports);
		std::cout << "\nsummary: " << summary(n) << "\n";
	}
	if (!o.junit.empty())
		writeJunit(o, reports);
	return n[int(Outcome::fail)] ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
	try
	{
		rememberCommandLine(argc, argv);
		const Options o = parseCommandLine(argc, argv);
		if (!o.job.empty())
			runChildOnStdout(o, o.job);
		return run(o);
	}
	catch (const CannotRun& e)
	{
		std::cerr << "fbcrypt-check: " << e.what() << "\n";
	}
	catch (const std::exception& e)
	{
		std::cerr << "fbcrypt-check: could not run: " << e.what() << "\n";
	}
	return 2;
}
