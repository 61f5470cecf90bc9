// Keys and the order of the engine's calls. Every release from 3.0.11 to 6.0
// calls setInfo (the database's path) and then setKey on every new instance
// (tests/engine/test_calls.py); an engine built on headers without setInfo
// calls setKey alone. 4.0 on pass the one key holder whose keyCallback
// volunteered, or none (CryptoManager::loadPlugin); 3.0 passes every
// configured holder at once. The key name is "" when the ALTER named none.
// setKey's error is the engine's answer where no holder works ("plugin NAME:
// ..."), so a plug-in that needs a key reports one there.
#include "FakeConfig.h"
#include "FakeCryptInputs.h"
#include "RandomBytes.h"
#include "Session.h"

namespace check
{

namespace
{

// encrypt into a separate buffer and decrypt in place, as pages go, at the
// lengths the engine uses; `after` says what came before, for the message.
std::string pagesRoundTrip(Session& s, IDbCryptPlugin* p, const Options& o, const std::string& after)
{
	standin::HostStatus status;
	for (unsigned n : engineLengths(o))
	{
		const Bytes x = standin::randomBytes(n, n + 11);
		Bytes page(n);
		s.encrypt(p, &status, n, x.data(), page.data());
		expectClean(status, "encrypt after " + after);
		s.decrypt(p, &status, n, page.data(), page.data());
		expectClean(status, "decrypt after " + after);
		if (page != x)
			return "after " + after + ", decrypt(encrypt(x)) differs from x" + firstDifference(page, x) +
				   " (a page of " + std::to_string(n) + " bytes)";
	}
	return "";
}

Bytes encrypted(Session& s, IDbCryptPlugin* p, const Bytes& x)
{
	standin::HostStatus status;
	Bytes y(x.size());
	s.encrypt(p, &status, static_cast<unsigned>(x.size()), x.data(), y.data());
	expectClean(status, "encrypt");
	return y;
}

}  // namespace

std::string checkSetInfo(Session& s, const Options&)
{
	standin::FakePluginConfig config(s.entries());
	standin::FakeCryptInfo info(databasePath);
	IDbCryptPlugin* p = s.create(config);
	standin::HostStatus status;
	s.call("setInfo", [&] { p->setInfo(&status, &info); });
	if (!status.isClean())
		throw Failure("setInfo left the status with: " + status.describe() +
					  ": the engine raises it, and the database does not attach (CryptoManager::setDbInfo)");
	s.release(p);
	return info.calls() ? "accepted a database path (and read it)" : "accepted a database path";
}

std::string checkKeyHolders(Session& s, const Options&)
{
	standin::FakePluginConfig config(s.entries());
	const std::string name = s.keyName();
	const std::string other = name.empty() ? "fbcrypt-key" : "";
	standin::FakeKeyHolder defaultKey(name, s.key()), otherKey(other, s.key()), none;
	struct Case
	{
		std::string what;
		std::vector<Firebird::IKeyHolderPlugin*> holders;
		std::string keyName;
		bool offered;  // a key is there to be had
	};
	std::vector<Case> cases = {
		{"with no key holders (the engine when none is configured)", {}, name, false},
		{"with a holder that offers no key", {&none}, name, false},
		{"with one holder offering the key (4.0 on: the holder that volunteered)", {&defaultKey}, name, true},
		{"with one holder offering a key under another name", {&otherKey}, other, true},
		{"with three holders at once, one offering none (3.0 passes every holder)", {&none, &otherKey, &defaultKey},
		 name, true},
	};
	if (s.authorsHolder() || !s.options.keyHolder.empty())
		cases.push_back({"with your key holder", {s.keyHolder()}, name, true});
	std::string withoutKey;
	for (const Case& c : cases)
	{
		IDbCryptPlugin* p = s.create(config);
		standin::HostStatus status;
		std::vector<Firebird::IKeyHolderPlugin*> sources = c.holders;
		s.call("setKey " + c.what, [&]
			   { p->setKey(&status, static_cast<unsigned>(sources.size()), sources.empty() ? nullptr : sources.data(), c.keyName.c_str()); });
		if (c.offered && !status.isClean())
			throw Failure("setKey " + c.what + " failed although the key was there: " + status.describe() +
						  " (the engine then tries the next holder, and without one the database does not attach)");
		if (!c.offered && !status.isClean() && withoutKey.empty())
			withoutKey = "; where no key was offered it reports " + status.describe();
		s.release(p);
		for (const standin::FakeKeyHolder* h : {&defaultKey, &otherKey, &none})
		{
			const std::string after = "after setKey " + c.what + " and the last release, ";
			if (h->heldRefs() > 0)
				throw Failure(after + "a key holder has " + std::to_string(h->heldRefs()) +
							  " reference(s) the plug-in took and never gave back (the engine unloads holders)");
			if (h->heldRefs() < 0)
				throw Failure(after + "the plug-in released a key holder " + std::to_string(-h->heldRefs()) +
							  " more time(s) than it took a reference to it (a reference it never took)");
		}
	}
	const bool read = defaultKey.keyReads() || otherKey.keyReads();
	std::string message = "no holders, one, three at once; the key under its name and another" +
						  std::string(s.authorsHolder() ? "; your key holder" : "") +
						  (read ? "; key read through keyHandle" : "; keys not read") + "; references given back" +
						  withoutKey;
	// With 6.0's headers a key callback has dispose(), and a plug-in gives
	// back each one it took: a holder that makes one per keyHandle would leak.
	if (standin::FakeKeyCallback::disposable)
	{
		const int taken = defaultKey.callbacksHandedOut() + otherKey.callbacksHandedOut();
		const int back = defaultKey.callbacksGivenBack() + otherKey.callbacksGivenBack();
		if (back > taken)
			throw Failure("the plug-in disposed " + std::to_string(back) + " key callback(s) but took " +
						  std::to_string(taken) + " from keyHandle");
		if (back < taken)
			throw Warning(message + "; but it took " + std::to_string(taken) + " key callback(s) from keyHandle and "
							  "gave back (dispose) " + std::to_string(back) +
							  ": 6.0 asks for it, and a holder that makes one per call leaks the rest");
		if (taken)
			message += "; every key callback given back (dispose)";
	}
	return message;
}

std::string checkCallOrder(Session& s, const Options& o)
{
	standin::FakePluginConfig config(s.entries());
	IDbCryptPlugin* v4 = s.create(config);
	s.setInfo(v4, databasePath);
	s.setKey(v4, {s.keyHolder()}, "after setInfo");
	const std::string withInfo = pagesRoundTrip(s, v4, o, "setInfo, then setKey");
	s.release(v4);
	if (!withInfo.empty())
		throw Failure(withInfo);

	IDbCryptPlugin* v3 = s.create(config);
	s.setKey(v3, {s.keyHolder()}, "without setInfo");
	const std::string alone = pagesRoundTrip(s, v3, o, "setKey without setInfo");
	s.release(v3);
	if (!alone.empty())
		throw Warning(alone + ": every release from 3.0.11 to 6.0 calls setInfo first, so only an engine built on "
							  "headers without setInfo would meet it");
	return "setInfo then setKey, and setKey alone; pages round-trip after each";
}

std::string checkDatabasePath(Session& s, const Options& o)
{
	standin::FakePluginConfig config(s.entries());
	IDbCryptPlugin* here = s.createKeyed(config);
	IDbCryptPlugin* moved = s.create(config);
	s.setInfo(moved, movedDatabasePath);
	s.setKey(moved, {s.keyHolder()}, "after setInfo with another path");
	const std::string keyCheck = "0123456789ABCDEF";
	const unsigned page = o.pageSizes.front() - pageHeader;
	for (const Bytes& x : {Bytes(keyCheck.begin(), keyCheck.end()), standin::randomBytes(page, 55)})
	{
		const Bytes a = encrypted(s, here, x), b = encrypted(s, moved, x);
		if (a != b)
			throw Failure("two instances with the same key and different database paths (setInfo) encrypt " +
						  std::to_string(x.size()) + " bytes differently" + firstDifference(b, a) +
						  ": a database moved, copied or restored elsewhere would not attach again (its key hash "
						  "and pages were made under the old path)");
	}
	s.release(here);
	s.release(moved);
	return "the same key encrypts alike under two database paths (16 and " + std::to_string(page) + " bytes)";
}

std::string checkNoKey(Session& s, const Options& o)
{
	if (!o.encrypting)
		throw Skipped("not asked for (--encrypting)");
	standin::FakePluginConfig config(s.entries());
	standin::FakeKeyHolder none;
	const std::vector<std::pair<std::string, std::vector<Firebird::IKeyHolderPlugin*>>> cases = {
		{"with no key holders", {}}, {"with a holder that offers no key", {&none}}};
	std::string refused;
	for (const auto& [what, holders] : cases)
	{
		IDbCryptPlugin* p = s.create(config);
		s.setInfo(p, databasePath);
		standin::HostStatus status;
		std::vector<Firebird::IKeyHolderPlugin*> sources = holders;
		s.call("setKey " + what, [&]
			   { p->setKey(&status, static_cast<unsigned>(sources.size()), sources.empty() ? nullptr : sources.data(), s.keyName()); });
		if (!status.isClean())
		{
			refused += (refused.empty() ? "" : "; ") + what + ": setKey reports " + status.describe();
			s.release(p);
			continue;
		}
		const Bytes x = standin::randomBytes(o.pageSizes.front() - pageHeader, 66);
		Bytes y(x.size());
		s.encrypt(p, &status, static_cast<unsigned>(x.size()), x.data(), y.data());
		s.release(p);
		if (!status.isClean())
		{
			refused += (refused.empty() ? "" : "; ") + what + ": encrypt reports " + status.describe();
			continue;
		}
		std::size_t changed = 0;
		for (std::size_t i = 0; i < x.size(); ++i)
			changed += x[i] != y[i];
		if (changed * 2 < x.size())
			throw Failure("setKey " + what + " succeeded, and encrypt then changed only " + std::to_string(changed) +
						  " of " + std::to_string(x.size()) +
						  " bytes: with no key the pages would be written as plaintext, while the engine says "
						  "the database is encrypted");
	}
	return refused.empty() ? "without a key it still changes the bytes (a key of its own)" : "without a key: " + refused;
}

}  // namespace check
