#include "Isolated.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "SystemCalls.h"

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

// ---- The line format, both sides, every platform ---------------------------

const std::string& ReportLine::field(std::size_t i) const
{
	static const std::string none;
	return i < fields.size() ? fields[i] : none;
}

namespace
{

void escapeInto(std::string& out, const std::string& text)
{
	for (char c : text)
		switch (c)
		{
		case '\\':
			out += "\\\\";
			break;
		case '\t':
			out += "\\t";
			break;
		case '\n':
			out += "\\n";
			break;
		case '\r':
			out += "\\r";
			break;
		default:
			out += c;
		}
}

}  // namespace

std::string encodeLine(const ReportLine& line)
{
	std::string out;
	escapeInto(out, line.kind);
	for (const std::string& f : line.fields)
	{
		out += '\t';
		escapeInto(out, f);
	}
	return out;
}

ReportLine decodeLine(const std::string& text)
{
	std::vector<std::string> parts(1);
	for (std::size_t i = 0; i < text.size(); ++i)
	{
		const char c = text[i];
		if (c == '\t')
			parts.emplace_back();
		else if (c == '\\' && i + 1 < text.size())
		{
			const char e = text[++i];
			parts.back() += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
		}
		else
			parts.back() += c;
	}
	ReportLine line{parts.front(), {}};
	line.fields.assign(parts.begin() + 1, parts.end());
	return line;
}

const ReportLine* ChildOutcome::first(const std::string& kind) const
{
	for (const ReportLine& l : lines)
		if (l.kind == kind)
			return &l;
	return nullptr;
}

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
		activeReporter->send("escaped", {what});
	_exit(70);
}

void take(ChildOutcome& outcome, const std::string& text)
{
	ReportLine line = decodeLine(text);
	if (line.kind == "op")
		outcome.lastCall = line.field(0);
	else if (line.kind == "escaped")
		outcome.escaped = line.field(0);
	else
		outcome.lines.push_back(std::move(line));
}

void takeAll(ChildOutcome& outcome, std::string& pending)
{
	for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos; pending.erase(0, eol + 1))
		take(outcome, pending.substr(0, eol));
}

std::string lateDeath(std::chrono::milliseconds limit)
{
	return "did not finish within " + std::to_string((limit.count() + 999) / 1000) + " s and was killed";
}

std::string quietDeath(std::chrono::milliseconds quiet)
{
	return "made no progress for " + std::to_string((quiet.count() + 999) / 1000) + " s and was killed";
}

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start)
{
	return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

void Reporter::send(const std::string& kind, const std::vector<std::string>& fields) const
{
	const std::string out = encodeLine({kind, fields}) + "\n";
	for (std::size_t done = 0; done < out.size();)
	{
		const auto n = write(fd_, out.data() + done, static_cast<unsigned>(out.size() - done));
		if (n <= 0)
			return;
		done += static_cast<std::size_t>(n);
	}
}

void runChild(const Options& options, const ReportLine& job, int fd)
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
		reporter.send("escaped", {e.what()});
		_exit(71);
	}
	catch (...)
	{
		reporter.send("escaped", {"an exception of unknown type"});
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

// A file's bytes; the file is deleted.
std::string readAndRemove(const std::filesystem::path& path)
{
	std::string text;
	if (FILE* f = _wfopen(path.wstring().c_str(), L"rb"))
	{
		char buffer[4096];
		for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
			text.append(buffer, n);
		std::fclose(f);
	}
	DeleteFileW(path.wstring().c_str());
	return text;
}

// CreateProcess, tried again (three times in all) when the child died while
// starting. Under Wine a new process now and then ends before it has run any
// code of its own, and CreateProcess then fails with ERROR_INTERNAL_ERROR
// (seen once in 22 runs of the checker's tests under Wine on a loaded
// machine, with one Wine server for the whole run); nothing of the job has
// run then, so starting it again is safe.
bool startChild(std::wstring& line, STARTUPINFOW& start, HANDLE errFile, PROCESS_INFORMATION& child)
{
	for (int attempt = 1;; ++attempt)
	{
		if (sys::injected("CreateProcess"))
			SetLastError(ERROR_INTERNAL_ERROR);
		else if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
								&child))
			return true;
		const DWORD why = GetLastError();
		if (why != ERROR_INTERNAL_ERROR || attempt == 3)
			return false;
		SetFilePointer(errFile, 0, nullptr, FILE_BEGIN);  // what the dead child said goes
		SetEndOfFile(errFile);
		Sleep(100 * attempt);
	}
}

// Handles closed however the function that owns them leaves.
struct Handle
{
	HANDLE h = nullptr;
	~Handle()
	{
		if (h && h != INVALID_HANDLE_VALUE)
			CloseHandle(h);
	}
	void close()
	{
		if (h && h != INVALID_HANDLE_VALUE)
			CloseHandle(h);
		h = nullptr;
	}
};

}  // namespace

void rememberCommandLine(int, char**)
{
	commandLine = GetCommandLineW();
}

void runChildOnStdout(const Options& options, const std::string& job)
{
	_setmode(_fileno(stdout), _O_BINARY);  // the report's lines end in \n alone
	runChild(options, decodeLine(job), _fileno(stdout));
}

ChildOutcome runIsolated(const Options&, const ReportLine& job, std::chrono::milliseconds limit,
						 std::chrono::milliseconds quiet)
{
	SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
	Handle readEnd, writeEnd;
	if (sys::injected("CreatePipe"))
	{
		SetLastError(ERROR_NOT_ENOUGH_MEMORY);
		sys::fail("cannot make a pipe to a child process (CreatePipe)");
	}
	if (!CreatePipe(&readEnd.h, &writeEnd.h, &inherit, 0))
		sys::fail("cannot make a pipe to a child process (CreatePipe)");
	SetHandleInformation(readEnd.h, HANDLE_FLAG_INHERIT, 0);
	// The child's standard error goes to a file of its own, read after it ends.
	const std::filesystem::path errPath =
		std::filesystem::temp_directory_path() /
		("fbcrypt-check-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()) + ".err");
	Handle errFile;
	errFile.h = CreateFileW(errPath.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, &inherit,
							CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
	if (errFile.h == INVALID_HANDLE_VALUE)
		sys::fail("cannot make " + errPath.string());

	STARTUPINFOW start = {};
	start.cb = sizeof start;
	start.dwFlags = STARTF_USESTDHANDLES;
	start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
	start.hStdOutput = writeEnd.h;
	start.hStdError = errFile.h;
	std::wstring line = commandLine + L" --job " + quoted(widened(encodeLine(job)));
	PROCESS_INFORMATION child = {};
	const auto started = Clock::now();
	if (!startChild(line, start, errFile.h, child))
	{
		// What a child that died while starting wrote, for the message.
		const DWORD why = GetLastError();
		errFile.close();
		const std::string said = readAndRemove(errPath);
		SetLastError(why);
		sys::fail("cannot start a child process (CreateProcess)" + (said.empty() ? "" : " [" + said + "]"));
	}
	Handle process{child.hProcess};
	CloseHandle(child.hThread);
	writeEnd.close();
	errFile.close();

	// A thread reads the report; the parent waits for the child, bounded.
	ChildOutcome outcome;
	std::string pending;
	struct Reading
	{
		HANDLE pipe;
		std::string* pending;
		CRITICAL_SECTION lock;
		ULONGLONG heard;  // GetTickCount64 of the last bytes read
	} reading{readEnd.h, &pending, {}, GetTickCount64()};
	InitializeCriticalSection(&reading.lock);
	Handle reader;
	reader.h = CreateThread(
		nullptr, 0,
		[](void* p) -> DWORD
		{
			auto* r = static_cast<Reading*>(p);
			char buffer[4096];
			DWORD n = 0;
			while (ReadFile(r->pipe, buffer, sizeof buffer, &n, nullptr) && n)
			{
				EnterCriticalSection(&r->lock);
				r->pending->append(buffer, n);
				r->heard = GetTickCount64();
				LeaveCriticalSection(&r->lock);
			}
			return 0;
		},
		&reading, 0, nullptr);
	if (!reader.h)
	{
		TerminateProcess(process.h, 1);
		sys::fail("cannot start a thread to read a child process");
	}
	// Waited in slices, so that a child that has gone quiet is seen.
	const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(limit.count());
	bool late = false, silent = false;
	while (WaitForSingleObject(process.h, 200) == WAIT_TIMEOUT)
	{
		EnterCriticalSection(&reading.lock);
		const ULONGLONG heard = reading.heard;
		LeaveCriticalSection(&reading.lock);
		const ULONGLONG now = GetTickCount64();
		late = now >= deadline;
		silent = quiet != std::chrono::milliseconds::max() && now >= heard + static_cast<ULONGLONG>(quiet.count());
		if (late || silent)
		{
			TerminateProcess(process.h, 1);
			WaitForSingleObject(process.h, INFINITE);
			break;
		}
	}
	WaitForSingleObject(reader.h, INFINITE);
	DeleteCriticalSection(&reading.lock);
	DWORD code = 0;
	GetExitCodeProcess(process.h, &code);
	outcome.seconds = since(started);
	takeAll(outcome, pending);

	const std::string stderrText = readAndRemove(errPath);
	std::fwrite(stderrText.data(), 1, stderrText.size(), stderr);  // as a forked child's would appear

	if (late)
		outcome.death = lateDeath(limit);
	else if (silent)
		outcome.death = quietDeath(quiet);
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
	runChild(options, decodeLine(job), STDOUT_FILENO);
}

ChildOutcome runIsolated(const Options& options, const ReportLine& job, std::chrono::milliseconds limit,
						 std::chrono::milliseconds quiet)
{
	int fds[2];
	if (sys::injected("pipe"))
		errno = EMFILE;
	if (sys::injected("pipe") || pipe(fds) != 0)
		sys::fail("cannot make a pipe to a child process (pipe)");
	const auto started = Clock::now();
	pid_t pid = -1;
	if (sys::injected("fork"))
		errno = EAGAIN;
	else
		pid = fork();
	if (pid < 0)
	{
		const int why = errno;
		close(fds[0]);
		close(fds[1]);
		errno = why;
		sys::fail("cannot start a child process (fork)");
	}
	if (pid == 0)
	{
		close(fds[0]);
		runChild(options, job, fds[1]);
	}

	close(fds[1]);
	ChildOutcome outcome;
	std::string pending;
	char buffer[4096];
	const auto deadline = started + limit;
	auto heard = started;
	bool late = false, silent = false;
	for (;;)
	{
		// poll counts whole milliseconds and may wake a little early: which
		// bound was reached is judged by the clock, and a wake before either
		// one polls again.
		const auto now = Clock::now();
		late = now >= deadline;
		silent = !late && quiet != std::chrono::milliseconds::max() && now >= heard + quiet;
		if (late || silent)
		{
			kill(pid, SIGKILL);
			break;
		}
		auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
		if (quiet != std::chrono::milliseconds::max())
			left = std::min(left, std::chrono::ceil<std::chrono::milliseconds>(heard + quiet - now));
		pollfd ready = {fds[0], POLLIN, 0};
		const int polled = poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
		if (polled < 0 && errno == EINTR)
			continue;
		if (polled == 0)
			continue;
		heard = Clock::now();
		const ssize_t n = polled < 0 ? -1 : read(fds[0], buffer, sizeof buffer);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
		{
			const int why = errno;
			kill(pid, SIGKILL);
			waitpid(pid, nullptr, 0);
			close(fds[0]);
			errno = why;
			sys::fail("cannot read from a child process");
		}
		if (n == 0)
			break;
		pending.append(buffer, static_cast<std::size_t>(n));
		takeAll(outcome, pending);
	}
	close(fds[0]);

	int status = 0;
	pid_t waited;
	if (sys::injected("waitpid"))
	{
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
		errno = ECHILD;
		waited = -1;
	}
	else
		while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR)
		{
		}
	if (waited < 0)
		sys::fail("cannot learn how a child process ended (waitpid)");
	outcome.seconds = since(started);
	if (late)
		outcome.death = lateDeath(limit);
	else if (silent)
		outcome.death = quietDeath(quiet);
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
