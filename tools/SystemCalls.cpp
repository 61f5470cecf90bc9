#include "SystemCalls.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace check::sys
{

bool injected(const char* call)
{
#ifdef FBCRYPT_CHECK_FAULT_INJECTION
	const char* list = std::getenv("FBCRYPT_CHECK_INJECT");
	std::istringstream in(list ? list : "");
	for (std::string name; std::getline(in, name, ',');)
		if (name == call)
			return true;
#else
	(void)call;
#endif
	return false;
}

#ifdef _WIN32

std::string errorText(int code)
{
	char text[512] = "";
	FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code), 0,
				   text, sizeof text, nullptr);
	std::string out = text;
	while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
		out.pop_back();
	return (out.empty() ? "unknown error" : out) + " (error " + std::to_string(code) + ")";
}

void fail(const std::string& what)
{
	throw CannotRun(what + ": " + errorText(static_cast<int>(GetLastError())));
}

std::filesystem::path makeTemporaryFolder(const std::string& prefix)
{
	if (injected("mkdtemp"))
	{
		SetLastError(ERROR_ACCESS_DENIED);
		fail("cannot make a temporary folder in " + std::filesystem::temp_directory_path().string());
	}
	const std::filesystem::path base = std::filesystem::temp_directory_path();
	for (unsigned attempt = 0; attempt < 100; ++attempt)
	{
		const std::filesystem::path dir =
			base / (prefix + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount() + attempt));
		if (CreateDirectoryW(dir.wstring().c_str(), nullptr))
			return dir;
		if (GetLastError() != ERROR_ALREADY_EXISTS)
			break;
	}
	fail("cannot make a temporary folder in " + base.string());
}

#else

std::string errorText(int code)
{
	return std::strerror(code);
}

void fail(const std::string& what)
{
	throw CannotRun(what + ": " + errorText(errno));
}

std::filesystem::path makeTemporaryFolder(const std::string& prefix)
{
	std::error_code ec;
	std::filesystem::path base = std::filesystem::temp_directory_path(ec);  // TMPDIR, else /tmp
	if (ec)
	{
		const char* tmpdir = std::getenv("TMPDIR");
		throw CannotRun(std::string("no temporary folder") + (tmpdir ? " (TMPDIR=" + std::string(tmpdir) + ")" : "") + ": " +
						ec.message());
	}
	std::string pattern = (base / (prefix + "XXXXXX")).string();
	if (injected("mkdtemp"))
		errno = EACCES;
	else if (mkdtemp(pattern.data()))
		return pattern;
	fail("cannot make a temporary folder in " + base.string());
}

#endif

}  // namespace check::sys
