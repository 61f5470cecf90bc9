#include "Isolated.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace check
{

// ---- Both sides, every platform -------------------------------------------

namespace
{

const Reporter* activeReporter = nullptr;

// An exception that reaches a noexcept boundary inside the module ends the
// process through std::terminate: say what it was before dying. (A module
// with a C++ runtime of its own, as a statically linked DLL has, calls its
// own terminate; the parent then reads the runtime's own words.)
[[noreturn]] void reportTermination()
{
	std::string what = "an exception of unknown type";
	if (std::exception_ptr e = std::current_exception())
	{
		try
		{
			std::rethrow_exception(e);
		}
		catch (const std::exception& x)
		{
			what = x.what();
		}
		catch (...)
		{
		}
	}
	if (activeReporter)
		activeReporter->line("escaped", what);
	_exit(70);
}

// One line of the child's report into `outcome`.
void take(ChildOutcome& outcome, const std::string& line)
{
	const std::size_t space = line.find(' ');
	const std::string kind = line.substr(0, space);
	const std::string text = space == std::string::npos ? "" : line.substr(space + 1);
	if (kind == "op")
		outcome.lastCall = text;
	else if (kind == "escaped")
		outcome.escaped = text;
	else
		outcome.lines.emplace_back(kind, text);
}

void takeAll(ChildOutcome& outcome, std::string& pending)
{
	for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos; pending.erase(0, eol + 1))
		take(outcome, pending.substr(0, eol));
}

std::string lateDeath(std::chrono::seconds limit)
{
	return "did not finish within " + std::to_string(limit.count()) + " s and was killed";
}

}  // namespace

void Reporter::line(const std::string& kind, const std::string& text) const
{
	std::string out = kind + " " + text;
	for (char& c : out)
		if (c == '\n' || c == '\r')
			c = ' ';
	out += '\n';
	for (std::size_t done = 0; done < out.size();)
	{
		const auto n = write(fd_, out.data() + done, static_cast<unsigned>(out.size() - done));
		if (n <= 0)
			return;
		done += static_cast<std::size_t>(n);
	}
}

void runChild(const Options& options, const std::string& job, int fd)
{
	Reporter reporter(fd);
	activeReporter = &reporter;
	std::set_terminate(reportTermination);
	try
	{
		runJob(options, job, reporter);
	}
	catch (const std::exception& e)
	{
		reporter.line("escaped", e.what());
		_exit(71);
	}
	catch (...)
	{
		reporter.line("escaped", "an exception of unknown type");
		_exit(71);
	}
	_exit(0);
}

#ifdef _WIN32
// ---- Windows: the checker starts itself with --job JOB ---------------------

namespace
{

std::wstring commandLine;

// An argument quoted the way CommandLineToArgvW and the C runtime read it.
std::wstring quoted(const std::wstring& arg)
{
	std::wstring out = L"\"";
	std::size_t slashes = 0;
	for (wchar_t c : arg)
	{
		if (c == L'\\')
			++slashes;
		else
		{
			out.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
			slashes = 0;
		}
		out += c;
	}
	out.append(2 * slashes, L'\\');
	return out + L"\"";
}

std::wstring widened(const std::string& s)
{
	return std::wstring(s.begin(), s.end());
}

// How a child ended, in the words a POSIX signal gets.
std::string exitWords(DWORD code)
{
	char hex[16];
	std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
	switch (code)
	{
	case 0xC0000005:
		return std::string("crashed with an access violation (exception ") + hex + ")";
	case 0xC00000FD:
		return std::string("crashed with a stack overflow (exception ") + hex + ")";
	case 0xC0000409:
		return std::string("was stopped by a stack buffer overrun check (exception ") + hex + ")";
	case 3:
		return "aborted (exit code 3)";
	default:
		return code >= 0xC0000000 ? std::string("crashed with exception ") + hex
								  : "exited with status " + std::to_string(code);
	}
}

// libstdc++'s default terminate handler writes what() to stderr before it aborts.
std::string terminateMessage(const std::string& stderrText)
{
	const std::size_t at = stderrText.find("what():  ");
	if (at == std::string::npos)
		return stderrText.find("terminate called") != std::string::npos ? "an exception of unknown type" : "";
	const std::size_t from = at + 9;
	return stderrText.substr(from, stderrText.find_first_of("\r\n", from) - from);
}

}  // namespace

void rememberCommandLine(int, char**)
{
	commandLine = GetCommandLineW();
}

void runChildOnStdout(const Options& options, const std::string& job)
{
	_setmode(_fileno(stdout), _O_BINARY);  // the report's lines end in \n alone
	runChild(options, job, _fileno(stdout));
}

ChildOutcome runIsolated(const Options&, const std::string& job, std::chrono::seconds limit)
{
	SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
	HANDLE readEnd = nullptr, writeEnd = nullptr;
	if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
		throw std::runtime_error("CreatePipe failed");
	SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
	wchar_t tempDir[MAX_PATH], errPath[MAX_PATH];
	GetTempPathW(MAX_PATH, tempDir);
	GetTempFileNameW(tempDir, L"fbc", 0, errPath);
	HANDLE errFile = CreateFileW(errPath, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
								 FILE_ATTRIBUTE_TEMPORARY, nullptr);

	STARTUPINFOW start = {};
	start.cb = sizeof start;
	start.dwFlags = STARTF_USESTDHANDLES;
	start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
	start.hStdOutput = writeEnd;
	start.hStdError = errFile;
	std::wstring line = commandLine + L" --job " + quoted(widened(job));
	PROCESS_INFORMATION child = {};
	if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &child))
		throw std::runtime_error("CreateProcess failed: error " + std::to_string(GetLastError()));
	CloseHandle(writeEnd);
	CloseHandle(errFile);
	CloseHandle(child.hThread);

	// A thread reads the report; the parent waits for the child, bounded.
	ChildOutcome outcome;
	std::string pending;
	struct Reading
	{
		HANDLE pipe;
		std::string* pending;
	} reading{readEnd, &pending};
	HANDLE reader = CreateThread(
		nullptr, 0,
		[](void* p) -> DWORD
		{
			auto* r = static_cast<Reading*>(p);
			char buffer[4096];
			DWORD n = 0;
			while (ReadFile(r->pipe, buffer, sizeof buffer, &n, nullptr) && n)
				r->pending->append(buffer, n);
			return 0;
		},
		&reading, 0, nullptr);
	const bool late = WaitForSingleObject(child.hProcess, static_cast<DWORD>(limit.count() * 1000)) == WAIT_TIMEOUT;
	if (late)
	{
		TerminateProcess(child.hProcess, 1);
		WaitForSingleObject(child.hProcess, INFINITE);
	}
	WaitForSingleObject(reader, INFINITE);
	CloseHandle(reader);
	CloseHandle(readEnd);
	DWORD code = 0;
	GetExitCodeProcess(child.hProcess, &code);
	CloseHandle(child.hProcess);
	takeAll(outcome, pending);

	std::string stderrText;
	if (FILE* f = _wfopen(errPath, L"rb"))
	{
		char buffer[4096];
		for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
			stderrText.append(buffer, n);
		std::fclose(f);
	}
	DeleteFileW(errPath);
	std::fwrite(stderrText.data(), 1, stderrText.size(), stderr);  // as a forked child's would appear

	if (late)
		outcome.death = lateDeath(limit);
	else if (code == 0)
		outcome.finished = true;
	else
	{
		outcome.death = exitWords(code);
		if (outcome.escaped.empty())
			outcome.escaped = terminateMessage(stderrText);
	}
	return outcome;
}

#else
// ---- POSIX: fork, and the job runs in the child ---------------------------

void rememberCommandLine(int, char**) {}

void runChildOnStdout(const Options& options, const std::string& job)
{
	runChild(options, job, STDOUT_FILENO);
}

ChildOutcome runIsolated(const Options& options, const std::string& job, std::chrono::seconds limit)
{
	int fds[2];
	if (pipe(fds) != 0)
		throw std::runtime_error(std::string("pipe: ") + strerror(errno));
	const pid_t pid = fork();
	if (pid < 0)
		throw std::runtime_error(std::string("fork: ") + strerror(errno));
	if (pid == 0)
	{
		close(fds[0]);
		runChild(options, job, fds[1]);
	}

	close(fds[1]);
	ChildOutcome outcome;
	std::string pending;
	char buffer[4096];
	const auto deadline = std::chrono::steady_clock::now() + limit;
	bool late = false;
	for (;;)
	{
		const auto left =
			std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
		pollfd ready = {fds[0], POLLIN, 0};
		const int polled = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
		if (polled < 0 && errno == EINTR)
			continue;
		if (polled == 0)
		{
			late = true;
			kill(pid, SIGKILL);
			break;
		}
		const ssize_t n = read(fds[0], buffer, sizeof buffer);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		pending.append(buffer, static_cast<std::size_t>(n));
		takeAll(outcome, pending);
	}
	close(fds[0]);

	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
	{
	}
	if (late)
		outcome.death = lateDeath(limit);
	else if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
		outcome.finished = true;
	else if (WIFSIGNALED(status))
		outcome.death = std::string("killed by signal ") + std::to_string(WTERMSIG(status)) + " (" +
						strsignal(WTERMSIG(status)) + ")";
	else
		outcome.death = "exited with status " + std::to_string(WEXITSTATUS(status)) +
						(WEXITSTATUS(status) == 66 ? " (a sanitizer report is above)" : "");
	return outcome;
}

#endif

}  // namespace check
