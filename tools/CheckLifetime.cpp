// Registration and lifetime: instances made per call, reference counts, the
// configuration each instance holds, the owner the engine gives it. The
// engine's plug-in manager (yvalve/PluginManager.cpp) calls createPlugin
// with a new IPluginConfig, then setOwner with that same object; it later
// releases an instance through releasePlugin, which reads getOwner, calls
// release, and releases the owner when release returns 0. Release may return
// any positive number while references remain (Firebird's own
// reference-counted classes return the count left).
#include "FakeConfig.h"
#include "FakeCryptInputs.h"
#include "InterfaceVersion.h"
#include "Session.h"

namespace check
{

std::string checkCreate(Session& s, const Options&)
{
	standin::FakePluginConfig config(s.entries());
	IDbCryptPlugin* a = s.create(config);
	const unsigned version = standin::interfaceVersion(a);
	IDbCryptPlugin* b = s.create(config);
	if (a == b)
		throw Failure("two createPlugin calls returned the same instance: the engine makes one per database (and, with "
					  "a key holder, per attachment), gives each its own owner and key (setOwner, setKey), and "
					  "releases each on its own");
	s.release(a);
	s.release(b);
	s.out.send("version", {std::to_string(version)});
	if (version < 5)
		throw Warning("the instance's dispatch table is IDbCryptPlugin version " + std::to_string(version) +
					  ", without setInfo (built with headers older than Firebird 3.0.x's): the engines call setInfo, "
					  "and take \"interface version too old\" from it as no error (CryptoManager::setDbInfo)");
	return "a new instance per call, IDbCryptPlugin v" + std::to_string(version) + ", status left clean";
}

std::string checkReferences(Session& s, const Options&)
{
	standin::FakePluginConfig config(s.entries());
	IDbCryptPlugin* p = s.create(config);
	const int held = config.refs();
	s.call("addRef", [&] { p->addRef(); });
	const int first = s.release(p);
	// Destroyed is what the engine cares about: an instance gone while a
	// reference remains has given back its configuration.
	if (config.refs() < held)
		throw Failure("release with a reference left destroyed the instance (its configuration was given back): "
					  "createPlugin must hand over one reference and addRef add one");
	if (first == 0)
		throw Failure("release with a reference left returned 0, and the instance lives on: the engine then releases "
					  "its owner (PluginManager::releasePlugin), and again at the real last release");
	const int last = s.release(p);
	if (last != 0)
		throw Failure("release of the engine's last reference returned " + std::to_string(last) +
					  ", not 0: the engine releases the instance's owner only on 0, so the owner, and with it "
					  "the module, would never be released");
	return "created with one reference; release returned " + std::to_string(first) + " while one remained, then 0";
}

std::string checkConfig(Session& s, const Options&)
{
	standin::FakePluginConfig config(s.entries());
	const int start = config.refs();
	IDbCryptPlugin* p = s.create(config);
	s.call("addRef", [&] { p->addRef(); });
	s.release(p);
	s.release(p);
	const int left = config.refs() - start;
	if (left > 0)
		throw Failure("after the last release the configuration holds " + std::to_string(left) +
					  " more reference(s) than before createPlugin: the instance kept its reference to "
					  "the configuration, or was never destroyed (the engine unloads a plug-in's module only "
					  "when its configuration is released)");
	if (left < 0)
		throw Failure("the configuration was released " + std::to_string(-left) +
					  " more time(s) than it was taken: the engine releases it too, so it would be freed while "
					  "in use");
	return "back to its start after the last release (" + std::to_string(config.addRefCalls()) + " addRef, " +
		   std::to_string(config.releaseCalls()) + " release)";
}

std::string checkOwner(Session& s, const Options&)
{
	standin::FakePluginConfig config(s.entries());
	standin::FakeOwner owner;
	IDbCryptPlugin* p = s.create(config);
	s.call("setOwner", [&] { p->setOwner(&owner); });
	Firebird::IReferenceCounted* got = s.call("getOwner", [&] { return p->getOwner(); });
	if (got != &owner)
		throw Failure("getOwner did not return the owner given to setOwner: the engine releases what getOwner "
					  "returns when the instance goes (PluginManager::releasePlugin)");
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
