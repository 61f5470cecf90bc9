#include "FakeConfig.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace standin
{

namespace
{

bool same(const std::string& a, const char* b)
{
	// plugins.conf keys are matched regardless of case, as the engine's ConfigFile does.
	if (!b || a.size() != std::strlen(b))
		return false;
	for (std::size_t i = 0; i < a.size(); ++i)
		if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
			return false;
	return true;
}

// firebird.conf's settings as the stand-in's engine has them.
struct Setting
{
	const char* name;
	const char* value;
};
const Setting settings[] = {
	{"RootDirectory", "/opt/fbcrypt-check-stand-in"},
	{"DatabaseAccess", "Full"},
	{"ServerMode", "Super"},
	{"RemoteServicePort", "3050"},
	{"DefaultDbCachePages", "2048"},
	{"KeyHolderPlugin", ""},
	{"WireCrypt", "Enabled"},
	{"AuthServer", "Srp256"},
	{"SecurityDatabase", "$(dir_secDb)/security.fdb"},
	{"TempDirectories", ""},
	{"MaxParallelWorkers", "1"},
	{"ParallelWorkers", "1"},
};
constexpr unsigned partial = 0x10000000;  // the engine ORs a version into every key
constexpr unsigned keyMask = 0x0fffffff;

const Setting* setting(unsigned key)
{
	key &= keyMask;
	return (key & ~keyMask) == 0 && key < std::size(settings) ? &settings[key] : nullptr;
}

}  // namespace

ISC_INT64 FakeConfigEntry::getIntValue()
{
	char* end = nullptr;
	ISC_INT64 v = std::strtoll(value_.c_str(), &end, 10);
	switch (end && *end ? std::toupper(static_cast<unsigned char>(*end)) : 0)
	{
	case 'G':
		v *= 1024;
		[[fallthrough]];
	case 'M':
		v *= 1024;
		[[fallthrough]];
	case 'K':
		v *= 1024;
	}
	return v;
}

FB_BOOLEAN FakeConfigEntry::getBoolValue()
{
	return same(value_, "yes") || same(value_, "true") || same(value_, "on") || value_ == "1" ? FB_TRUE : FB_FALSE;
}

Firebird::IConfigEntry* FakeConfig::find(PassStatus* status, const char* name)
{
	return findPos(status, name, 0);
}

Firebird::IConfigEntry* FakeConfig::findValue(PassStatus*, const char* name, const char* value)
{
	for (const auto& [k, v] : entries_)
		if (same(k, name) && v == (value ? value : ""))
			return new FakeConfigEntry(k, v);
	return nullptr;
}

Firebird::IConfigEntry* FakeConfig::findPos(PassStatus*, const char* name, unsigned pos)
{
	for (const auto& [k, v] : entries_)
		if (same(k, name) && pos-- == 0)
			return new FakeConfigEntry(k, v);
	return nullptr;
}

unsigned FakeFirebirdConf::getKey(const char* name)
{
	for (unsigned i = 0; i < std::size(settings); ++i)
		if (same(settings[i].name, name))
			return i | partial;
	return ~0u;
}

ISC_INT64 FakeFirebirdConf::asInteger(unsigned key)
{
	const Setting* s = setting(key);
	return s ? std::strtoll(s->value, nullptr, 10) : 0;
}

const char* FakeFirebirdConf::asString(unsigned key)
{
	const Setting* s = setting(key);
	return s ? s->value : "";
}

FB_BOOLEAN FakeFirebirdConf::asBoolean(unsigned key)
{
	const Setting* s = setting(key);
	return s && (same(s->value, "true") || same(s->value, "yes") || same(s->value, "1")) ? FB_TRUE : FB_FALSE;
}

const char* FakePluginConfig::getConfigFileName()
{
	reads_.fetch_add(1);
	return "/opt/fbcrypt-check-stand-in/plugins.conf";
}

// A new object per call, with one reference for the caller, as the engine
// gives one (ConfiguredPlugin::getDefaultConfig): the plug-in's Config block,
// or an empty one where plugins.conf gives it none (never null).
Firebird::IConfig* FakePluginConfig::getDefaultConfig(PassStatus*)
{
	reads_.fetch_add(1);
	return new FakeConfig(entries_);
}

Firebird::IFirebirdConf* FakePluginConfig::getFirebirdConf(PassStatus*)
{
	reads_.fetch_add(1);
	return new FakeFirebirdConf;
}

}  // namespace standin
