// The system calls fbcrypt-check makes for itself (child processes, pipes,
// temporary folders), and what happens when one fails: CannotRun, which the
// checker reports in one line with the system's own words and exit status 2
// ("could not run"), never as a verdict on the plug-in.
//
// A build for the checker's own tests (FBCRYPT_CHECK_FAULT_INJECTION) fails
// the calls that FBCRYPT_CHECK_INJECT names (comma-separated: fork, pipe,
// waitpid, mkdtemp, CreateProcess, CreatePipe), as if the system had.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace check
{

struct CannotRun : std::runtime_error
{
	using std::runtime_error::runtime_error;
};

namespace sys
{

// Whether a test build was asked to fail `call`.
bool injected(const char* call);

// `what` failed with the system's last error (errno; GetLastError on Windows).
[[noreturn]] void fail(const std::string& what);
// The text of an error number (errno), or of a Windows error code.
std::string errorText(int code);

// A new folder for one run of the engine mode, under the temporary folder
// (TMPDIR, or the system's own).
std::filesystem::path makeTemporaryFolder(const std::string& prefix);

}  // namespace sys

}  // namespace check
