// The module in a real Firebird: the embedded engine of an installed
// Firebird, run from a private root of its own (its own firebird.conf,
// plugins.conf, lock and temp folders), through Firebird's client library
// loaded at run time. A small database is encrypted with the module,
// checked page by page and row by row, decrypted and checked again.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "Checks.h"
#include "EngineClient.h"
#include "Isolated.h"

namespace check
{

namespace fs = std::filesystem;

namespace
{

constexpr unsigned pageSize = 8192;
constexpr int rowCount = 5000, documentCount = 40;
constexpr auto cryptTimeout = std::chrono::seconds(120);
constexpr auto engineTimeout = std::chrono::seconds(300);  // the whole run

// What the engine writes in a page header and the database header page.
constexpr std::uint8_t pageEncrypted = 0x80;  // pag_flags
constexpr std::uint16_t headerEncrypted = 0x40;  // hdr_flags

// Where the header page keeps its flags, the crypt thread's position and the
// plug-in's name, by ODS: 12 is 3.0's, 13 is 4.0's and 5.0's, 14 is 6.0's.
struct HeaderLayout
{
	unsigned flags, cryptPage, plugin;
};
HeaderLayout headerLayout(unsigned ods)
{
	if (ods <= 12)
		return {42, 80, 88};
	if (ods == 13)
		return {42, 80, 84};
	return {22, 112, 116};
}
enum PageType : std::uint8_t
{
	dataPage = 5,
	indexPage = 7,
	blobPage = 8
};

// Where the install looks for a Firebird, newest first.
std::vector<std::string> defaultRoots()
{
	return {"/usr/lib/" VELKOR_LIBRARY_ARCH "/firebird/4.0", "/usr/lib/" VELKOR_LIBRARY_ARCH "/firebird/3.0",
			"/opt/firebird"};
}

// A Firebird root holds its engine among its plug-ins: libEngine12.so (3.0),
// 13 (4.0, 5.0), 14 (6.0), and so on.
bool isFirebirdRoot(const fs::path& root)
{
	std::error_code ec;
	for (const auto& entry : fs::directory_iterator(root / "plugins", ec))
	{
		const std::string name = entry.path().filename().string();
		if (name.size() > 12 && name.rfind("libEngine", 0) == 0 && name.compare(name.size() - 3, 3, ".so") == 0 &&
			name.find_first_not_of("0123456789", 9) == name.size() - 3)
			return true;
	}
	return false;
}

std::string readFile(const fs::path& path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream text;
	text << in.rdbuf();
	return text.str();
}

void writeFile(const fs::path& path, const std::string& text)
{
	std::ofstream out(path, std::ios::binary);
	out << text;
	if (!out)
		throw client::Error("cannot write " + path.string());
}

// A real file, never a link: the engine checks that a module's entry point
// comes from the file it asked for.
void copyReal(const fs::path& from, const fs::path& to)
{
	fs::copy_file(fs::canonical(from), to, fs::copy_options::overwrite_existing);
}

// The private root: copies of the installed root's configuration (settings
// of ours first, as the engine takes the first line that sets a key), its
// plug-ins and character sets, the module under test, and a database folder.
struct PrivateRoot
{
	fs::path dir, root, database;
	std::string plugin;

	PrivateRoot(const fs::path& dir, const fs::path& installed, const Options& o, const std::string& plugin)
		: dir(dir), root(dir / "root"), database(dir / "db" / "check.fdb"), plugin(plugin)
	{
		for (const char* sub : {"root/plugins", "root/intl", "db", "lock", "tmp"})
			fs::create_directories(dir / sub);
		std::string conf;
		std::string blocks = "\nPlugin = " + plugin + " {\n\tModule = " + (root / "plugins" / fs::path(o.module).filename()).string() + "\n}\n";
		copyReal(o.module, root / "plugins" / fs::path(o.module).filename());
		if (!o.keyHolder.empty())
		{
			const std::size_t colon = o.keyHolder.rfind(':');
			const fs::path holder = o.keyHolder.substr(0, colon);
			const std::string name = o.keyHolder.substr(colon + 1);
			copyReal(holder, root / "plugins" / holder.filename());
			blocks += "\nPlugin = " + name + " {\n\tModule = " + (root / "plugins" / holder.filename()).string() + "\n}\n";
			conf += "KeyHolderPlugin = " + name + "\n";
		}
		writeFile(root / "firebird.conf", conf + readFile(installed / "firebird.conf"));
		writeFile(root / "plugins.conf", readFile(installed / "plugins.conf") + blocks);
		if (fs::exists(installed / "service-port.conf"))
			copyReal(installed / "service-port.conf", root / "service-port.conf");
		if (fs::exists(installed / "firebird.msg"))  // Debian forky's 3.0 has none
			fs::create_symlink(fs::canonical(installed / "firebird.msg"), root / "firebird.msg");
		for (const char* sub : {"plugins", "intl"})
			for (const auto& entry : fs::directory_iterator(installed / sub))
			{
				const std::string name = entry.path().filename().string();
				if (entry.is_regular_file() && name.rfind("libfbSample", 0) != 0 && !fs::exists(root / sub / name))
					copyReal(entry.path(), root / sub / name);
			}
	}
};

// The header page's page size and crypt fields.
struct Header
{
	unsigned pageSize = 0;
	std::uint16_t flags = 0;
	std::uint32_t cryptPage = 0;
	std::string plugin;
};

Header parseHeader(const std::string& data)
{
	if (data.size() < 128)
		throw client::Error("the database file is too short");
	auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(std::uint8_t(data[at]) | std::uint8_t(data[at + 1]) << 8); };
	const HeaderLayout at = headerLayout(u16(18) & 0x7fff);
	Header h;
	h.pageSize = u16(16);
	h.flags = u16(at.flags);
	h.cryptPage = u16(at.cryptPage) | static_cast<std::uint32_t>(u16(at.cryptPage + 2)) << 16;
	h.plugin = std::string(data.c_str() + at.plugin, strnlen(data.c_str() + at.plugin, data.size() - at.plugin));
	return h;
}

// The header page alone, as the engine last wrote it (the crypt thread saves
// its position there as it goes).
Header readHeader(const fs::path& file)
{
	std::ifstream in(file, std::ios::binary);
	std::string data(1024, '\0');
	in.read(data.data(), static_cast<std::streamsize>(data.size()));
	data.resize(static_cast<std::size_t>(in.gcount()));
	return parseHeader(data);
}

// Every page of the database file as the engine left it, by page type:
// (pages with the engine's encrypted flag, all pages).
using PageCounts = std::map<std::uint8_t, std::pair<int, int>>;

PageCounts readPages(const fs::path& file)
{
	const std::string data = readFile(file);
	const unsigned size = parseHeader(data).pageSize;
	PageCounts c;
	for (std::size_t at = 0; size && at + size <= data.size(); at += size)
	{
		auto& [encrypted, all] = c[static_cast<std::uint8_t>(data[at])];
		++all;
		encrypted += (static_cast<std::uint8_t>(data[at + 1]) & pageEncrypted) != 0;
	}
	return c;
}

const char* typeName(std::uint8_t type)
{
	return type == dataPage ? "data" : type == indexPage ? "index" : "blob";
}

// What failed a step, in words for its FAIL line.
struct StepFailure : std::runtime_error
{
	using std::runtime_error::runtime_error;
};

class EngineRun
{
public:
	EngineRun(const Options& o, const PrivateRoot& root) : o_(o), root_(root) {}

	std::string start()
	{
		setenv("FIREBIRD", root_.root.c_str(), 1);
		setenv("FIREBIRD_LOCK", (root_.dir / "lock").c_str(), 1);
		setenv("FIREBIRD_TMP", (root_.dir / "tmp").c_str(), 1);
		library_ = std::make_unique<client::Library>(o_.engineRoot);
		client::Connection c(*library_, root_.database.string(), login_, true, pageSize);
		version_ = query1(c, "select rdb$get_context('SYSTEM', 'ENGINE_VERSION') from rdb$database");
		return "Firebird " + version_ + " (" + o_.engineRoot + "), embedded, private root " + root_.dir.string() +
			   ", client " + library_->path();
	}

	std::string populate()
	{
		client::Connection c(*library_, root_.database.string(), login_);
		c.execute("create table rows_t (id integer not null primary key, name varchar(60) not null, note varchar(200))");
		c.execute("create index rows_name on rows_t (name)");
		c.execute("create table docs (id integer not null primary key, body blob sub_type text)");
		c.execute("execute block as declare i integer = 0; begin while (i < " + std::to_string(rowCount) +
				  ") do begin insert into rows_t values (:i, " + rowName(":i") + ", " + rowNote(":i") +
				  "); i = i + 1; end end");
		c.execute("execute block as declare i integer = 0; begin while (i < " + std::to_string(documentCount) +
				  ") do begin insert into docs values (:i, " + document(":i") + "); i = i + 1; end end");
		return std::to_string(rowCount) + " rows with an index, " + std::to_string(documentCount) +
			   " text blobs of 20-26 KB, pages of " + std::to_string(pageSize) + " bytes";
	}

	std::string crypt(bool encrypt)
	{
		client::Connection c(*library_, root_.database.string(), login_);
		std::string alter = encrypt ? "alter database encrypt with \"" + root_.plugin + "\"" : "alter database decrypt";
		if (encrypt && !o_.keyName.empty())
			alter += " key \"" + o_.keyName + "\"";
		const std::int64_t pages = c.scalar("select mon$pages from mon$database");
		c.execute(alter);
		// The crypt thread runs while this attachment holds the database open.
		// Until it is done, this attachment reads no page through the engine:
		// the crypt state comes from the database information, the crypt
		// thread's position from the file's header page. (Firebird 4.0.5's
		// crypt thread releases the instance a reader may be decrypting a page
		// with as a decrypt run starts: a plug-in that frees its state then
		// fails there, and the fault is the engine's.)
		// A progress line only on a terminal: a CI log gets none.
		const bool progress = isatty(STDERR_FILENO);
		const auto start = std::chrono::steady_clock::now();
		for (;;)
		{
			const auto state = c.info({fb_info_crypt_state, isc_info_end});
			const std::int64_t flags = state.count(fb_info_crypt_state) ? client::infoInteger(state.at(fb_info_crypt_state)) : -1;
			const std::uint32_t page = readHeader(root_.database).cryptPage;
			if (progress)
				std::fprintf(stderr, "\r  engine: %s, page %u of %lld   ", encrypt ? "encrypting" : "decrypting", page,
							 static_cast<long long>(pages));
			if (flags >= 0 && !(flags & fb_info_crypt_process))
			{
				if (progress)
					std::fprintf(stderr, "\r%60s\r", "");
				if (((flags & fb_info_crypt_encrypted) != 0) != encrypt)
					throw StepFailure("the crypt thread ended with the database " +
									  std::string(encrypt ? "not encrypted" : "still encrypted"));
				break;
			}
			if (std::chrono::steady_clock::now() - start > cryptTimeout)
				throw StepFailure("the crypt thread was not done after " + std::to_string(cryptTimeout.count()) +
								  " s (at page " + std::to_string(page) + " of " + std::to_string(pages) + ")");
			std::this_thread::sleep_for(std::chrono::milliseconds(50));
		}
		const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
		char took[32];
		std::snprintf(took, sizeof took, "%.2f s", seconds);
		return std::string(encrypt ? "ALTER DATABASE ENCRYPT WITH \"" + root_.plugin + "\"" : "ALTER DATABASE DECRYPT") +
			   (encrypt && !o_.keyName.empty() ? " KEY \"" + o_.keyName + "\"" : "") + ": " + std::to_string(pages) +
			   " pages in " + took;
	}

	// The header and every page, read from the file once the engine has closed it.
	std::string header(bool encrypted)
	{
		const Header c = readHeader(root_.database);
		if (((c.flags & headerEncrypted) != 0) != encrypted)
			throw StepFailure(std::string("the header page says the database is ") +
							  (encrypted ? "not encrypted" : "encrypted"));
		if (c.cryptPage != 0)
			throw StepFailure("the header page still has a crypt position (page " + std::to_string(c.cryptPage) + ")");
		if (encrypted && c.plugin != root_.plugin)
			throw StepFailure("the header page names the plug-in \"" + c.plugin + "\", not \"" + root_.plugin + "\"");
		return encrypted ? "encrypted, plug-in \"" + c.plugin + "\", no crypt run pending" : "not encrypted, no crypt run pending";
	}

	std::string pages(bool encrypted)
	{
		const PageCounts c = readPages(root_.database);
		std::string seen;
		for (std::uint8_t type : {dataPage, indexPage, blobPage})
		{
			auto it = c.find(type);
			const auto [flagged, all] = it == c.end() ? std::pair<int, int>{0, 0} : it->second;
			if (all == 0)
				throw StepFailure(std::string("the database has no ") + typeName(type) + " pages to look at");
			const int wrong = encrypted ? all - flagged : flagged;
			if (wrong)
				throw StepFailure(std::to_string(wrong) + " of " + std::to_string(all) + " " + typeName(type) +
								  " pages " + (encrypted ? "lack" : "still carry") + " the engine's encrypted flag");
			seen += (seen.empty() ? "" : ", ") + std::to_string(all) + " " + typeName(type);
		}
		return std::string(encrypted ? "every" : "no") + " data, index and blob page carries the encrypted flag (" + seen + ")";
	}

	// Every row, through a fresh attachment: the pages come from the file
	// and through decrypt.
	std::string rows()
	{
		client::Connection c(*library_, root_.database.string(), login_);
		const std::vector<client::Connection::Row> got = c.query(
			"select (select count(*) from rows_t), "
			"(select count(*) from rows_t where name is distinct from " + rowName("id") + " or note is distinct from " + rowNote("id") + "), "
			"(select count(*) from rows_t where name = " + rowName(std::to_string(rowCount / 2)) + "), "
			"(select count(*) from docs), "
			"(select count(*) from docs where body is distinct from " + document("id") + ") from rdb$database");
		const std::vector<std::string> expected = {std::to_string(rowCount), "0", "1", std::to_string(documentCount), "0"};
		const char* names[] = {"rows", "rows not as written", "rows found by the index", "blobs", "blobs not as written"};
		for (std::size_t i = 0; i < expected.size(); ++i)
			if (got.empty() || got[0].size() <= i || got[0][i].value_or("null") != expected[i])
				throw StepFailure(std::string(names[i]) + ": " + (got.empty() ? "no answer" : got[0][i].value_or("null")) +
								  ", expected " + expected[i]);
		return "all " + std::to_string(rowCount) + " rows, the index and " + std::to_string(documentCount) +
			   " blobs as written";
	}

	const std::string& version() const { return version_; }

	void finish()
	{
		if (library_)
			library_->shutdown();
	}

private:
	static std::string rowName(const std::string& id) { return "'row ' || " + id; }
	static std::string rowNote(const std::string& id) { return "rpad('note ' || " + id + ", 150, '.')"; }
	static std::string document(const std::string& id)
	{
		return "rpad('document ' || " + id + ", 20000 + mod(" + id + ", 7) * 1000, 'abcdefgh0123456789')";
	}
	static std::string query1(client::Connection& c, const std::string& sql)
	{
		const auto rows = c.query(sql);
		return rows.empty() || rows[0].empty() ? "" : rows[0][0].value_or("");
	}

	const Options& o_;
	const PrivateRoot& root_;
	client::Login login_;
	std::unique_ptr<client::Library> library_;
	std::string version_;
};

}  // namespace

std::string findEngineRoot(const std::string& given, std::string& why)
{
	if (!given.empty())
	{
		if (isFirebirdRoot(given))
			return given;
		why = given + " is not a Firebird root (no engine, plugins/libEngineNN.so, in it)";
		return "";
	}
	for (const std::string& root : defaultRoots())
		if (isFirebirdRoot(root))
			return root;
	why = "no Firebird installed (looked in";
	for (const std::string& root : defaultRoots())
		why += " " + root;
	why += "); give its folder: --engine FIREBIRD_ROOT";
	return "";
}

void engineJob(const Options& o, const std::string& dir, const std::string& plugin, const Reporter& out)
{
	PrivateRoot root(dir, o.engineRoot, o, plugin);
	EngineRun engine(o, root);
	using Step = std::function<std::string()>;
	const std::vector<std::pair<std::string, Step>> steps = {
		{"engine", [&] { return engine.start(); }},
		{"engine-database", [&] { return engine.populate(); }},
		{"engine-encrypt", [&] { return engine.crypt(true); }},
		{"engine-header", [&] { return engine.header(true); }},
		{"engine-pages", [&] { return engine.pages(true); }},
		{"engine-rows", [&] { return engine.rows(); }},
		{"engine-decrypt", [&] { return engine.crypt(false); }},
		{"engine-decrypted", [&] { return engine.header(false) + "; " + engine.pages(false) + "; " + engine.rows(); }},
	};
	for (const auto& [name, step] : steps)
	{
		out.calling(name);
		try
		{
			out.line("step", name + "\tpass\t" + step());
			if (name == "engine")
				out.line("engine-version", engine.version());
		}
		catch (const std::exception& e)
		{
			out.line("step", name + "\tfail\t" + e.what());
			break;
		}
	}
	engine.finish();
}

bool engineModeBuilt()
{
	return true;
}

std::vector<Result> checkInEngine(const Options& o, const Factory& factory, PluginReport& report)
{
	std::vector<Result> results;
	std::string why;
	Options run = o;
	run.engineRoot = findEngineRoot(o.engineRoot, why);
	if (run.engineRoot.empty())
	{
		for (const std::string& step : engineSteps())
			results.push_back({step, Outcome::skip, step == "engine" ? why : "no engine"});
		return results;
	}

	char pattern[] = "/tmp/fbcrypt-check-XXXXXX";
	if (!mkdtemp(pattern))
		throw std::runtime_error("cannot make a temporary folder");
	const fs::path dir = pattern;
	ChildOutcome child = runIsolated(run, "engine " + dir.string() + " " + factory.name, engineTimeout);
	std::error_code ignored;
	fs::remove_all(dir, ignored);

	for (const auto& [kind, text] : child.lines)
		if (kind == "engine-version")
			report.engineVersion = text;
		else if (kind == "step")
		{
			std::istringstream in(text);
			std::string name, outcome, message;
			std::getline(in, name, '\t');
			std::getline(in, outcome, '\t');
			std::getline(in, message);
			results.push_back({name, outcome == "pass" ? Outcome::pass : Outcome::fail, message});
		}
	if (!child.finished)
	{
		// The engine's process died in the step after the last one reported.
		const std::string step = child.lastCall.empty() ? "engine" : child.lastCall;
		if (results.empty() || results.back().check != step)
			results.push_back({step, Outcome::fail,
							   "the engine's process " + child.death + " in " + step +
								   (child.escaped.empty() ? "" : ": an exception escaped: " + child.escaped)});
	}
	const std::string failed = !results.empty() && results.back().outcome == Outcome::fail ? results.back().check : "";
	for (std::size_t i = results.size(); i < engineSteps().size(); ++i)
		results.push_back({engineSteps()[i], Outcome::skip, "not run after " + failed + " failed"});
	return results;
}

}  // namespace check
