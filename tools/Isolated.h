// Runs one piece of a check in a child process, so that a module that
// crashes, aborts or trips a sanitizer fails that check instead of taking
// the checker down. The child reports through a pipe, one line at a time.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

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

// Runs `body` in a child process; one that has not finished after `limit`
// is killed, and its outcome says so.
ChildOutcome runIsolated(const std::function<void(const Reporter&)>& body,
						 std::chrono::seconds limit = std::chrono::seconds(300));

}  // namespace check
