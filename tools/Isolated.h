// Runs one piece of a check in a child process, so that a module that
// crashes, aborts, hangs or trips a sanitizer fails that check instead of
// taking the checker down. The child reports through a pipe in one line
// format: a kind, then fields, separated by tabs, with tab, newline and
// backslash escaped. A piece is named by a job in the same format (runJob in
// Checks.cpp runs it): POSIX forks and runs it in the child; Windows starts
// the checker again with the same options and --job JOB.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "Options.h"

namespace check
{

struct ReportLine
{
	std::string kind;
	std::vector<std::string> fields;

	// Field `i`, or "" where the line has fewer.
	const std::string& field(std::size_t i) const;
};

// One line of the format, without its newline; and back.
std::string encodeLine(const ReportLine& line);
ReportLine decodeLine(const std::string& text);

// What the child side writes.
class Reporter
{
public:
	explicit Reporter(int fd) : fd_(fd) {}
	void send(const std::string& kind, const std::vector<std::string>& fields) const;
	// Names the call about to be made, for the report if the child dies in it.
	void calling(const std::string& what) const { send("op", {what}); }

private:
	int fd_;
};

struct ChildOutcome
{
	std::vector<ReportLine> lines;  // every line but "op" and "escaped"
	std::string lastCall;           // the last "op" line
	std::string escaped;            // what an uncaught exception said
	bool finished = false;          // exited 0
	std::string death;              // how it ended otherwise, in words
	double seconds = 0;             // how long it ran

	const ReportLine* first(const std::string& kind) const;
};

// Runs `job` in a child; one that has not finished after `limit`, or (when
// `quiet` is given) has said nothing for that long, is killed, and its
// outcome says so. Throws CannotRun (SystemCalls.h) when no child can be
// started or heard.
ChildOutcome runIsolated(const Options& options, const ReportLine& job, std::chrono::milliseconds limit,
						 std::chrono::milliseconds quiet = std::chrono::milliseconds::max());

// The child's side: runs `job` (runJob) with its report on `fd`, then exits.
[[noreturn]] void runChild(const Options& options, const ReportLine& job, int fd);
// The same, reporting on standard output: a checker started with --job.
[[noreturn]] void runChildOnStdout(const Options& options, const std::string& job);

// The checker's own command line, which a Windows child is started with.
void rememberCommandLine(int argc, char** argv);

// Runs a job in this process (Checks.cpp).
void runJob(const Options& options, const ReportLine& job, const Reporter& out);

}  // namespace check
