#include "CommandLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "Checks.h"
#include "Template.h"
#include "Version.h"

namespace check
{

namespace
{

const char* helpText =
	"usage: fbcrypt-check MODULE [OPTION...]\n"
	"       fbcrypt-check --list-checks | --version | --help | --new-plugin NAME DIR\n"
	"Checks a Firebird database crypt plug-in module the way the engine drives one:\n"
	"with a stand-in for the engine, and with --engine in a real Firebird.\n"
	"  MODULE                   the plug-in module file (a shared library exporting firebird_plugin);\n"
	"                           a name without a folder is a file in the current folder\n"
	"  --plugin NAME            check only the database crypt factory registered as NAME\n"
	"  --identity               velkor's contract: encrypt(x) == x, and --strict-status\n"
	"  --encrypting             a plug-in that really encrypts: it must change the bytes, also\n"
	"                           when no key holder offers a key (or refuse to work without one)\n"
	"  --strict-status          fail, not warn, when a call leaves a status handed in dirty\n"
	"  --threads N              threads sharing one instance (default: cores x 2)\n"
	"  --page-size N...         page sizes whose bodies (N - 16 bytes) are transformed: 4096, 8192,\n"
	"                           16384 or 32768 (default: all four); repeatable\n"
	"  --only NAMES             run only these checks (comma-separated; --list-checks names them)\n"
	"  --skip NAMES             run every default check but these\n"
	"  --timeout SECONDS        the most the whole run may take (default 600)\n"
	"  --key-holder MODULE:NAME a key holder plug-in of yours, registered as NAME in MODULE: the\n"
	"                           stand-in hands it to setKey, and --engine configures it\n"
	"  --key NAME               the key name setKey gets (and ALTER DATABASE ENCRYPT ... KEY NAME)\n"
	"  --key-bytes N            the stand-in's key holders offer an N-byte key (default 16)\n"
	"  --key-hex HEX            ... or exactly these bytes\n"
	"  --plugin-config FILE     the plug-in's configuration: KEY = VALUE lines, as in a plugins.conf\n"
	"                           Config block; getDefaultConfig hands them to the plug-in\n"
	"  --config-entry KEY=VALUE one entry of the plug-in's configuration; repeatable\n"
	"  --key-holder-config FILE the key holder's configuration, in the same form\n"
	"  --engine [ROOT]          also run the module in a real Firebird: the embedded engine of the one\n"
	"                           installed at ROOT (default: the first of /usr/lib/<arch>/firebird/4.0,\n"
	"                           .../3.0, /opt/firebird), in a private temporary root\n"
	"  --engine-root ROOT       the same, with the root named\n"
	"  --json                   print the report as JSON\n"
	"  --junit FILE             also write the report as JUnit XML (one testcase per check)\n"
	"  --list-checks            list the checks: name, when it runs, what it checks\n"
	"  --new-plugin NAME DIR    make DIR a new plug-in project named NAME from the template\n"
	"  --version                the version and the commit it was built from\n"
	"  --help                   this text\n"
	"Exit status: 0 nothing failed, 1 a check failed, 2 could not run (a bad command line, a module\n"
	"or key holder that cannot be loaded, no Firebird root, a failing system call).\n";

bool parseCount(const char* text, unsigned long max, unsigned& out)
{
	char* end = nullptr;
	errno = 0;
	unsigned long v = std::strtoul(text, &end, 10);
	if (errno || end == text || *end || text[0] == '-' || v == 0 || v > max)
		return false;
	out = static_cast<unsigned>(v);
	return true;
}

// A file named without a folder is the one in the current folder, never one
// the loader would find on its search path.
std::string asPath(const std::string& name)
{
	if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos)
		return name;
	return "./" + name;
}

std::string trimmed(const std::string& s)
{
	const auto first = s.find_first_not_of(" \t\r");
	const auto last = s.find_last_not_of(" \t\r");
	return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

// KEY = VALUE, as a line of a plugins.conf Config block.
bool parseEntry(const std::string& line, Options::Entries& out)
{
	const std::size_t eq = line.find('=');
	if (eq == std::string::npos || trimmed(line.substr(0, eq)).empty())
		return false;
	out.emplace_back(trimmed(line.substr(0, eq)), trimmed(line.substr(eq + 1)));
	return true;
}

void readConfig(const std::string& path, Options::Entries& out)
{
	std::ifstream in(path);
	if (!in)
		usageError("cannot read " + path + ": " + std::strerror(errno));
	std::string line;
	for (int n = 1; std::getline(in, line); ++n)
	{
		const std::string text = trimmed(line.substr(0, line.find('#')));
		if (!text.empty() && !parseEntry(text, out))
			usageError(path + ":" + std::to_string(n) + ": not KEY = VALUE: " + text);
	}
}

std::vector<std::string> names(const std::string& list, const char* option)
{
	std::vector<std::string> out;
	std::istringstream in(list);
	for (std::string name; std::getline(in, name, ',');)
	{
		if (!isCheck(name))
			usageError(std::string(option) + ": no check named '" + name + "' (--list-checks names them)");
		out.push_back(name);
	}
	return out;
}

void listChecksAndExit()
{
	for (const CheckInfo& c : listChecks())
	{
		std::string head = std::string(c.name) + std::string(c.name == std::string() ? 0 : std::max<std::size_t>(1, 18 - std::strlen(c.name)), ' ') +
						   c.runs;
		head += std::string(std::max<std::size_t>(1, 32 - head.size()), ' ');
		std::cout << head << c.what << "\n";
	}
	std::exit(0);
}

}  // namespace

void usageError(const std::string& why)
{
	std::cerr << "fbcrypt-check: " << why << "; try --help\n";
	std::exit(2);
}

Options parseCommandLine(int argc, char** argv)
{
	Options o;
	for (int i = 1; i < argc; ++i)
	{
		const std::string a = argv[i];
		auto value = [&]() -> std::string
		{
			if (i + 1 >= argc)
				usageError(a + " needs a value");
			return argv[++i];
		};
		if (a == "--help" || a == "-h")
		{
			std::cout << helpText;
			std::exit(0);
		}
		else if (a == "--version")
		{
			std::cout << "fbcrypt-check " << version::number << " (" << version::commit << ")\n";
			std::exit(0);
		}
		else if (a == "--list-checks")
			listChecksAndExit();
		else if (a == "--new-plugin")
		{
			const std::string name = value(), dir = value();
			std::exit(newPlugin(name, dir));
		}
		else if (a == "--plugin")
			o.plugin = value();
		else if (a == "--identity")
			o.identity = o.strictStatus = true;
		else if (a == "--strict-status")
			o.strictStatus = true;
		else if (a == "--encrypting")
			o.encrypting = true;
		else if (a == "--engine")
		{
			o.engine = true;
			// An optional root: the next word, unless it is an option or a file (the module).
			if (i + 1 < argc && argv[i + 1][0] != '-' && !std::filesystem::is_regular_file(argv[i + 1]))
				o.engineRoot = argv[++i];
		}
		else if (a == "--engine-root")
		{
			o.engine = true;
			o.engineRoot = value();
		}
		else if (a == "--key-holder")
		{
			const std::string given = value();
			const std::size_t colon = given.rfind(':');
			if (colon == std::string::npos || colon == 0 || colon + 1 == given.size())
				usageError("--key-holder takes MODULE:NAME, not " + given);
			o.keyHolder = asPath(given.substr(0, colon)) + given.substr(colon);
		}
		else if (a == "--key")
			o.keyName = value();
		else if (a == "--key-bytes")
		{
			unsigned n = 0;
			if (!parseCount(value().c_str(), 1024, n))
				usageError("--key-bytes takes a whole number from 1 to 1024");
			o.keyBytes.clear();
			for (unsigned k = 0; k < n; ++k)
				o.keyBytes.push_back(static_cast<std::uint8_t>(0x66 + 31 * k));
		}
		else if (a == "--key-hex")
		{
			const std::string hex = value();
			if (hex.empty() || hex.size() % 2 || hex.size() > 2048 ||
				hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
				usageError("--key-hex takes an even number of hex digits (up to 1024 bytes), not " + hex);
			o.keyBytes.clear();
			for (std::size_t k = 0; k < hex.size(); k += 2)
				o.keyBytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(k, 2), nullptr, 16)));
		}
		else if (a == "--plugin-config")
			readConfig(value(), o.pluginConfig);
		else if (a == "--config-entry")
		{
			const std::string entry = value();
			if (!parseEntry(entry, o.pluginConfig))
				usageError("--config-entry takes KEY=VALUE, not " + entry);
		}
		else if (a == "--key-holder-config")
			readConfig(value(), o.keyHolderConfig);
		else if (a == "--only")
			for (const std::string& n : names(value(), "--only"))
				o.only.push_back(n);
		else if (a == "--skip")
			for (const std::string& n : names(value(), "--skip"))
				o.skip.push_back(n);
		else if (a == "--timeout")
		{
			if (!parseCount(value().c_str(), 86400, o.timeout))
				usageError("--timeout takes a whole number of seconds from 1 to 86400");
		}
		else if (a == "--job")  // internal: a child started for one job (Windows)
			o.job = value();
		else if (a == "--json")
			o.json = true;
		else if (a == "--junit")
			o.junit = value();
		else if (a == "--threads")
		{
			if (!parseCount(value().c_str(), 1024, o.threads))
				usageError("--threads takes a whole number from 1 to 1024");
		}
		else if (a == "--page-size")
		{
			// One size at least; further bare numbers belong to it too.
			for (std::string v = value();; v = argv[++i])
			{
				unsigned size = 0;
				if (!parseCount(v.c_str(), 32768, size) || size < 4096 || (size & (size - 1)))
					usageError("--page-size takes 4096, 8192, 16384 or 32768 (Firebird's page sizes), not " + v);
				o.pageSizes.push_back(size);
				if (i + 1 >= argc || !std::isdigit(static_cast<unsigned char>(argv[i + 1][0])))
					break;
			}
		}
		else if (!a.empty() && a[0] == '-')
			usageError("unknown option " + a);
		else if (o.module.empty())
			o.module = asPath(a);
		else
			usageError("one module at a time (" + o.module + ", then " + a + ")");
	}
	// The defaults, also for a child started for one job (Windows), which
	// reads the same command line.
	if (o.pageSizes.empty())
		o.pageSizes = {4096, 8192, 16384, 32768};
	if (!o.threads)
		o.threads = std::max(1u, std::thread::hardware_concurrency()) * 2;
	o.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeout);
	if (!o.job.empty())
		return o;
	if (o.module.empty())
		usageError("no module given");
	if (o.identity && o.encrypting)
		usageError("--identity and --encrypting ask for opposite things");
	if (!o.only.empty() && !o.skip.empty())
		usageError("--only and --skip do not go together");
	return o;
}

}  // namespace check
