// The report of a run, as text, JSON or JUnit XML.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "Checks.h"

namespace check
{

// Counts of each outcome, in the enum's order.
using Counts = std::array<int, 4>;
Counts count(const std::vector<PluginReport>& reports);

void printText(const Options& o, const Discovery& d, const std::vector<PluginReport>& reports);
void printJson(const Options& o, const Discovery& d, const std::vector<PluginReport>& reports);
// One testsuite per plug-in, named for the module and the mode (stand-in
// options, or the engine's release); one testcase per check, with its time.
// Throws CannotRun when the file cannot be written.
void writeJunit(const Options& o, const std::vector<PluginReport>& reports);
std::string summary(const Counts& n);
// JSON's quoting of a string.
std::string json(const std::string& s);

}  // namespace check
