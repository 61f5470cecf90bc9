// --engine where it was not built: the Windows checker runs every check
// without an engine, and reports the engine mode as skipped, with why.
#include "Checks.h"

namespace check
{

const std::vector<EngineStep>& engineSteps()
{
	static const std::vector<EngineStep> none;
	return none;
}

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
	return {{"engine", Outcome::skip, why}};
}

void engineJob(const Options&, const std::string&, const std::string&, const Reporter&) {}

}  // namespace check
