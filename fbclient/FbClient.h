// Firebird's own client library, loaded at run time through
// fb_get_master_interface, so that a program built here drives whichever
// Firebird is installed (3.0 or 4.0, embedded or a server) and still runs
// where none is. Only calls that 3.0's client library has are made.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <firebird/Interface.h>

namespace loader
{
class SharedLibrary;
}

namespace client
{

// What the client library or the engine reported, in its own words.
struct Error : std::runtime_error
{
	using std::runtime_error::runtime_error;
};

class Library
{
public:
	// The client library of the Firebird at `root` (ROOT/lib/libfbclient.so.2
	// in Debian's and Firebird's own layouts), else the system's. Throws Error
	// naming what was tried.
	explicit Library(const std::string& root = "");
	~Library();

	Firebird::IMaster* master() const { return master_; }
	const std::string& path() const { return path_; }
	// A status's errors as the engine words them.
	std::string describe(Firebird::IStatus* status) const;
	// Stops the embedded engine's threads, as an application does at exit.
	void shutdown();

private:
	std::unique_ptr<loader::SharedLibrary> library_;
	Firebird::IMaster* master_ = nullptr;
	std::string path_;
};

struct Login
{
	std::string user = "SYSDBA";
	std::string password;  // none for an embedded attachment
};

// One attachment. Each statement runs in a transaction of its own, so that
// a query of the MON$ tables sees a fresh snapshot.
class Connection
{
public:
	using Row = std::vector<std::optional<std::string>>;

	// Attaches to `database`, or creates it with `pageSize` (0: the engine's default).
	Connection(Library& library, const std::string& database, const Login& login, bool create = false,
			   unsigned pageSize = 0);
	~Connection();
	Connection(const Connection&) = delete;
	Connection& operator=(const Connection&) = delete;

	void execute(const std::string& sql);
	// Every row, each column as text (numbers in decimal), null as nullopt.
	std::vector<Row> query(const std::string& sql);
	// The first column of the first row, as a number.
	std::int64_t scalar(const std::string& sql);
	// Database information items: {item: its bytes}.
	std::map<std::uint8_t, std::vector<std::uint8_t>> info(const std::vector<std::uint8_t>& items);

private:
	template <typename F> auto call(const std::string& what, F&& f) -> decltype(f(nullptr));

	Library& library_;
	Firebird::IAttachment* attachment_ = nullptr;
};

// A little-endian integer of an information item, as isc_vax_integer reads it.
std::int64_t infoInteger(const std::vector<std::uint8_t>& bytes);

}  // namespace client
