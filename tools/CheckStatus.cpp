// Statuses and exceptions: what the engine gets back besides the bytes. The
// engines hand encrypt and decrypt clean statuses (tests/engine/test_calls.py),
// so a status left dirty is a WARN; velkor's own contract, that every call
// cleans its status, makes it a FAIL (--strict-status, implied by --identity).
// The interfaces' dispatchers are noexcept: an exception that leaves an
// operation ends the engine's process (std::terminate).
#include <functional>

#include "FakeCryptInputs.h"
#include "FakeConfig.h"
#include "RandomBytes.h"
#include "Session.h"

namespace check
{

using standin::randomBytes;

std::string checkDirtyStatus(Session& s, const Options& o)
{
	standin::FakePluginConfig config(s.entries());
	standin::FakeCryptInfo info(databasePath);
	Firebird::IKeyHolderPlugin* holders[] = {s.keyHolder()};
	IDbCryptPlugin* p = s.create(config);
	Bytes page = randomBytes(48, 1), out(48);
	std::vector<std::pair<std::string, std::function<void(standin::HostStatus*)>>> calls = {
		{"setKey", [&](standin::HostStatus* st) { p->setKey(st, 1, holders, s.keyName()); }},
		{"setInfo", [&](standin::HostStatus* st) { p->setInfo(st, &info); }},
		{"encrypt", [&](standin::HostStatus* st) { p->encrypt(st, 48, page.data(), out.data()); }},
		{"decrypt", [&](standin::HostStatus* st) { p->decrypt(st, 48, out.data(), out.data()); }},
	};
	std::string dirty;
	for (auto& [name, f] : calls)
	{
		standin::HostStatus status;
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

std::string checkExceptions(Session& s, const Options& o)
{
	standin::FakePluginConfig config(s.entries());
	standin::FakeOwner owner;
	standin::FakeCryptInfo info(databasePath);
	standin::HostStatus status;
	IDbCryptPlugin* p = s.create(config);
	s.call("addRef", [&] { p->addRef(); });
	s.call("setOwner", [&] { p->setOwner(&owner); });
	s.call("getOwner", [&] { p->getOwner(); });
	s.call("setInfo", [&] { p->setInfo(&status, &info); });
	// As the engine calls it when no key holder is configured: no holders, the key name "".
	s.call("setKey", [&] { p->setKey(&status, 0, nullptr, s.keyName()); });
	Firebird::IKeyHolderPlugin* holders[] = {s.keyHolder()};
	standin::HostStatus keyed;
	s.call("setKey", [&] { p->setKey(&keyed, 1, holders, s.keyName()); });
	// The engine gives pages only to an instance whose setKey succeeded
	// (key-holders FAILs one that fails with the key there).
	for (unsigned n : keyed.isClean() ? engineLengths(o) : std::vector<unsigned>{})
	{
		Bytes page = randomBytes(n, 2), out(n);
		s.encrypt(p, &status, n, page.data(), out.data());
		s.decrypt(p, &status, n, out.data(), out.data());
	}
	s.release(p);
	s.release(p);
	return "none reached the caller from any operation, at lengths " + joined(engineLengths(o));
}

}  // namespace check
