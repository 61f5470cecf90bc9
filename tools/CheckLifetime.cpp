// Registration and lifetime: instances made per call, reference counts, the
// configuration each instance holds, the owner the engine gives it.
#include "FakeCryptInputs.h"
#include "FakePluginConfig.h"
#include "InterfaceVersion.h"
#include "Session.h"

namespace check
{

std::string checkCreate(Session& s, const Options&)
{
	host::FakePluginConfig config;
	IDbCryptPlugin* a = s.create(config);
	const unsigned version = host::interfaceVersion(a);
	IDbCryptPlugin* b = s.create(config);
	if (a == b)
		throw Failure("two createPlugin calls returned the same instance");
	s.release(a);
	s.release(b);
	if (version < 5)
		throw Failure("the instance's dispatch table is IDbCryptPlugin version " + std::to_string(version) +
					  "; Firebird 4.0 needs version 5 (setInfo)");
	s.out.line("version", std::to_string(version));
	return "a new instance per call, IDbCryptPlugin v" + std::to_string(version) + ", status left clean";
}

std::string checkReferences(Session& s, const Options&)
{
	host::FakePluginConfig config;
	IDbCryptPlugin* p = s.create(config);
	s.call("addRef", [&] { p->addRef(); });
	const int first = s.release(p);
	if (first != 1)
		throw Failure("release with a reference left returned " + std::to_string(first) +
					  ", expected 1 (did createPlugin hand over no reference?)");
	const int last = s.release(p);
	if (last != 0)
		throw Failure("release of the engine's last reference returned " + std::to_string(last) +
					  ", expected 0: createPlugin must hand over exactly one reference");
	return "created with one reference; release returned 1, then 0";
}

std::string checkConfig(Session& s, const Options&)
{
	host::FakePluginConfig config;
	const int start = config.refs();
	IDbCryptPlugin* p = s.create(config);
	s.call("addRef", [&] { p->addRef(); });
	s.release(p);
	s.release(p);
	const int left = config.refs() - start;
	if (left > 0)
		throw Failure("after the last release the configuration holds " + std::to_string(left) +
					  " more reference(s) than before createPlugin: the instance kept its reference to "
					  "the configuration, or was never destroyed");
	if (left < 0)
		throw Failure("the configuration was released " + std::to_string(-left) +
					  " more time(s) than it was taken");
	return "back to its start after the last release (" + std::to_string(config.addRefCalls()) + " addRef, " +
		   std::to_string(config.releaseCalls()) + " release)";
}

std::string checkOwner(Session& s, const Options&)
{
	host::FakePluginConfig config;
	host::FakeOwner owner;
	IDbCryptPlugin* p = s.create(config);
	s.call("setOwner", [&] { p->setOwner(&owner); });
	Firebird::IReferenceCounted* got = s.call("getOwner", [&] { return p->getOwner(); });
	if (got != &owner)
		throw Failure("getOwner did not return the owner given to setOwner");
	s.call("setOwner(null)", [&] { p->setOwner(nullptr); });
	if (s.call("getOwner", [&] { return p->getOwner(); }) != nullptr)
		throw Failure("getOwner after setOwner(null) did not return null");
	s.release(p);
	if (owner.heldRefs() > 0)
		throw Failure("the instance took " + std::to_string(owner.heldRefs()) +
					  " reference(s) to its owner and never gave them back");
	if (owner.heldRefs() < 0)
		throw Failure("the instance released its owner " + std::to_string(-owner.heldRefs()) +
					  " more time(s) than it took a reference to it");
	if (owner.calls())
		throw Warning(std::to_string(owner.calls()) +
					  " balanced reference-count call(s) on the owner: harmless, but the engine keeps the owner "
					  "alive itself");
	return "stored as given, without reference calls";
}

}  // namespace check
