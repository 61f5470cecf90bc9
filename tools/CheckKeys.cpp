// Keys and the order of the engine's calls. 3.0.11 and 4.0 call setInfo and
// then setKey on every new instance (tests/engine/test_calls.py); an engine
// whose interface predates setInfo calls setKey alone. 4.0 passes the one key
// holder that volunteered a key, or none; 3.0 passes every configured holder
// at once. The key name is "" when the ALTER named none.
#include "FakeCryptInputs.h"
#include "FakePluginConfig.h"
#include "RandomBytes.h"
#include "Session.h"

namespace check
{

namespace
{

// encrypt into a separate buffer and decrypt in place, as pages go, at the
// lengths the engine uses; `after` says what came before, for the message.
void pagesRoundTrip(Session& s, IDbCryptPlugin* p, const Options& o, const std::string& after)
{
	host::HostStatus status;
	for (unsigned n : engineLengths(o))
	{
		const Bytes x = host::randomBytes(n, n + 11);
		Bytes page(n);
		s.encrypt(p, &status, n, x.data(), page.data());
		expectClean(status, "encrypt after " + after);
		s.decrypt(p, &status, n, page.data(), page.data());
		expectClean(status, "decrypt after " + after);
		if (page != x)
			throw Failure("after " + after + ", decrypt(encrypt(x)) differs from x" + firstDifference(page, x) +
						  " (a page of " + std::to_string(n) + " bytes)");
	}
}

}  // namespace

std::string checkSetInfo(Session& s, const Options&)
{
	host::FakePluginConfig config;
	host::FakeCryptInfo info(databasePath);
	IDbCryptPlugin* p = s.create(config);
	host::HostStatus status;
	s.call("setInfo", [&] { p->setInfo(&status, &info); });
	expectClean(status, "setInfo");
	s.release(p);
	return info.calls() ? "accepted a database path (and read it)" : "accepted a database path";
}

std::string checkKeyHolders(Session& s, const Options&)
{
	host::FakePluginConfig config;
	host::FakeKeyHolder defaultKey("", standInKey()), namedKey("fbcrypt-key", standInKey()), none;
	struct Case
	{
		const char* what;
		std::vector<host::FakeKeyHolder*> holders;
		const char* keyName;
		bool offered;  // a key is there to be had
	};
	const Case cases[] = {
		{"with no key holders (the engine when none is configured)", {}, "", false},
		{"with no key holders and a key name", {}, "fbcrypt-key", false},
		{"with a holder that offers no key", {&none}, "", false},
		{"with one holder offering the default key (4.0: the holder that volunteered)", {&defaultKey}, "", true},
		{"with one holder offering the named key", {&namedKey}, "fbcrypt-key", true},
		{"with three holders at once, one offering none (3.0 passes every holder)", {&none, &defaultKey, &namedKey},
		 "fbcrypt-key", true},
	};
	std::string withoutKey;
	for (const Case& c : cases)
	{
		IDbCryptPlugin* p = s.create(config);
		std::vector<Firebird::IKeyHolderPlugin*> sources(c.holders.begin(), c.holders.end());
		host::HostStatus status;
		s.call(std::string("setKey ") + c.what, [&]
			   { p->setKey(&status, static_cast<unsigned>(sources.size()), sources.empty() ? nullptr : sources.data(), c.keyName); });
		if (c.offered)
			expectClean(status, std::string("setKey ") + c.what);
		else if (!status.isClean() && withoutKey.empty())
			withoutKey = "; where no key was offered it reports " + status.describe();
		s.release(p);
		for (const host::FakeKeyHolder* h : {&defaultKey, &namedKey, &none})
		{
			const std::string after = std::string("after setKey ") + c.what + " and the last release, ";
			if (h->heldRefs() > 0)
				throw Failure(after + "a key holder has " + std::to_string(h->heldRefs()) +
							  " reference(s) the plug-in took and never gave back (the engine unloads holders)");
			if (h->heldRefs() < 0)
				throw Failure(after + "the plug-in released a key holder " + std::to_string(-h->heldRefs()) +
							  " more time(s) than it took a reference to it (a reference it never took)");
		}
	}
	const bool read = defaultKey.keyReads() || namedKey.keyReads();
	std::string message = std::string("no holders, one, three at once; default and named key") +
						  (read ? ", key read through keyHandle" : ", keys not read") + "; references given back" +
						  withoutKey;
	// With 6.0's headers a key callback has dispose(), and a plug-in gives
	// back each one it took: a holder that makes one per keyHandle would leak.
	if (host::FakeKeyCallback::disposable)
	{
		const int taken = defaultKey.callbacksHandedOut() + namedKey.callbacksHandedOut();
		const int back = defaultKey.callbacksGivenBack() + namedKey.callbacksGivenBack();
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
	host::FakePluginConfig config;
	host::FakeKeyHolder holder("", standInKey());

	IDbCryptPlugin* v3 = s.create(config);
	s.setKey(v3, {&holder}, "", "without setInfo");
	pagesRoundTrip(s, v3, o, "setKey without setInfo");
	s.release(v3);

	IDbCryptPlugin* v4 = s.create(config);
	s.setInfo(v4, databasePath);
	s.setKey(v4, {&holder}, "", "after setInfo");
	pagesRoundTrip(s, v4, o, "setInfo, then setKey");
	s.release(v4);
	return "setKey alone, and setInfo then setKey; pages round-trip after each";
}

}  // namespace check
