#include "FbClient.h"

#include <cstring>

#include "SharedLibrary.h"

namespace client
{

namespace
{

using Firebird::CheckStatusWrapper;
using Firebird::IStatus;

std::vector<std::string> clientCandidates(const std::string& root)
{
	std::vector<std::string> paths;
	if (!root.empty())
		for (const char* name : {"/lib/libfbclient.so.2", "/lib/libfbclient.so"})
			paths.push_back(root + name);
	paths.push_back("libfbclient.so.2");
	return paths;
}

// One status for one call; released when the call is done.
class CallStatus
{
public:
	explicit CallStatus(Firebird::IMaster* master) : status_(master->getStatus()), wrapper_(status_) {}
	~CallStatus() { status_->dispose(); }
	CheckStatusWrapper* get() { return &wrapper_; }
	bool failed() const { return wrapper_.getState() & IStatus::STATE_ERRORS; }
	IStatus* status() { return status_; }

private:
	IStatus* status_;
	CheckStatusWrapper wrapper_;
};

std::string decimal(std::int64_t value, int scale)
{
	if (scale >= 0)
		return std::to_string(value);
	const bool negative = value < 0;
	std::string digits = std::to_string(negative ? -static_cast<std::uint64_t>(value) : value);
	const std::size_t places = static_cast<std::size_t>(-scale);
	if (digits.size() <= places)
		digits.insert(0, places + 1 - digits.size(), '0');
	digits.insert(digits.size() - places, ".");
	return (negative ? "-" : "") + digits;
}

// One column of a fetched row, as text.
std::optional<std::string> column(Firebird::IMessageMetadata* meta, CheckStatusWrapper* st, unsigned i,
								  const unsigned char* row)
{
	if (*reinterpret_cast<const short*>(row + meta->getNullOffset(st, i)))
		return std::nullopt;
	const unsigned char* p = row + meta->getOffset(st, i);
	const int scale = meta->getScale(st, i);
	switch (meta->getType(st, i) & ~1u)
	{
	case SQL_SHORT:
	{
		std::int16_t v;
		std::memcpy(&v, p, sizeof v);
		return decimal(v, scale);
	}
	case SQL_LONG:
	{
		std::int32_t v;
		std::memcpy(&v, p, sizeof v);
		return decimal(v, scale);
	}
	case SQL_INT64:
	{
		std::int64_t v;
		std::memcpy(&v, p, sizeof v);
		return decimal(v, scale);
	}
	case SQL_DOUBLE:
	{
		double v;
		std::memcpy(&v, p, sizeof v);
		return std::to_string(v);
	}
	case SQL_TEXT:
		return std::string(reinterpret_cast<const char*>(p), meta->getLength(st, i));
	case SQL_VARYING:
	{
		std::uint16_t n;
		std::memcpy(&n, p, sizeof n);
		return std::string(reinterpret_cast<const char*>(p + 2), n);
	}
	case SQL_BOOLEAN:
		return std::string(*p ? "true" : "false");
	default:
		throw Error("a column of SQL type " + std::to_string(meta->getType(st, i)) +
					" (cast it to a number or varchar)");
	}
}

}  // namespace

Library::Library(const std::string& root)
{
	std::string tried;
	for (const std::string& path : clientCandidates(root))
	{
		try
		{
			library_ = std::make_unique<loader::SharedLibrary>(path);
		}
		catch (const std::exception& e)
		{
			tried += (tried.empty() ? "" : "; ") + std::string(e.what());
			continue;
		}
		using GetMaster = Firebird::IMaster* (*)();
		auto get = reinterpret_cast<GetMaster>(library_->symbol("fb_get_master_interface"));
		if (!get)
			throw Error(path + " is not Firebird's client library (no fb_get_master_interface)");
		master_ = get();
		path_ = path;
		return;
	}
	throw Error("no Firebird client library: " + tried);
}

Library::~Library() = default;

std::string Library::describe(IStatus* status) const
{
	char text[2048];
	const unsigned n = master_->getUtilInterface()->formatStatus(text, sizeof text, status);
	std::string out(text, n < sizeof text ? n : sizeof text - 1);
	for (char& c : out)
		if (c == '\n')
			c = ' ';
	return out;
}

void Library::shutdown()
{
	CallStatus status(master_);
	Firebird::IProvider* dispatcher = master_->getDispatcher();
	dispatcher->shutdown(status.get(), 0, fb_shutrsn_app_stopped);
	dispatcher->release();
}

template <typename F> auto Connection::call(const std::string& what, F&& f) -> decltype(f(nullptr))
{
	CallStatus status(library_.master());
	if constexpr (std::is_void_v<decltype(f(nullptr))>)
	{
		f(status.get());
		if (status.failed())
			throw Error(what + ": " + library_.describe(status.status()));
	}
	else
	{
		auto result = f(status.get());
		if (status.failed())
			throw Error(what + ": " + library_.describe(status.status()));
		return result;
	}
}

Connection::Connection(Library& library, const std::string& database, const Login& login, bool create,
					   unsigned pageSize)
	: library_(library)
{
	Firebird::IMaster* master = library.master();
	Firebird::IXpbBuilder* dpb = call("a parameter block", [&](CheckStatusWrapper* st)
									  { return master->getUtilInterface()->getXpbBuilder(st, Firebird::IXpbBuilder::DPB, nullptr, 0); });
	call("a parameter block",
		 [&](CheckStatusWrapper* st)
		 {
		dpb->insertString(st, isc_dpb_user_name, login.user.c_str());
		if (!login.password.empty())
			dpb->insertString(st, isc_dpb_password, login.password.c_str());
		if (create && pageSize)
			dpb->insertInt(st, isc_dpb_page_size, static_cast<int>(pageSize));
	});
	Firebird::IProvider* dispatcher = master->getDispatcher();
	try
	{
		attachment_ = call((create ? "create database " : "attach ") + database,
						   [&](CheckStatusWrapper* st)
						   {
			const unsigned length = dpb->getBufferLength(st);
			const unsigned char* buffer = dpb->getBuffer(st);
			return create ? dispatcher->createDatabase(st, database.c_str(), length, buffer)
						  : dispatcher->attachDatabase(st, database.c_str(), length, buffer);
		});
	}
	catch (...)
	{
		dpb->dispose();
		dispatcher->release();
		throw;
	}
	dpb->dispose();
	dispatcher->release();
}

Connection::~Connection()
{
	CallStatus status(library_.master());
	attachment_->detach(status.get());
	if (status.failed())
		attachment_->release();
}

void Connection::execute(const std::string& sql)
{
	Firebird::ITransaction* tra = call("start transaction", [&](CheckStatusWrapper* st)
									   { return attachment_->startTransaction(st, 0, nullptr); });
	try
	{
		call(sql, [&](CheckStatusWrapper* st)
			 { attachment_->execute(st, tra, 0, sql.c_str(), 3, nullptr, nullptr, nullptr, nullptr); });
		call("commit", [&](CheckStatusWrapper* st) { tra->commit(st); });
	}
	catch (...)
	{
		CallStatus status(library_.master());
		tra->rollback(status.get());
		if (status.failed())
			tra->release();
		throw;
	}
}

std::vector<Connection::Row> Connection::query(const std::string& sql)
{
	Firebird::ITransaction* tra = call("start transaction", [&](CheckStatusWrapper* st)
									   { return attachment_->startTransaction(st, 0, nullptr); });
	Firebird::IResultSet* cursor = nullptr;
	Firebird::IMessageMetadata* meta = nullptr;
	std::vector<Row> rows;
	try
	{
		cursor = call(sql, [&](CheckStatusWrapper* st)
					  { return attachment_->openCursor(st, tra, 0, sql.c_str(), 3, nullptr, nullptr, nullptr, nullptr, 0); });
		meta = call(sql, [&](CheckStatusWrapper* st) { return cursor->getMetadata(st); });
		const unsigned columns = call(sql, [&](CheckStatusWrapper* st) { return meta->getCount(st); });
		std::vector<unsigned char> buffer(call(sql, [&](CheckStatusWrapper* st) { return meta->getMessageLength(st); }));
		while (call(sql, [&](CheckStatusWrapper* st) { return cursor->fetchNext(st, buffer.data()); }) ==
			   IStatus::RESULT_OK)
		{
			Row row;
			for (unsigned i = 0; i < columns; ++i)
				row.push_back(call(sql, [&](CheckStatusWrapper* st) { return column(meta, st, i, buffer.data()); }));
			rows.push_back(std::move(row));
		}
		meta->release();
		meta = nullptr;
		call(sql, [&](CheckStatusWrapper* st) { cursor->close(st); });
		cursor = nullptr;
		call("commit", [&](CheckStatusWrapper* st) { tra->commit(st); });
	}
	catch (...)
	{
		if (meta)
			meta->release();
		if (cursor)
			cursor->release();
		CallStatus status(library_.master());
		tra->rollback(status.get());
		if (status.failed())
			tra->release();
		throw;
	}
	return rows;
}

std::int64_t Connection::scalar(const std::string& sql)
{
	const std::vector<Row> rows = query(sql);
	if (rows.empty() || rows[0].empty() || !rows[0][0])
		throw Error(sql + ": no value");
	return std::stoll(*rows[0][0]);
}

std::map<std::uint8_t, std::vector<std::uint8_t>> Connection::info(const std::vector<std::uint8_t>& items)
{
	std::vector<std::uint8_t> buffer(4096);
	call("database information", [&](CheckStatusWrapper* st)
		 {
		attachment_->getInfo(st, static_cast<unsigned>(items.size()), items.data(),
							 static_cast<unsigned>(buffer.size()), buffer.data());
	});
	std::map<std::uint8_t, std::vector<std::uint8_t>> out;
	for (std::size_t i = 0; i + 3 <= buffer.size() && buffer[i] != isc_info_end;)
	{
		const std::uint8_t item = buffer[i];
		if (item == isc_info_truncated)
			throw Error("database information: the answer did not fit");
		const std::size_t length = buffer[i + 1] | (buffer[i + 2] << 8);
		if (i + 3 + length > buffer.size())
			break;
		out[item].assign(buffer.begin() + static_cast<long>(i + 3), buffer.begin() + static_cast<long>(i + 3 + length));
		i += 3 + length;
	}
	return out;
}

std::int64_t infoInteger(const std::vector<std::uint8_t>& bytes)
{
	std::int64_t value = 0;
	for (std::size_t i = bytes.size(); i-- > 0;)
		value = (value << 8) | bytes[i];
	if (!bytes.empty() && bytes.size() < 8 && (bytes.back() & 0x80))
		value -= std::int64_t{1} << (8 * bytes.size());
	return value;
}

}  // namespace client
