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
#include <regex>
#include <thread>

#include <unistd.h>

#include "Checks.h"
#include "EngineCatalogue.h"
#include "FbClient.h"
#include "Isolated.h"
#include "SystemCalls.h"

namespace check
{

namespace fs = std::filesystem;

namespace
{

constexpr unsigned pageSize = 8192;
constexpr int rowCount = 5000, documentCount = 40;
// A crypt run that does not move for this long has stalled: the crypt
// thread saves its position every 1,024 pages, and a database of this size
// is done in a second or two, in any release.
constexpr auto stallTime = std::chrono::seconds(20);

// What the engine writes in a page header and the database header page.
constexpr std::uint8_t pageEncrypted = 0x80;  // pag_flags
constexpr std::uint16_t headerEncrypted = 0x40;  // hdr_flags

// Where the header page keeps its flags, the crypt thread's position and the
// plug-in's name, by the major version of the on-disk structure.
const catalogue::HeaderLayout& headerLayout(unsigned ods)
{
	for (const catalogue::HeaderLayout& layout : catalogue::headerLayouts)
		if (layout.ods == ods)
			return layout;
	throw client::Error("the database has on-disk structure " + std::to_string(ods) +
						", which fbcrypt-check does not know (its engine catalogue has " +
						std::to_string(std::size(catalogue::headerLayouts)) + " others)");
}
enum PageType : std::uint8_t
{
	dataPage = 5,
	indexPage = 7,
	blobPage = 8
};

// The one rule for a Firebird root: its engine among its plug-ins.
bool isFirebirdRoot(const fs::path& root)
{
	const std::regex engine(catalogue::engineLibrary);
	std::error_code ec;
	for (const auto& entry : fs::directory_iterator(root / catalogue::rootPlugins, ec))
		if (std::regex_search(entry.path().filename().string(), engine))
			return true;
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

// The private root, made from the installed one by the catalogue's rules
// (fbrun/roots.py makes the test suite's by the same): its configuration with
// our settings first, as the engine takes the first line that sets a key; its
// message file and time zones linked; its plug-ins and character sets as real
// files; the module under test (and a key holder) with their plugins.conf blocks.
// A plugins.conf block for a module, and its configuration as a Config
// block of its own (what getDefaultConfig then hands the plug-in).
std::string pluginBlock(const std::string& name, const fs::path& module, const Options::Entries& entries)
{
	std::string block = "\nPlugin = " + name + " {\n\tModule = " + module.string() + "\n";
	if (entries.empty())
		return block + "}\n";
	block += "\tConfig = " + name + "_config\n}\nConfig = " + name + "_config {\n";
	for (const auto& [key, value] : entries)
		block += "\t" + key + " = " + value + "\n";
	return block + "}\n";
}

struct PrivateRoot
{
	fs::path dir, root, database;
	std::string plugin;

	PrivateRoot(const fs::path& dir, const fs::path& installed, const Options& o, const std::string& plugin)
		: dir(dir), root(dir / "root"), database(dir / "db" / "check.fdb"), plugin(plugin)
	{
		for (const char* sub : {"db", "lock", "tmp"})
			fs::create_directories(dir / sub);
		for (const char* sub : catalogue::privateRealFiles)
			fs::create_directories(root / sub);
		for (const char* name : catalogue::privateConfig)
			if (fs::exists(installed / name))
				copyReal(installed / name, root / name);
		for (const char* name : catalogue::privateLinks)
			if (fs::exists(installed / name))  // Debian forky's 3.0 has no firebird.msg
				fs::create_symlink(fs::canonical(installed / name), root / name);
		for (const char* name : catalogue::privateLinkedFolders)
			if (fs::is_directory(installed / name))
				fs::create_directory_symlink(fs::canonical(installed / name), root / name);
		const std::regex never(catalogue::neverCopy);
		for (const char* sub : catalogue::privateRealFiles)
			for (const auto& entry : fs::directory_iterator(installed / sub))
			{
				const std::string name = entry.path().filename().string();
				if (entry.is_regular_file() && !std::regex_search(name, never) && !fs::exists(root / sub / name))
					copyReal(entry.path(), root / sub / name);
			}
		for (const char* tree : catalogue::privateTrees)
			if (fs::is_directory(installed / tree))
				fs::copy(installed / tree, root / tree, fs::copy_options::recursive | fs::copy_options::copy_symlinks);

		std::string conf;
		copyReal(o.module, root / "plugins" / fs::path(o.module).filename());
		std::string blocks = pluginBlock(plugin, root / "plugins" / fs::path(o.module).filename(), o.pluginConfig);
		if (!o.keyHolder.empty())
		{
			const std::size_t colon = o.keyHolder.rfind(':');
			const fs::path holder = o.keyHolder.substr(0, colon);
			const std::string name = o.keyHolder.substr(colon + 1);
			copyReal(holder, root / "plugins" / holder.filename());
			blocks += pluginBlock(name, root / "plugins" / holder.filename(), o.keyHolderConfig);
			conf += "KeyHolderPlugin = " + name + "\n";
		}
		writeFile(root / "firebird.conf", conf + readFile(root / "firebird.conf"));
		writeFile(root / "plugins.conf", readFile(root / "plugins.conf") + blocks);
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
	const catalogue::HeaderLayout& at = headerLayout(u16(18) & 0x7fff);
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

// The key hash the engine keeps for the identity transform: base64 of the
// SHA-1 of "0123456789ABCDEF", which is what it hashes when encrypt changes nothing.
constexpr const char* identityKeyHash = "zifLFBCY/rAHFOdYZGvj6ZwYW3E=";

// What the engine's log says of crypting since `from` (its size then).
std::string loggedCrypt(const fs::path& root, std::uintmax_t from)
{
	std::string found;
	std::error_code ec;
	for (const auto& entry : fs::directory_iterator(root, ec))
		if (entry.path().extension() == ".log")
		{
			const std::string text = readFile(entry.path());
			std::istringstream in(text.size() > from ? text.substr(from) : "");
			for (std::string line; std::getline(in, line);)
				if (line.find("rypt") != std::string::npos && found.size() < 400)
					found += (found.empty() ? "" : " / ") + line.substr(line.find_first_not_of(" \t") == std::string::npos ? 0 : line.find_first_not_of(" \t"));
		}
	return found;
}

std::uintmax_t logSize(const fs::path& root)
{
	std::uintmax_t size = 0;
	std::error_code ec;
	for (const auto& entry : fs::directory_iterator(root, ec))
		if (entry.path().extension() == ".log")
			size += fs::file_size(entry.path(), ec);
	return size;
}

// What failed a step, in words for its FAIL line.
struct StepFailure : std::runtime_error
{
	using std::runtime_error::runtime_error;
};

class EngineRun
{
public:
	EngineRun(const Options& o, const PrivateRoot& root, const Reporter& out) : o_(o), root_(root), out_(out) {}

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
		}
		// The plain file, once the engine has closed it, for what encrypting changed (--encrypting).
		fs::copy_file(root_.database, plainCopy(), fs::copy_options::overwrite_existing);
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
		const std::uintmax_t logged = logSize(root_.root);
		auto moved = start, beat = start;
		std::uint32_t last = 0;
		for (;;)
		{
			const auto state = c.info({fb_info_crypt_state, isc_info_end});
			const std::int64_t flags = state.count(fb_info_crypt_state) ? client::infoInteger(state.at(fb_info_crypt_state)) : -1;
			const std::uint32_t page = readHeader(root_.database).cryptPage;
			const auto now = std::chrono::steady_clock::now();
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
			if (page != last)
			{
				last = page;
				moved = now;
			}
			// The crypt thread that stopped with an error says so in the
			// engine's log: then a few seconds without progress are enough.
			const std::string log = loggedCrypt(root_.root, logged);
			if (now - moved > stallTime || now > o_.deadline || (!log.empty() && now - moved > std::chrono::seconds(3)))
			{
				throw StepFailure(std::string(now > o_.deadline ? "the run's --timeout came" : "no progress") + " at page " +
								  std::to_string(page) + " of " + std::to_string(pages) + " for " +
								  std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - moved).count()) +
								  " s: the crypt thread reads every page back, so an in-place decrypt that differs from a "
								  "decrypt into a separate buffer, or output that changes from call to call, stops it" +
								  (log.empty() ? "" : "; the engine logged: " + log));
			}
			if (now - beat > std::chrono::seconds(2))
			{
				out_.send("progress", {std::to_string(page)});  // heard: the run is alive, and waited on here
				beat = now;
			}
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
		std::string message =
			std::string(encrypted ? "every" : "no") + " data, index and blob page carries the encrypted flag (" + seen + ")";
		if (encrypted && o_.encrypting)
			message += "; " + comparedWithPlain();
		return message;
	}

	// --encrypting: the encrypted file's data, index and blob pages against
	// the plain copy taken before ENCRYPT, body by body.
	std::string comparedWithPlain()
	{
		const std::string now = readFile(root_.database), before = readFile(plainCopy());
		const std::string head = now.substr(0, pageSize);
		if (head.find(identityKeyHash) != std::string::npos)
			throw StepFailure(std::string("the header's key hash is ") + identityKeyHash +
							  ", the identity transform's: encrypt left \"0123456789ABCDEF\" as it was, so the plug-in "
							  "wrote plaintext (was a key offered? a key holder: --key-holder)");
		int compared = 0, same = 0;
		for (std::size_t at = 0; at + pageSize <= now.size() && at + pageSize <= before.size(); at += pageSize)
		{
			const auto type = static_cast<std::uint8_t>(now[at]);
			if (type != dataPage && type != indexPage && type != blobPage)
				continue;
			++compared;
			same += now.compare(at + 16, pageSize - 16, before, at + 16, pageSize - 16) == 0;
		}
		if (compared && same * 2 >= compared)
			throw StepFailure(std::to_string(same) + " of " + std::to_string(compared) +
							  " data, index and blob pages hold the same bytes as before ENCRYPT: the plug-in wrote "
							  "plaintext while the header says the database is encrypted");
		return std::to_string(compared - same) + " of " + std::to_string(compared) + " page bodies changed";
	}

	// The encrypted database moved to another folder under another name, as a
	// restore or a copy puts it, and read there through a fresh attachment.
	std::string moved()
	{
		const fs::path dir = root_.dir / "db" / "moved elsewhere";
		fs::create_directories(dir);
		const fs::path copy = dir / "MOVED-COPY.FDB";
		fs::copy_file(root_.database, copy, fs::copy_options::overwrite_existing);
		const std::string read = rows(copy);
		fs::remove(copy);
		return "the encrypted file, copied to " + copy.string() + ", attaches and reads back: " + read;
	}

	// Every row, through a fresh attachment: the pages come from the file
	// and through decrypt.
	std::string rows() { return rows(root_.database); }

	std::string rows(const fs::path& database)
	{
		client::Connection c(*library_, database.string(), login_);
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
	fs::path plainCopy() const { return root_.dir / "db" / "plain-copy.fdb"; }

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
	const Reporter& out_;
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
	for (const char* root : catalogue::installedRoots)
		if (isFirebirdRoot(root))
			return root;
	why = "no Firebird installed (looked in";
	for (const char* root : catalogue::installedRoots)
		why += std::string(" ") + root;
	why += "); give its folder: --engine FIREBIRD_ROOT";
	return "";
}

namespace
{

// The steps, in the order they run; each one's PASS message, or it throws.
struct Step
{
	const char* name;
	const char* what;
	std::string (*run)(EngineRun&);
};

const std::vector<Step>& steps()
{
	static const std::vector<Step> table = {
		{"engine", "the embedded engine of the Firebird root, from a private root with the module",
		 [](EngineRun& e) { return e.start(); }},
		{"engine-database", "a database: rows with an index, and text blobs", [](EngineRun& e) { return e.populate(); }},
		{"engine-encrypt", "ALTER DATABASE ENCRYPT WITH the plug-in; the crypt thread runs to the end",
		 [](EngineRun& e) { return e.crypt(true); }},
		{"engine-header", "the header page: encrypted, the plug-in's name, no crypt run pending",
		 [](EngineRun& e) { return e.header(true); }},
		{"engine-pages", "every data, index and blob page carries the encrypted flag (--encrypting: and changed)",
		 [](EngineRun& e) { return e.pages(true); }},
		{"engine-rows", "every row, the index and the blobs read back through a fresh attachment",
		 [](EngineRun& e) { return e.rows(); }},
		{"engine-moved", "the encrypted file copied elsewhere, under another name, attaches and reads back",
		 [](EngineRun& e) { return e.moved(); }},
		{"engine-decrypt", "ALTER DATABASE DECRYPT; the crypt thread runs to the end",
		 [](EngineRun& e) { return e.crypt(false); }},
		{"engine-decrypted", "the header, the pages and every row, plain again",
		 [](EngineRun& e) { return e.header(false) + "; " + e.pages(false) + "; " + e.rows(); }},
	};
	return table;
}

}  // namespace

const std::vector<EngineStep>& engineSteps()
{
	static const std::vector<EngineStep> list = []
	{
		std::vector<EngineStep> out;
		for (const Step& s : steps())
			out.push_back({s.name, s.what});
		return out;
	}();
	return list;
}

void engineJob(const Options& o, const std::string& dir, const std::string& plugin, const Reporter& out)
{
	PrivateRoot root(dir, o.engineRoot, o, plugin);
	EngineRun engine(o, root, out);
	for (const Step& step : steps())
	{
		out.calling(step.name);
		const auto started = std::chrono::steady_clock::now();
		const auto took = [&]
		{ return std::to_string(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()); };
		try
		{
			const std::string message = step.run(engine);
			out.send("step", {step.name, "pass", message, took()});
			if (step.name == std::string("engine"))
				out.send("engine-version", {engine.version()});
		}
		catch (const std::exception& e)
		{
			out.send("step", {step.name, "fail", e.what(), took()});
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
		for (const EngineStep& step : engineSteps())
			results.push_back({step.name, Outcome::skip, results.empty() ? why : "no engine"});
		return results;
	}

	const fs::path dir = sys::makeTemporaryFolder("fbcrypt-check-");
	const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(o.deadline - std::chrono::steady_clock::now());
	// A step that says nothing for 30 s is stuck in the engine (a page that
	// decrypts wrong can keep it reading for ever, output that changes from
	// call to call can leave a crypt run waiting); the crypt runs say how
	// they go as they wait. So no step takes more than a minute.
	ChildOutcome child = runIsolated(run, {"engine", {dir.string(), factory.name}}, std::max(left, std::chrono::milliseconds(0)),
									 std::chrono::seconds(30));
	std::error_code ignored;
	fs::remove_all(dir, ignored);

	for (const ReportLine& line : child.lines)
		if (line.kind == "engine-version")
			report.engineVersion = line.field(0);
		else if (line.kind == "step")
			results.push_back({line.field(0), line.field(1) == "pass" ? Outcome::pass : Outcome::fail, line.field(2),
							   std::stod(line.field(3))});
	if (!child.finished)
	{
		// The engine's process died in the step after the last one reported.
		const std::string step = child.lastCall.empty() ? "engine" : child.lastCall;
		const bool quiet = child.death.rfind("made no progress", 0) == 0;
		if (results.empty() || results.back().check != step)
			results.push_back({step, Outcome::fail,
							   "the engine's process " + child.death + " in " + step +
								   (child.escaped.empty() ? "" : ": an exception escaped: " + child.escaped) +
								   (quiet ? ": a page that decrypts wrong can keep the engine reading it for ever, and "
											"output that changes from call to call can leave a crypt run waiting"
										  : "")});
	}
	const std::string failed = !results.empty() && results.back().outcome == Outcome::fail ? results.back().check : "";
	for (std::size_t i = results.size(); i < engineSteps().size(); ++i)
		results.push_back({engineSteps()[i].name, Outcome::skip, "not run after " + failed + " failed"});
	return results;
}

}  // namespace check
