#include "Session.h"

#include "FakeConfig.h"
#include "FakeCryptInputs.h"
#include "Unemulated.h"

namespace check
{

const char* const databasePath = "/var/lib/firebird/data/fbcrypt-check.fdb";
const char* const movedDatabasePath = "/srv/restored/elsewhere/FBCRYPT-CHECK-COPY.FDB";

namespace
{

// The key the stand-in's holders offer unless told otherwise: 16 bytes.
Bytes defaultKey()
{
	return {0x66, 0x62, 0x63, 0x72, 0x79, 0x70, 0x74, 0x2d, 0x63, 0x68, 0x65, 0x63, 0x6b, 0x21, 0x00, 0xff};
}

}  // namespace

Session::Session(const Options& options, std::size_t factoryIndex, const Reporter& out)
	: options(options), out(out), key_(options.keyBytes.empty() ? defaultKey() : options.keyBytes)
{
	// A call into what the stand-in does not play is said before anything it leads to.
	standin::onUnemulated([&out](const std::string& what) { out.send("unemulated", {what}); });
	out.calling("loading the module");
	module_ = std::make_unique<standin::LoadedModule>(options.module);
	out.calling("firebird_plugin");
	module_->entryPoint()(&master_);
	factory_ = manager_.factories().at(factoryIndex).factory;
	standInHolder_ = std::make_unique<standin::FakeKeyHolder>(options.keyName, key_);
}

// The author's key holder, made as the engine makes one (createPlugin with
// its configuration, then keyCallback with the attachment's callback, which
// here offers nothing), once per session.
Firebird::IKeyHolderPlugin* Session::keyHolder()
{
	if (options.keyHolder.empty())
		return standInHolder_.get();
	if (authorsHolder_)
		return authorsHolder_;
	const std::size_t colon = options.keyHolder.rfind(':');
	const std::string path = options.keyHolder.substr(0, colon), name = options.keyHolder.substr(colon + 1);
	out.calling("loading the key holder module");
	holderModule_ = std::make_unique<standin::LoadedModule>(path);
	out.calling("firebird_plugin of the key holder module");
	holderModule_->entryPoint()(&holderMaster_);
	Firebird::IPluginFactory* holderFactory = nullptr;
	for (const standin::Registration& r : holderManager_.factories())
		if (r.type == Firebird::IPluginManager::TYPE_KEY_HOLDER && r.name == name)
			holderFactory = r.factory;
	if (!holderFactory)
		throw Skipped("the key holder module registers no key holder named " + name);
	holderConfig_ = std::make_unique<standin::FakePluginConfig>(options.keyHolderConfig);
	standin::HostStatus status;
	Firebird::IPluginBase* made =
		call("the key holder's createPlugin", [&] { return holderFactory->createPlugin(&status, holderConfig_.get()); });
	if (!made || !status.isClean())
		throw Skipped("the key holder's createPlugin failed: " + status.describe());
	authorsHolder_ = static_cast<Firebird::IKeyHolderPlugin*>(made);
	standin::FakeKeyCallback client({});
	call("the key holder's keyCallback", [&] { authorsHolder_->keyCallback(&status, &client); });
	if (!status.isClean())
		throw Skipped("the key holder's keyCallback failed: " + status.describe());
	return authorsHolder_;
}

IDbCryptPlugin* Session::create(standin::FakePluginConfig& config)
{
	standin::HostStatus status;
	Firebird::IPluginBase* plugin = call("createPlugin", [&] { return factory_->createPlugin(&status, &config); });
	if (!plugin)
		throw Failure("createPlugin returned null; status: " + status.describe() +
					  " (the engine then says the plug-in failed to load)");
	if (!status.isClean())
		throw Failure("createPlugin returned an instance and an error: " + status.describe() +
					  " (the engine raises the error and never releases the instance: ConfiguredPlugin::factory)");
	return static_cast<IDbCryptPlugin*>(plugin);
}

int Session::release(IDbCryptPlugin* p)
{
	return call("release", [&] { return p->release(); });
}

void Session::encrypt(IDbCryptPlugin* p, standin::HostStatus* s, unsigned n, const void* src, void* dst)
{
	call("encrypt of " + std::to_string(n) + " bytes" + (src == dst ? " in place" : ""),
		 [&] { p->encrypt(s, n, src, dst); });
}

void Session::decrypt(IDbCryptPlugin* p, standin::HostStatus* s, unsigned n, const void* src, void* dst)
{
	call("decrypt of " + std::to_string(n) + " bytes" + (src == dst ? " in place" : ""),
		 [&] { p->decrypt(s, n, src, dst); });
}

void Session::setKey(IDbCryptPlugin* p, std::vector<Firebird::IKeyHolderPlugin*> holders, const std::string& what)
{
	standin::HostStatus status;
	call("setKey " + what, [&]
		 { p->setKey(&status, static_cast<unsigned>(holders.size()), holders.empty() ? nullptr : holders.data(), keyName()); });
	expectClean(status, "setKey " + what);
}

void Session::setInfo(IDbCryptPlugin* p, const std::string& path)
{
	standin::FakeCryptInfo info(path);
	standin::HostStatus status;
	call("setInfo", [&] { p->setInfo(&status, &info); });
	expectClean(status, "setInfo");
}

IDbCryptPlugin* Session::createKeyed(standin::FakePluginConfig& config)
{
	IDbCryptPlugin* p = create(config);
	setInfo(p, databasePath);
	setKey(p, {keyHolder()}, authorsHolder() ? "with your key holder" : "with a holder offering the key");
	return p;
}

void expectClean(const standin::HostStatus& status, const std::string& after)
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

std::vector<unsigned> engineLengths(const Options& options)
{
	std::vector<unsigned> lengths = {16, 48};
	for (unsigned size : options.pageSizes)
		lengths.push_back(size - pageHeader);
	return lengths;
}

std::string joined(const std::vector<unsigned>& values)
{
	std::string s;
	for (unsigned x : values)
		s += (s.empty() ? "" : ", ") + std::to_string(x);
	return s;
}

}  // namespace check
