// Runs one piece of a check in a child process, so that a module that
// crashes, aborts, hangs or trips a sanitizer fails that check instead of
// taking the checker down. The child reports through a pipe, one line at a
// time. A piece is named by a job string (runJob in Checks.cpp runs it):
// POSIX forks and runs it in the child; Windows starts the checker again
// with the same options and --job JOB.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "Checks.h"

namespace check
{

// What the child side writes: "<kind> <text>" lines, newlines folded.
class Reporter
{
public:
	explicit Reporter(int fd) : fd_(fd) {}
	void line(const std::string& kind, const std::string& text) const;
	// Names the call about to be made, for the report if the child dies in it.
	void calling(const std::string& what) const { line("op", what); }

private:
	int fd_;
};

struct ChildOutcome
{
	std::vector<std::pair<std::string, std::string>> lines;  // kind, text
	std::string lastCall;                                    // the last "op" line
	std::string escaped;                                     // what an uncaught exception said
	bool finished = false;                                   // exited 0
	std::string death;                                       // how it ended otherwise, in words
};

// Runs `job` in a child; one that has not finished after `limit` is killed,
// and its outcome says so.
ChildOutcome runIsolated(const Options& options, const std::string& job,
						 std::chrono::seconds limit = std::chrono::seconds(300));

// The child's side: runs `job` (runJob) with its report on `fd`, then exits.
[[noreturn]] void runChild(const Options& options, const std::string& job, int fd);
// The same, reporting on standard output: a checker started with --job.
[[noreturn]] void runChildOnStdout(const Options& options, const std::string& job);

// The checker's own command line, which a Windows child is started with.
void rememberCommandLine(int argc, char** argv);

}  // namespace check
