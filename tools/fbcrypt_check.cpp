// fbcrypt-check: drives a Firebird database crypt plug-in module the way the
// engine does, without an engine, and says what it does wrong.
//
//   fbcrypt-check MODULE [--plugin NAME] [--identity | --encrypting] [--strict-status]
//                 [--threads N] [--page-size N ...] [--json] [--junit FILE]
//                 [--engine [FIREBIRD_ROOT] [--key-holder MODULE:NAME] [--key NAME]]
//
// Exit status: 0 when no check failed (warnings allowed), 1 when one did, 2
// for a bad command line, a module that cannot be driven at all, or a
// Firebird root named with --engine that cannot be used.
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "Checks.h"
#include "Isolated.h"

namespace
{

using namespace check;

constexpr unsigned dbCryptType = 9;  // IPluginManager::TYPE_DB_CRYPT

const char* usageText =
	"usage: fbcrypt-check MODULE [--plugin NAME] [--identity | --encrypting] [--strict-status]\n"
	"                     [--threads N] [--page-size N ...] [--json] [--junit FILE]\n"
	"                     [--engine [FIREBIRD_ROOT] [--key-holder MODULE:NAME] [--key NAME]]\n"
	"  MODULE          the plug-in module file (a shared library exporting firebird_plugin)\n"
	"  --plugin NAME   check only the database crypt factory registered as NAME\n"
	"  --identity      velkor's contract: encrypt(x) == x, and --strict-status\n"
	"  --encrypting    also require encrypt to change the bytes (a plug-in that really encrypts)\n"
	"  --strict-status fail, not warn, when a call leaves a status handed in dirty as it was\n"
	"  --threads N     threads sharing one instance (default: cores x 2)\n"
	"  --page-size N   page sizes whose bodies (N - 16 bytes) are transformed; repeatable,\n"
	"                  several may follow one flag (default: 4096 8192 16384 32768)\n"
	"  --json          print the report as JSON\n"
	"  --junit FILE    also write the report as JUnit XML (one testcase per check)\n"
	"  --engine [ROOT] also run the module in a real Firebird: the embedded engine of the one\n"
	"                  installed at ROOT (default: the first of /usr/lib/<arch>/firebird/4.0,\n"
	"                  .../3.0, /opt/firebird), in a private temporary root\n"
	"  --key-holder MODULE:NAME  with --engine: the key holder plug-in to configure\n"
	"  --key NAME      with --engine: the key name for ALTER DATABASE ENCRYPT ... KEY\n";

[[noreturn]] void usage(const std::string& why)
{
	std::cerr << "fbcrypt-check: " << why << "\n" << usageText;
	std::exit(2);
}

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

Options parse(int argc, char** argv)
{
	Options o;
	for (int i = 1; i < argc; ++i)
	{
		std::string a = argv[i];
		auto value = [&]() -> const char*
		{
			if (i + 1 >= argc)
				usage(a + " needs a value");
			return argv[++i];
		};
		if (a == "--help" || a == "-h")
		{
			std::cout << usageText;
			std::exit(0);
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
			// An optional root: a folder that follows the flag.
			if (i + 1 < argc && argv[i + 1][0] != '-' && std::filesystem::is_directory(argv[i + 1]))
				o.engineRoot = argv[++i];
		}
		else if (a == "--key-holder")
		{
			o.keyHolder = value();
			const std::size_t colon = o.keyHolder.rfind(':');
			if (colon == std::string::npos || colon == 0 || colon + 1 == o.keyHolder.size())
				usage("--key-holder takes MODULE:NAME, not " + o.keyHolder);
		}
		else if (a == "--key")
			o.keyName = value();
		else if (a == "--job")  // internal: a child started for one job (Windows)
			o.job = value();
		else if (a == "--json")
			o.json = true;
		else if (a == "--junit")
			o.junit = value();
		else if (a == "--threads")
		{
			if (!parseCount(value(), 1024, o.threads))
				usage("--threads takes a whole number from 1 to 1024");
		}
		else if (a == "--page-size")
		{
			// One size at least; further bare numbers belong to it too.
			for (const char* v = value();; v = argv[++i])
			{
				unsigned size = 0;
				if (!parseCount(v, 65536, size) || size < 1024 || size % 1024)
					usage(std::string("--page-size takes multiples of 1024 from 1024 to 65536, not ") + v);
				o.pageSizes.push_back(size);
				if (i + 1 >= argc || !std::isdigit(static_cast<unsigned char>(argv[i + 1][0])))
					break;
			}
		}
		else if (!a.empty() && a[0] == '-')
			usage("unknown option " + a);
		else if (o.module.empty())
			o.module = a;
		else
			usage("one module at a time (" + o.module + ", then " + a + ")");
	}
	if (o.module.empty())
		usage("no module given");
	if (o.identity && o.encrypting)
		usage("--identity and --encrypting ask for opposite things");
	if (!o.engine && (!o.keyHolder.empty() || !o.keyName.empty()))
		usage("--key-holder and --key go with --engine");
	if (o.pageSizes.empty())
		o.pageSizes = {4096, 8192, 16384, 32768};
	if (!o.threads)
		o.threads = std::max(1u, std::thread::hardware_concurrency()) * 2;
	return o;
}

const char* word(Outcome o)
{
	return o == Outcome::pass ? "PASS" : o == Outcome::fail ? "FAIL" : o == Outcome::warn ? "WARN" : "SKIP";
}

// Counts of each outcome, in the enum's order.
using Counts = std::array<int, 4>;

std::string summary(const Counts& n)
{
	return std::to_string(n[int(Outcome::pass)]) + " PASS, " + std::to_string(n[int(Outcome::warn)]) + " WARN, " +
		   std::to_string(n[int(Outcome::fail)]) + " FAIL, " + std::to_string(n[int(Outcome::skip)]) + " SKIP";
}

std::string json(const std::string& s)
{
	std::string out = "\"";
	for (unsigned char c : s)
	{
		if (c == '"' || c == '\\')
			out += '\\', out += static_cast<char>(c);
		else if (c < 0x20)
		{
			char buf[8];
			std::snprintf(buf, sizeof buf, "\\u%04x", c);
			out += buf;
		}
		else
			out += static_cast<char>(c);
	}
	return out + "\"";
}

void printText(const Options& o, const Discovery& d, const std::vector<PluginReport>& reports)
{
	std::cout << "fbcrypt-check: " << o.module << "\nregistered, in order:\n";
	for (unsigned v : d.moduleVersions)
		std::cout << "  module object                          IPluginModule v" << v << "\n";
	for (const Factory& f : d.factories)
		std::cout << "  factory \"" << f.name << "\""
				  << std::string(f.name.size() < 12 ? 12 - f.name.size() : 1, ' ') << "type " << f.type
				  << (f.type == dbCryptType ? " (database crypt)" : "                 ")
				  << "  IPluginFactory v" << f.version << "\n";
	for (const PluginReport& r : reports)
	{
		std::cout << "\nplugin \"" << r.name << "\": instances are IDbCryptPlugin v" << r.instanceVersion
				  << "\n";
		std::cout << "  throughput, MB/s     encrypt (separate)   decrypt (in place)\n";
		for (const Throughput& t : r.throughput)
		{
			char line[96];
			std::snprintf(line, sizeof line, "  %7u bytes  %19.0f  %19.0f\n", t.length, t.encryptMBps,
						  t.decryptMBps);
			std::cout << line;
		}
		std::cout << "  checks:\n";
		for (const Result& c : r.results)
		{
			char head[48];
			std::snprintf(head, sizeof head, "    %s  %-16s ", word(c.outcome), c.check.c_str());
			std::cout << head << c.message << "\n";
		}
	}
}

void printJson(const Options& o, const Discovery& d, const std::vector<PluginReport>& reports, const Counts& n)
{
	std::ostringstream out;
	out << "{\"module\": " << json(o.module) << ", \"modules\": [";
	for (std::size_t i = 0; i < d.moduleVersions.size(); ++i)
		out << (i ? ", " : "") << "{\"IPluginModule\": " << d.moduleVersions[i] << "}";
	out << "], \"factories\": [";
	for (std::size_t i = 0; i < d.factories.size(); ++i)
		out << (i ? ", " : "") << "{\"type\": " << d.factories[i].type
			<< ", \"name\": " << json(d.factories[i].name)
			<< ", \"IPluginFactory\": " << d.factories[i].version << "}";
	out << "], \"plugins\": [";
	for (std::size_t i = 0; i < reports.size(); ++i)
	{
		const PluginReport& r = reports[i];
		out << (i ? ", " : "") << "{\"name\": " << json(r.name)
			<< ", \"IDbCryptPlugin\": " << r.instanceVersion << ", \"throughput\": [";
		for (std::size_t k = 0; k < r.throughput.size(); ++k)
			out << (k ? ", " : "") << "{\"length\": " << r.throughput[k].length
				<< ", \"encrypt_mb_s\": " << r.throughput[k].encryptMBps
				<< ", \"decrypt_in_place_mb_s\": " << r.throughput[k].decryptMBps << "}";
		out << "], \"checks\": [";
		for (std::size_t k = 0; k < r.results.size(); ++k)
			out << (k ? ", " : "") << "{\"check\": " << json(r.results[k].check)
				<< ", \"result\": " << json(word(r.results[k].outcome))
				<< ", \"message\": " << json(r.results[k].message) << "}";
		out << "]}";
	}
	out << "], \"pass\": " << n[int(Outcome::pass)] << ", \"warn\": " << n[int(Outcome::warn)]
		<< ", \"fail\": " << n[int(Outcome::fail)] << ", \"skip\": " << n[int(Outcome::skip)] << "}\n";
	std::cout << out.str();
}

std::string xml(const std::string& s)
{
	std::string out;
	for (unsigned char c : s)
	{
		if (c == '&')
			out += "&amp;";
		else if (c == '<')
			out += "&lt;";
		else if (c == '>')
			out += "&gt;";
		else if (c == '"')
			out += "&quot;";
		else if (c < 0x20 && c != '\t' && c != '\n')
			out += ' ';  // not allowed in XML 1.0
		else
			out += static_cast<char>(c);
	}
	return out;
}

// JUnit XML, as CI servers read it: a testsuite per plug-in, a testcase per
// check (classname the plug-in's name), a failure carrying the FAIL line,
// skipped for SKIP, a WARN line in system-out.
void writeJunit(const Options& o, const std::vector<PluginReport>& reports)
{
	std::ostringstream out;
	out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"fbcrypt-check\">\n";
	for (const PluginReport& r : reports)
	{
		Counts n{};
		for (const Result& c : r.results)
			++n[int(c.outcome)];
		out << "  <testsuite name=\"" << xml("fbcrypt-check " + r.name) << "\" tests=\"" << r.results.size()
			<< "\" failures=\"" << n[int(Outcome::fail)] << "\" errors=\"0\" skipped=\"" << n[int(Outcome::skip)]
			<< "\">\n    <properties>\n      <property name=\"module\" value=\"" << xml(o.module) << "\"/>\n"
			<< "      <property name=\"IDbCryptPlugin\" value=\"" << r.instanceVersion << "\"/>\n";
		if (!r.engineVersion.empty())
			out << "      <property name=\"engine\" value=\"" << xml("Firebird " + r.engineVersion) << "\"/>\n";
		out << "    </properties>\n";
		for (const Result& c : r.results)
		{
			const std::string line = std::string(word(c.outcome)) + "  " + c.check + "  " + c.message;
			out << "    <testcase classname=\"" << xml(r.name) << "\" name=\"" << xml(c.check) << "\"";
			if (c.outcome == Outcome::pass)
				out << "/>\n";
			else if (c.outcome == Outcome::fail)
				out << ">\n      <failure message=\"" << xml(c.message) << "\">" << xml(line) << "</failure>\n    </testcase>\n";
			else if (c.outcome == Outcome::skip)
				out << ">\n      <skipped message=\"" << xml(c.message) << "\"/>\n    </testcase>\n";
			else
				out << ">\n      <system-out>" << xml(line) << "</system-out>\n    </testcase>\n";
		}
		out << "  </testsuite>\n";
	}
	out << "</testsuites>\n";
	std::ofstream file(o.junit, std::ios::binary);
	file << out.str();
	if (!file.flush())
	{
		std::cerr << "fbcrypt-check: cannot write " << o.junit << "\n";
		std::exit(2);
	}
}

[[noreturn]] void cannotDrive(const Options& o, const std::string& why)
{
	if (o.json)
		std::cout << "{\"module\": " << json(o.module) << ", \"error\": " << json(why) << "}\n";
	std::cerr << "fbcrypt-check: " << o.module << ": " << why << "\n";
	std::exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
	rememberCommandLine(argc, argv);
	const Options o = parse(argc, argv);
	if (!o.job.empty())
		runChildOnStdout(o, o.job);
	if (o.engine && !o.engineRoot.empty() && engineModeBuilt())
	{
		std::string why;
		if (findEngineRoot(o.engineRoot, why).empty())
		{
			std::cerr << "fbcrypt-check: --engine " << o.engineRoot << ": " << why << "\n";
			return 2;
		}
	}
	const Discovery d = discover(o);
	if (!d.error.empty())
		cannotDrive(o, d.error);

	std::vector<Factory> chosen;
	std::string others;
	for (const Factory& f : d.factories)
	{
		if (f.type == dbCryptType && (o.plugin.empty() || f.name == o.plugin))
			chosen.push_back(f);
		others += (others.empty() ? "" : ", ") + ("\"" + f.name + "\" type " + std::to_string(f.type));
	}
	if (chosen.empty())
		cannotDrive(o,
					std::string("registers no database crypt factory (type 9)") +
						(o.plugin.empty() ? "" : " named \"" + o.plugin + "\"") +
						(others.empty() ? "; it registers no factory at all" : "; it registers " + others));

	std::vector<PluginReport> reports;
	Counts n{};
	for (const Factory& f : chosen)
	{
		reports.push_back(checkPlugin(o, f));
		for (const Result& r : reports.back().results)
			++n[int(r.outcome)];
	}
	if (o.json)
		printJson(o, d, reports, n);
	else
	{
		printText(o, d, reports);
		std::cout << "\nsummary: " << summary(n) << "\n";
	}
	if (!o.junit.empty())
		writeJunit(o, reports);
	return n[int(Outcome::fail)] ? 1 : 0;
}
