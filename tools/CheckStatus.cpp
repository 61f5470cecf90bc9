// Statuses and exceptions: what the engine gets back besides the bytes. The
// engines hand encrypt and decrypt clean statuses (tests/engine/test_calls.py),
// so a status left dirty is a WARN; velkor's own contract, that every call
// cleans its status, makes it a FAIL (--strict-status, implied by --identity).
#include <functional>

#include "FakeCryptInputs.h"
#include "FakePluginConfig.h"
#include "RandomBytes.h"
#include "Session.h"

namespace check
{

using host::randomBytes;

std::string checkDirtyStatus(Session& s, const Options& o)
{
	host::FakePluginConfig config;
	host::FakeCryptInfo info(databasePath);
	host::FakeKeyHolder holder("", standInKey());
	Firebird::IKeyHolderPlugin* holders[] = {&holder};
	IDbCryptPlugin* p = s.create(config);
	Bytes page = randomBytes(48, 1), out(48);
	std::vector<std::pair<std::string, std::function<void(host::HostStatus*)>>> calls = {
		{"setKey", [&](host::HostStatus* st) { p->setKey(st, 1, holders, ""); }},
		{"setInfo", [&](host::HostStatus* st) { p->setInfo(st, &info); }},
		{"encrypt", [&](host::HostStatus* st) { p->encrypt(st, 48, page.data(), out.data()); }},
		{"decrypt", [&](host::HostStatus* st) { p->decrypt(st, 48, out.data(), out.data()); }},
	};
	std::string dirty;
	for (auto& [name, f] : calls)
	{
		host::HostStatus status;
		status.makeDirty();
		s.call(name, [&] { f(&status); });
		if (!status.isClean())
			dirty += (dirty.empty() ? "" : "; ") + name + " left " + status.describe();
	}
	s.release(p);
	if (dirty.empty())
		return "setKey, setInfo, encrypt and decrypt clean a status handed in dirty";
	const std::string what = "a status handed in dirty stayed dirty (the stock status wrappers only init() what "
							 "they set themselves): " + dirty;
	if (o.strictStatus)
		throw Failure(what);
	throw Warning(what + "; harmless in the engines, which hand these calls clean statuses (--strict-status fails it)");
}

std::string checkExceptions(Session& s, const Options&)
{
	host::FakePluginConfig config;
	host::FakeOwner owner;
	host::FakeCryptInfo info(databasePath);
	host::HostStatus status;
	Bytes page = randomBytes(4080, 2), out(4080);
	IDbCryptPlugin* p = s.create(config);
	s.call("addRef", [&] { p->addRef(); });
	s.call("setOwner", [&] { p->setOwner(&owner); });
	s.call("getOwner", [&] { p->getOwner(); });
	s.call("setInfo", [&] { p->setInfo(&status, &info); });
	s.call("setKey", [&] { p->setKey(&status, 0, nullptr, nullptr); });
	s.encrypt(p, &status, 4080, page.data(), out.data());
	s.decrypt(p, &status, 4080, out.data(), out.data());
	s.release(p);
	s.release(p);
	return "none reached the caller from any operation";
}

}  // namespace check
