#include "FakeUtil.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "FakeConfig.h"
#include "Unemulated.h"

namespace standin
{

namespace
{

std::mutex hookMutex;
std::function<void(const std::string&)> hook;

// Firebird's dates count days from 17 November 1858 (the Modified Julian Day).
constexpr std::int64_t mjdOffset = 678881;  // that day, counted as daysOf counts

// Days since 1 March of year 0 of a date, and back (a proleptic Gregorian calendar).
std::int64_t daysOf(std::int64_t y, std::int64_t m, std::int64_t d)
{
	if (m < 3)
	{
		m += 12;
		--y;
	}
	return 365 * y + y / 4 - y / 100 + y / 400 + (153 * (m - 3) + 2) / 5 + d - 1;
}

}  // namespace

void unemulated(const std::string& what)
{
	std::lock_guard<std::mutex> lock(hookMutex);
	if (hook)
		hook(what);
}

void onUnemulated(std::function<void(const std::string&)> h)
{
	std::lock_guard<std::mutex> lock(hookMutex);
	hook = std::move(h);
}

void FakeUtil::getFbVersion(PassStatus*, Firebird::IAttachment*, Firebird::IVersionCallback* callback)
{
	HostStatus status;
	Firebird::CheckStatusWrapper wrapper(&status);
	const std::string text = "fbcrypt-check stand-in engine (Firebird " + std::to_string(FB_API_VER / 10) + "." +
							 std::to_string(FB_API_VER % 10) + " interfaces)";
	if (callback)
		callback->callback(&wrapper, text.c_str());
}

unsigned FakeUtil::getClientVersion()
{
	return static_cast<unsigned>((FB_API_VER / 10) << 8 | (FB_API_VER % 10));
}

// The error vector in words: each code and its string arguments (the
// stand-in has no message file to give the engine's texts).
unsigned FakeUtil::formatStatus(char* buffer, unsigned bufferSize, Firebird::IStatus* status)
{
	std::string text;
	const intptr_t* v = status ? status->getErrors() : nullptr;
	for (std::size_t i = 0; v && v[i] != isc_arg_end;)
	{
		const intptr_t kind = v[i];
		if (kind == isc_arg_gds && v[i + 1])
			text += (text.empty() ? "" : "\n-") + std::string("error ") + std::to_string(v[i + 1]);
		else if (kind == isc_arg_string || kind == isc_arg_interpreted || kind == isc_arg_sql_state)
			text += std::string(" ") + reinterpret_cast<const char*>(v[i + 1]);
		else if (kind == isc_arg_number)
			text += " " + std::to_string(v[i + 1]);
		i += kind == isc_arg_cstring ? 3 : 2;
	}
	if (buffer && bufferSize)
	{
		const std::size_t n = std::min<std::size_t>(text.size(), bufferSize - 1);
		std::memcpy(buffer, text.data(), n);
		buffer[n] = '\0';
		return static_cast<unsigned>(n);
	}
	return 0;
}

void FakeUtil::decodeDate(ISC_DATE date, unsigned* year, unsigned* month, unsigned* day)
{
	// Days since 1 March of year 0, to year, month and day.
	const std::int64_t days = static_cast<std::int64_t>(date) + mjdOffset;
	std::int64_t y = (10000 * days + 14780) / 3652425;
	std::int64_t rest = days - (365 * y + y / 4 - y / 100 + y / 400);
	if (rest < 0)
	{
		--y;
		rest = days - (365 * y + y / 4 - y / 100 + y / 400);
	}
	const std::int64_t mi = (100 * rest + 52) / 3060;
	const std::int64_t m = (mi + 2) % 12 + 1;
	y += (mi + 2) / 12;
	const std::int64_t d = rest - (mi * 306 + 5) / 10 + 1;
	if (year)
		*year = static_cast<unsigned>(y);
	if (month)
		*month = static_cast<unsigned>(m);
	if (day)
		*day = static_cast<unsigned>(d);
}

ISC_DATE FakeUtil::encodeDate(unsigned year, unsigned month, unsigned day)
{
	return static_cast<ISC_DATE>(daysOf(year, month, day) - mjdOffset);
}

// Times count ten-thousandths of a second since midnight.
void FakeUtil::decodeTime(ISC_TIME time, unsigned* hours, unsigned* minutes, unsigned* seconds, unsigned* fractions)
{
	if (hours)
		*hours = time / (3600 * 10000);
	if (minutes)
		*minutes = time / (60 * 10000) % 60;
	if (seconds)
		*seconds = time / 10000 % 60;
	if (fractions)
		*fractions = time % 10000;
}

ISC_TIME FakeUtil::encodeTime(unsigned hours, unsigned minutes, unsigned seconds, unsigned fractions)
{
	return ((hours * 60 + minutes) * 60 + seconds) * 10000 + fractions;
}

// What needs a real engine.
#define STANDIN_UNEMULATED(what, result) \
	do                                   \
	{                                    \
		unemulated(what);                \
		return result;                   \
	} while (0)

void FakeUtil::loadBlob(PassStatus*, ISC_QUAD*, Firebird::IAttachment*, Firebird::ITransaction*, const char*, FB_BOOLEAN)
{
	STANDIN_UNEMULATED("IUtil::loadBlob", );
}
void FakeUtil::dumpBlob(PassStatus*, ISC_QUAD*, Firebird::IAttachment*, Firebird::ITransaction*, const char*, FB_BOOLEAN)
{
	STANDIN_UNEMULATED("IUtil::dumpBlob", );
}
void FakeUtil::getPerfCounters(PassStatus*, Firebird::IAttachment*, const char*, ISC_INT64*)
{
	STANDIN_UNEMULATED("IUtil::getPerfCounters", );
}
Firebird::IAttachment* FakeUtil::executeCreateDatabase(PassStatus*, unsigned, const char*, unsigned, FB_BOOLEAN*)
{
	STANDIN_UNEMULATED("IUtil::executeCreateDatabase", nullptr);
}
Firebird::IXpbBuilder* FakeUtil::getXpbBuilder(PassStatus*, unsigned, const unsigned char*, unsigned)
{
	STANDIN_UNEMULATED("IUtil::getXpbBuilder", nullptr);
}
unsigned FakeUtil::setOffsets(PassStatus*, Firebird::IMessageMetadata*, Firebird::IOffsetsCallback*)
{
	STANDIN_UNEMULATED("IUtil::setOffsets", 0);
}
#if FB_API_VER >= 40
Firebird::IDecFloat16* FakeUtil::getDecFloat16(PassStatus*)
{
	STANDIN_UNEMULATED("IUtil::getDecFloat16", nullptr);
}
Firebird::IDecFloat34* FakeUtil::getDecFloat34(PassStatus*)
{
	STANDIN_UNEMULATED("IUtil::getDecFloat34", nullptr);
}
void FakeUtil::decodeTimeTz(PassStatus*, const ISC_TIME_TZ*, unsigned*, unsigned*, unsigned*, unsigned*, unsigned, char*)
{
	STANDIN_UNEMULATED("IUtil::decodeTimeTz", );
}
void FakeUtil::decodeTimeStampTz(PassStatus*, const ISC_TIMESTAMP_TZ*, unsigned*, unsigned*, unsigned*, unsigned*,
								 unsigned*, unsigned*, unsigned*, unsigned, char*)
{
	STANDIN_UNEMULATED("IUtil::decodeTimeStampTz", );
}
void FakeUtil::encodeTimeTz(PassStatus*, ISC_TIME_TZ*, unsigned, unsigned, unsigned, unsigned, const char*)
{
	STANDIN_UNEMULATED("IUtil::encodeTimeTz", );
}
void FakeUtil::encodeTimeStampTz(PassStatus*, ISC_TIMESTAMP_TZ*, unsigned, unsigned, unsigned, unsigned, unsigned,
								 unsigned, unsigned, const char*)
{
	STANDIN_UNEMULATED("IUtil::encodeTimeStampTz", );
}
Firebird::IInt128* FakeUtil::getInt128(PassStatus*)
{
	STANDIN_UNEMULATED("IUtil::getInt128", nullptr);
}
void FakeUtil::decodeTimeTzEx(PassStatus*, const ISC_TIME_TZ_EX*, unsigned*, unsigned*, unsigned*, unsigned*, unsigned,
							  char*)
{
	STANDIN_UNEMULATED("IUtil::decodeTimeTzEx", );
}
void FakeUtil::decodeTimeStampTzEx(PassStatus*, const ISC_TIMESTAMP_TZ_EX*, unsigned*, unsigned*, unsigned*, unsigned*,
								   unsigned*, unsigned*, unsigned*, unsigned, char*)
{
	STANDIN_UNEMULATED("IUtil::decodeTimeStampTzEx", );
}
#endif
#if defined(FIREBIRD_IUTIL_VERSION) && FIREBIRD_IUTIL_VERSION >= 5
void FakeUtil::convert(PassStatus*, unsigned, unsigned, unsigned, const void*, unsigned, unsigned, unsigned, void*)
{
	STANDIN_UNEMULATED("IUtil::convert", );
}
#endif
#if defined(FIREBIRD_IUTIL_VERSION) && FIREBIRD_IUTIL_VERSION >= 6
Firebird::IAttachment* FakeUtil::executeCreateDatabase2(PassStatus*, unsigned, const char*, unsigned, unsigned,
														const unsigned char*, FB_BOOLEAN*)
{
	STANDIN_UNEMULATED("IUtil::executeCreateDatabase2", nullptr);
}
#endif

// IConfigManager's directory codes (DIR_BIN = 0 ... DIR_GUARD, as in the
// engine) under a Firebird installed in /opt.
const char* FakeConfigManager::getDirectory(unsigned code)
{
	static const char* const dirs[] = {
		"/opt/fbcrypt-check-stand-in/bin",     "/opt/fbcrypt-check-stand-in/bin",
		"/opt/fbcrypt-check-stand-in/lib",     "/opt/fbcrypt-check-stand-in/include",
		"/opt/fbcrypt-check-stand-in/doc",     "/opt/fbcrypt-check-stand-in/udf",
		"/opt/fbcrypt-check-stand-in",         "/opt/fbcrypt-check-stand-in",
		"/opt/fbcrypt-check-stand-in",         "/opt/fbcrypt-check-stand-in",
		"/opt/fbcrypt-check-stand-in",         "/opt/fbcrypt-check-stand-in/intl",
		"/opt/fbcrypt-check-stand-in",         "/opt/fbcrypt-check-stand-in/plugins",
		"/opt/fbcrypt-check-stand-in",         "/opt/fbcrypt-check-stand-in",
		"/opt/fbcrypt-check-stand-in/examples", "/opt/fbcrypt-check-stand-in",
		"/opt/fbcrypt-check-stand-in",         "/opt/fbcrypt-check-stand-in",
	};
	return code < std::size(dirs) ? dirs[code] : nullptr;
}
Firebird::IFirebirdConf* FakeConfigManager::getFirebirdConf()
{
	return new FakeFirebirdConf;
}
Firebird::IFirebirdConf* FakeConfigManager::getDatabaseConf(const char*)
{
	return new FakeFirebirdConf;
}
Firebird::IConfig* FakeConfigManager::getPluginConfig(const char*)
{
	return new FakeConfig({});
}
const char* FakeConfigManager::getInstallDirectory()
{
	return "/opt/fbcrypt-check-stand-in";
}
const char* FakeConfigManager::getRootDirectory()
{
	return "/opt/fbcrypt-check-stand-in";
}
const char* FakeConfigManager::getDefaultSecurityDb()
{
	return "/opt/fbcrypt-check-stand-in/security.fdb";
}

}  // namespace standin
