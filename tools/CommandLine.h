// fbcrypt-check's command line: the options into Options, and the answers
// that need no module (--help, --version, --list-checks, --new-plugin).
// A usage error is one line and "try --help", exit status 2.
#pragma once

#include "Options.h"

namespace check
{

// Parses argv; prints and exits for --help, --version, --list-checks,
// --new-plugin and usage errors.
Options parseCommandLine(int argc, char** argv);

// A usage error: one line, "try --help", exit status 2.
[[noreturn]] void usageError(const std::string& why);

}  // namespace check
