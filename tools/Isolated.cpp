#include "Isolated.h"

#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <stdexcept>

namespace check
{

namespace
{

const Reporter* activeReporter = nullptr;

// An exception that reaches a noexcept boundary inside the module ends the
// process through std::terminate: say what it was before dying.
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
		ssize_t n = write(fd_, out.data() + done, out.size() - done);
		if (n <= 0)
			return;
		done += static_cast<std::size_t>(n);
	}
}

ChildOutcome runIsolated(const std::function<void(const Reporter&)>& body, std::chrono::seconds limit)
{
	int fds[2];
	if (pipe(fds) != 0)
		throw std::runtime_error(std::string("pipe: ") + strerror(errno));
	pid_t pid = fork();
	if (pid < 0)
		throw std::runtime_error(std::string("fork: ") + strerror(errno));
	if (pid == 0)
	{
		close(fds[0]);
		Reporter reporter(fds[1]);
		activeReporter = &reporter;
		std::set_terminate(reportTermination);
		try
		{
			body(reporter);
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

	close(fds[1]);
	ChildOutcome outcome;
	std::string pending;
	char buffer[4096];
	const auto deadline = std::chrono::steady_clock::now() + limit;
	bool late = false;
	for (;;)
	{
		const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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
		ssize_t n = read(fds[0], buffer, sizeof buffer);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		pending.append(buffer, static_cast<std::size_t>(n));
		for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos; pending.erase(0, eol + 1))
		{
			std::string line = pending.substr(0, eol);
			std::size_t space = line.find(' ');
			std::string kind = line.substr(0, space);
			std::string text = space == std::string::npos ? "" : line.substr(space + 1);
			if (kind == "op")
				outcome.lastCall = text;
			else if (kind == "escaped")
				outcome.escaped = text;
			else
				outcome.lines.emplace_back(kind, text);
		}
	}
	close(fds[0]);

	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
	{
	}
	if (late)
		outcome.death = "did not finish within " + std::to_string(limit.count()) + " s and was killed";
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

}  // namespace check
