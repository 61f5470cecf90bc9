// The engine's IUtil and IConfigManager, as far as a plug-in would use them
// without a database: the version and the client's version, status
// formatting, dates and times; where Firebird keeps its files. What needs a
// real engine (blobs, statements, metadata, numbers of its own types) is
// reported as not emulated (Unemulated.h) and returns null.
#pragma once

#include <firebird/Interface.h>

#include "HostStatus.h"

namespace standin
{

class FakeUtil final : public Firebird::IUtilImpl<FakeUtil, PassStatus>
{
public:
	void getFbVersion(PassStatus* status, Firebird::IAttachment* att, Firebird::IVersionCallback* callback) override;
	void loadBlob(PassStatus*, ISC_QUAD*, Firebird::IAttachment*, Firebird::ITransaction*, const char*, FB_BOOLEAN) override;
	void dumpBlob(PassStatus*, ISC_QUAD*, Firebird::IAttachment*, Firebird::ITransaction*, const char*, FB_BOOLEAN) override;
	void getPerfCounters(PassStatus*, Firebird::IAttachment*, const char*, ISC_INT64*) override;
	Firebird::IAttachment* executeCreateDatabase(PassStatus*, unsigned, const char*, unsigned, FB_BOOLEAN*) override;
	void decodeDate(ISC_DATE date, unsigned* year, unsigned* month, unsigned* day) override;
	void decodeTime(ISC_TIME time, unsigned* hours, unsigned* minutes, unsigned* seconds, unsigned* fractions) override;
	ISC_DATE encodeDate(unsigned year, unsigned month, unsigned day) override;
	ISC_TIME encodeTime(unsigned hours, unsigned minutes, unsigned seconds, unsigned fractions) override;
	unsigned formatStatus(char* buffer, unsigned bufferSize, Firebird::IStatus* status) override;
	unsigned getClientVersion() override;
	Firebird::IXpbBuilder* getXpbBuilder(PassStatus*, unsigned, const unsigned char*, unsigned) override;
	unsigned setOffsets(PassStatus*, Firebird::IMessageMetadata*, Firebird::IOffsetsCallback*) override;
#if FB_API_VER >= 40
	Firebird::IDecFloat16* getDecFloat16(PassStatus*) override;
	Firebird::IDecFloat34* getDecFloat34(PassStatus*) override;
	void decodeTimeTz(PassStatus*, const ISC_TIME_TZ*, unsigned*, unsigned*, unsigned*, unsigned*, unsigned, char*) override;
	void decodeTimeStampTz(PassStatus*, const ISC_TIMESTAMP_TZ*, unsigned*, unsigned*, unsigned*, unsigned*, unsigned*,
						   unsigned*, unsigned*, unsigned, char*) override;
	void encodeTimeTz(PassStatus*, ISC_TIME_TZ*, unsigned, unsigned, unsigned, unsigned, const char*) override;
	void encodeTimeStampTz(PassStatus*, ISC_TIMESTAMP_TZ*, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned,
						   unsigned, const char*) override;
	Firebird::IInt128* getInt128(PassStatus*) override;
	void decodeTimeTzEx(PassStatus*, const ISC_TIME_TZ_EX*, unsigned*, unsigned*, unsigned*, unsigned*, unsigned,
						char*) override;
	void decodeTimeStampTzEx(PassStatus*, const ISC_TIMESTAMP_TZ_EX*, unsigned*, unsigned*, unsigned*, unsigned*,
							 unsigned*, unsigned*, unsigned*, unsigned, char*) override;
#endif
#if defined(FIREBIRD_IUTIL_VERSION) && FIREBIRD_IUTIL_VERSION >= 5
	void convert(PassStatus*, unsigned, unsigned, unsigned, const void*, unsigned, unsigned, unsigned, void*) override;
#endif
#if defined(FIREBIRD_IUTIL_VERSION) && FIREBIRD_IUTIL_VERSION >= 6
	Firebird::IAttachment* executeCreateDatabase2(PassStatus*, unsigned, const char*, unsigned, unsigned,
												  const unsigned char*, FB_BOOLEAN*) override;
#endif
};

// Where the stand-in's engine keeps its files: it has none, and says where
// an installed one in /opt would.
class FakeConfigManager final : public Firebird::IConfigManagerImpl<FakeConfigManager, PassStatus>
{
public:
	const char* getDirectory(unsigned code) override;
	Firebird::IFirebirdConf* getFirebirdConf() override;
	Firebird::IFirebirdConf* getDatabaseConf(const char* dbName) override;
	Firebird::IConfig* getPluginConfig(const char* configuredPlugin) override;
	const char* getInstallDirectory() override;
	const char* getRootDirectory() override;
	const char* getDefaultSecurityDb() override;
};

}  // namespace standin
