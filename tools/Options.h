// What fbcrypt-check was asked to do: its command line, parsed
// (CommandLine.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace check
{

struct Options
{
	std::string module;
	std::string plugin;  // empty: every database crypt factory
	bool identity = false;
	bool strictStatus = false;  // velkor's contract: every call cleans its status (--identity implies it)
	bool encrypting = false;
	unsigned threads = 0;
	std::vector<unsigned> pageSizes;
	std::vector<std::string> only, skip;  // checks chosen by name; empty: every one that runs by default
	unsigned timeout = 600;               // seconds the whole run may take
	bool json = false;
	std::string junit;  // a JUnit XML report to write, or empty

	// The key: a key holder plug-in of the author's (MODULE:NAME), the key
	// name given to setKey (and the ALTER), the bytes the stand-in's own
	// holders offer; and plugins.conf entries for the plug-in and the holder.
	std::string keyHolder;
	std::string keyName;
	std::vector<std::uint8_t> keyBytes;
	using Entries = std::vector<std::pair<std::string, std::string>>;
	Entries pluginConfig, keyHolderConfig;

	// In a real engine: the Firebird root (empty: found as the install finds one).
	bool engine = false;
	std::string engineRoot;

	std::string job;  // set in a child started for one job (Windows)
	// When the run must end (set from timeout as it starts).
	std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

}  // namespace check
