#include "Report.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "SystemCalls.h"

namespace check
{

constexpr unsigned dbCryptType = 9;  // IPluginManager::TYPE_DB_CRYPT

Counts count(const std::vector<PluginReport>& reports)
{
	Counts n{};
	for (const PluginReport& r : reports)
		for (const Result& c : r.results)
			++n[int(c.outcome)];
	return n;
}

namespace
{

const char* word(Outcome o)
{
	return o == Outcome::pass ? "PASS" : o == Outcome::fail ? "FAIL" : o == Outcome::warn ? "WARN" : "SKIP";
}

}  // namespace

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

void printJson(const Options& o, const Discovery& d, const std::vector<PluginReport>& reports)
{
	const Counts n = count(reports);
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
		out << (i ? ", " : "") << "{\"name\": " << json(r.name) << ", \"IDbCryptPlugin\": " << r.instanceVersion
			<< ", \"engine\": " << json(r.engineVersion) << ", \"throughput\": [";
		for (std::size_t k = 0; k < r.throughput.size(); ++k)
			out << (k ? ", " : "") << "{\"length\": " << r.throughput[k].length
				<< ", \"encrypt_mb_s\": " << r.throughput[k].encryptMBps
				<< ", \"decrypt_in_place_mb_s\": " << r.throughput[k].decryptMBps << "}";
		out << "], \"checks\": [";
		for (std::size_t k = 0; k < r.results.size(); ++k)
			out << (k ? ", " : "") << "{\"check\": " << json(r.results[k].check)
				<< ", \"result\": " << json(word(r.results[k].outcome))
				<< ", \"message\": " << json(r.results[k].message) << ", \"seconds\": " << r.results[k].seconds << "}";
		out << "]}";
	}
	out << "], \"pass\": " << n[int(Outcome::pass)] << ", \"warn\": " << n[int(Outcome::warn)]
		<< ", \"fail\": " << n[int(Outcome::fail)] << ", \"skip\": " << n[int(Outcome::skip)] << "}\n";
	std::cout << out.str();
}

namespace
{

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

// The mode a suite ran in, for its name: the stand-in's options, or the engine.
std::string mode(const Options& o, const PluginReport& r)
{
	std::string m = o.identity ? "--identity" : o.encrypting ? "--encrypting" : "default";
	if (o.strictStatus && !o.identity)
		m += " --strict-status";
	if (o.engine)
		m += r.engineVersion.empty() ? ", --engine (no engine)" : ", Firebird " + r.engineVersion;
	return m;
}

std::string seconds(double s)
{
	char text[32];
	std::snprintf(text, sizeof text, "%.3f", s);
	return text;
}

}  // namespace

// JUnit XML, as CI servers read it: a testsuite per plug-in, named for the
// module and the mode, a testcase per check (classname the plug-in's name)
// with its time, a failure carrying the FAIL line, skipped for SKIP, a WARN
// line in system-out.
void writeJunit(const Options& o, const std::vector<PluginReport>& reports)
{
	std::ostringstream out;
	out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"fbcrypt-check\">\n";
	for (const PluginReport& r : reports)
	{
		Counts n{};
		double total = 0;
		for (const Result& c : r.results)
		{
			++n[int(c.outcome)];
			total += c.seconds;
		}
		const std::string suite = "fbcrypt-check " + r.name + " (" + std::filesystem::path(o.module).filename().string() +
								  ", " + mode(o, r) + ")";
		out << "  <testsuite name=\"" << xml(suite) << "\" tests=\"" << r.results.size() << "\" failures=\""
			<< n[int(Outcome::fail)] << "\" errors=\"0\" skipped=\"" << n[int(Outcome::skip)] << "\" time=\""
			<< seconds(total) << "\">\n    <properties>\n      <property name=\"module\" value=\"" << xml(o.module)
			<< "\"/>\n      <property name=\"mode\" value=\"" << xml(mode(o, r)) << "\"/>\n"
			<< "      <property name=\"IDbCryptPlugin\" value=\"" << r.instanceVersion << "\"/>\n";
		if (!r.engineVersion.empty())
			out << "      <property name=\"engine\" value=\"" << xml("Firebird " + r.engineVersion) << "\"/>\n";
		out << "    </properties>\n";
		for (const Result& c : r.results)
		{
			const std::string line = std::string(word(c.outcome)) + "  " + c.check + "  " + c.message;
			out << "    <testcase classname=\"" << xml(r.name) << "\" name=\"" << xml(c.check) << "\" time=\""
				<< seconds(c.seconds) << "\"";
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
		sys::fail("cannot write the JUnit report " + o.junit);
}

}  // namespace check
