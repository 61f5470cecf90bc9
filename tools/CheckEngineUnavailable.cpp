// --engine where it was not built: the Windows checker runs every check
// without an engine, and reports the engine steps as skipped, with why.
#include "Checks.h"

namespace check
{

std::string findEngineRoot(const std::string&, std::string& why)
{
	why = "--engine runs on Linux only: this build was never tried against a Windows Firebird";
	return "";
}

bool engineModeBuilt()
{
	return false;
}

std::vector<Result> checkInEngine(const Options& options, const Factory&, PluginReport&)
{
	std::string why;
	findEngineRoot(options.engineRoot, why);
	std::vector<Result> results;
	for (const std::string& step : engineSteps())
		results.push_back({step, Outcome::skip, results.empty() ? why : "no engine"});
	return results;
}

void engineJob(const Options&, const std::string&, const std::string&, const Reporter&) {}

}  // namespace check
