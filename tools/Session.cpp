#include "Session.h"

#include "FakeCryptInputs.h"
#include "FakePluginConfig.h"

namespace check
{

const char* const databasePath = "/var/lib/firebird/data/fbcrypt-check.fdb";

Bytes standInKey()
{
	return {0x66, 0x62, 0x63, 0x72, 0x79, 0x70, 0x74, 0x2d, 0x63, 0x68, 0x65, 0x63, 0x6b, 0x21, 0x00, 0xff};
}

Session::Session(const std::string& path, std::size_t factoryIndex, const Reporter& out) : out(out)
{
	out.calling("loading the module");
	module_ = std::make_unique<host::LoadedModule>(path);
	out.calling("firebird_plugin");
	module_->entryPoint()(&master_);
	factory_ = manager_.factories().at(factoryIndex).factory;
}

IDbCryptPlugin* Session::create(host::FakePluginConfig& config)
{
	host::HostStatus status;
	Firebird::IPluginBase* plugin = call("createPlugin", [&] { return factory_->createPlugin(&status, &config); });
	if (!plugin)
		throw Failure("createPlugin returned null; status: " + status.describe());
	if (!status.isClean())
		throw Failure("createPlugin returned an instance and an error: " + status.describe());
	return static_cast<IDbCryptPlugin*>(plugin);
}

int Session::release(IDbCryptPlugin* p)
{
	return call("release", [&] { return p->release(); });
}

void Session::encrypt(IDbCryptPlugin* p, host::HostStatus* s, unsigned n, const void* src, void* dst)
{
	call("encrypt of " + std::to_string(n) + " bytes" + (src == dst ? " in place" : ""),
		 [&] { p->encrypt(s, n, src, dst); });
}

void Session::decrypt(IDbCryptPlugin* p, host::HostStatus* s, unsigned n, const void* src, void* dst)
{
	call("decrypt of " + std::to_string(n) + " bytes" + (src == dst ? " in place" : ""),
		 [&] { p->decrypt(s, n, src, dst); });
}

void Session::setKey(IDbCryptPlugin* p, std::vector<host::FakeKeyHolder*> holders, const char* keyName,
					 const std::string& what)
{
	std::vector<Firebird::IKeyHolderPlugin*> sources(holders.begin(), holders.end());
	host::HostStatus status;
	call("setKey " + what, [&]
		 { p->setKey(&status, static_cast<unsigned>(sources.size()), sources.empty() ? nullptr : sources.data(), keyName); });
	expectClean(status, "setKey " + what);
}

void Session::setInfo(IDbCryptPlugin* p, const std::string& path)
{
	host::FakeCryptInfo info(path);
	host::HostStatus status;
	call("setInfo", [&] { p->setInfo(&status, &info); });
	expectClean(status, "setInfo");
}

IDbCryptPlugin* Session::createKeyed(host::FakePluginConfig& config, host::FakeKeyHolder& holder)
{
	IDbCryptPlugin* p = create(config);
	setInfo(p, databasePath);
	setKey(p, {&holder}, "", "with a holder offering the default key");
	return p;
}

void expectClean(const host::HostStatus& status, const std::string& after)
{
	if (!status.isClean())
		throw Failure(after + " left the status with: " + status.describe());
}

std::string firstDifference(const Bytes& got, const Bytes& expected)
{
	for (std::size_t i = 0; i < expected.size() && i < got.size(); ++i)
		if (got[i] != expected[i])
			return " at byte " + std::to_string(i) + " of " + std::to_string(expected.size());
	return got.size() == expected.size() ? "" : " in length";
}

std::string joined(const std::vector<unsigned>& values)
{
	std::string s;
	for (unsigned x : values)
		s += (s.empty() ? "" : ", ") + std::to_string(x);
	return s;
}

}  // namespace check
