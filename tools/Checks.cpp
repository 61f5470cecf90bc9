#include "Checks.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "CallLog.h"
#include "FakeCryptInputs.h"
#include "FakeMaster.h"
#include "FakePluginConfig.h"
#include "HostStatus.h"
#include "InterfaceVersion.h"
#include "Isolated.h"
#include "LoadedModule.h"
#include "RandomBytes.h"

namespace check
{

namespace
{

using Bytes = std::vector<std::uint8_t>;
using Firebird::IDbCryptPlugin;
using host::randomBytes;

constexpr unsigned pageHeader = 16;

struct Failure : std::runtime_error
{
	using std::runtime_error::runtime_error;
};

struct Skipped : std::runtime_error
{
	using std::runtime_error::runtime_error;
};

// One load of the module, registered with a stand-in engine of its own.
class Session
{
public:
	Session(const std::string& path, std::size_t factoryIndex, const Reporter& out) : out(out)
	{
		out.calling("loading the module");
		module_ = std::make_unique<host::LoadedModule>(path);
		out.calling("firebird_plugin");
		module_->entryPoint()(&master_);
		factory_ = manager_.factories().at(factoryIndex).factory;
	}

	// Runs one call into the module; an exception that comes out of it fails the check.
	template <typename F> auto call(const std::string& what, F&& f) -> decltype(f())
	{
		out.calling(what);
		try
		{
			return f();
		}
		catch (const Failure&)
		{
			throw;
		}
		catch (const std::exception& e)
		{
			throw Failure("an exception escaped from " + what + ": " + e.what());
		}
		catch (...)
		{
			throw Failure("an exception of unknown type escaped from " + what);
		}
	}

	IDbCryptPlugin* create(host::FakePluginConfig& config)
	{
		host::HostStatus status;
		Firebird::IPluginBase* plugin =
			call("createPlugin", [&] { return factory_->createPlugin(&status, &config); });
		if (!plugin)
			throw Failure("createPlugin returned null; status: " + status.describe());
		if (!status.isClean())
			throw Failure("createPlugin returned an instance and an error: " + status.describe());
		return static_cast<IDbCryptPlugin*>(plugin);
	}

	int release(IDbCryptPlugin* p)
	{
		return call("release", [&] { return p->release(); });
	}

	void encrypt(IDbCryptPlugin* p, host::HostStatus* s, unsigned n, const void* src, void* dst)
	{
		call("encrypt of " + std::to_string(n) + " bytes", [&] { p->encrypt(s, n, src, dst); });
	}

	void decrypt(IDbCryptPlugin* p, host::HostStatus* s, unsigned n, const void* src, void* dst)
	{
		call("decrypt of " + std::to_string(n) + " bytes", [&] { p->decrypt(s, n, src, dst); });
	}

	const Reporter& out;

private:
	host::CallLog log_;
	host::FakePluginManager manager_{log_};
	host::FakeMaster master_{log_, &manager_};
	std::unique_ptr<host::LoadedModule> module_;
	Firebird::IPluginFactory* factory_ = nullptr;
};

void expectClean(const host::HostStatus& status, const std::string& after)
{
	if (!status.isClean())
		throw Failure(after + " left the status with: " + status.describe());
}

std::string firstDifference(const Bytes& got, const Bytes& expected)
{
	for (std::size_t i = 0; i < expected.size(); ++i)
		if (got[i] != expected[i])
			return "at byte " + std::to_string(i) + " of " + std::to_string(expected.size());
	return "nowhere";
}

std::string joined(const std::vector<unsigned>& v)
{
	std::string s;
	for (unsigned x : v)
		s += (s.empty() ? "" : ", ") + std::to_string(x);
	return s;
}

// The checks. Each returns its PASS message or throws Failure / Skipped.

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
	if (owner.calls())
		throw Failure(std::to_string(owner.calls()) +
					  " reference-count call(s) on the owner; the engine keeps the owner alive itself");
	return "stored as given, without reference calls";
}

std::string checkSetInfo(Session& s, const Options&)
{
	host::FakePluginConfig config;
	host::FakeCryptInfo info("/var/lib/firebird/data/fbcrypt-check.fdb");
	IDbCryptPlugin* p = s.create(config);
	host::HostStatus status;
	s.call("setInfo", [&] { p->setInfo(&status, &info); });
	expectClean(status, "setInfo");
	s.release(p);
	return info.calls() ? "accepted a database path (and read it)" : "accepted a database path";
}

std::string checkSetKey(Session& s, const Options&)
{
	host::FakePluginConfig config;
	host::FakeKeyHolder holder;
	Firebird::IKeyHolderPlugin* holders[] = {&holder};
	IDbCryptPlugin* p = s.create(config);
	host::HostStatus status;
	s.call("setKey with no key holders", [&] { p->setKey(&status, 0, nullptr, nullptr); });
	expectClean(status, "setKey with no key holders");
	s.call("setKey with a key holder", [&] { p->setKey(&status, 1, holders, "fbcrypt-check"); });
	expectClean(status, "setKey with a stand-in key holder");
	s.release(p);
	return "no key holders, and a stand-in holder";
}

std::string checkDirtyStatus(Session& s, const Options&)
{
	host::FakePluginConfig config;
	host::FakeCryptInfo info("/var/lib/firebird/data/fbcrypt-check.fdb");
	IDbCryptPlugin* p = s.create(config);
	Bytes page = randomBytes(48, 1), out(48);
	std::vector<std::pair<std::string, std::function<void(host::HostStatus*)>>> calls = {
		{"setKey", [&](host::HostStatus* st) { p->setKey(st, 0, nullptr, nullptr); }},
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
	if (!dirty.empty())
		throw Failure(
			"a status handed in dirty stayed dirty (the stock status wrappers only init() what they "
			"set themselves): " +
			dirty);
	return "setKey, setInfo, encrypt and decrypt clean a status handed in dirty";
}

std::string checkExceptions(Session& s, const Options&)
{
	host::FakePluginConfig config;
	host::FakeOwner owner;
	host::FakeCryptInfo info("/var/lib/firebird/data/fbcrypt-check.fdb");
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

std::string checkRoundTrip(Session& s, const Options& o)
{
	host::FakePluginConfig config;
	IDbCryptPlugin* p = s.create(config);
	host::HostStatus status;
	for (unsigned n : engineLengths(o))
	{
		const Bytes x = randomBytes(n, n);
		Bytes src = x, y(n), z(n);
		s.encrypt(p, &status, n, src.data(), y.data());
		expectClean(status, "encrypt of " + std::to_string(n) + " bytes");
		if (src != x)
			throw Failure("encrypt changed its source buffer " + firstDifference(src, x));
		s.decrypt(p, &status, n, y.data(), z.data());
		expectClean(status, "decrypt of " + std::to_string(n) + " bytes");
		if (z != x)
			throw Failure("decrypt(encrypt(x)) differs from x " + firstDifference(z, x) +
						  " (separate buffers)");
		Bytes page = x;
		s.encrypt(p, &status, n, page.data(), page.data());
		s.decrypt(p, &status, n, page.data(), page.data());
		expectClean(status, "in-place round trip of " + std::to_string(n) + " bytes");
		if (page != x)
			throw Failure("decrypt(encrypt(x)) differs from x " + firstDifference(page, x) + " (in place)");
	}
	s.release(p);
	return "lengths " + joined(engineLengths(o)) + "; separate buffers and in place";
}

std::string checkIdentity(Session& s, const Options& o)
{
	if (!o.identity)
		throw Skipped("not asked for (--identity)");
	host::FakePluginConfig config;
	IDbCryptPlugin* p = s.create(config);
	host::HostStatus status;
	for (unsigned n : engineLengths(o))
	{
		const Bytes x = randomBytes(n, n + 7);
		Bytes y(n, 0);
		s.encrypt(p, &status, n, x.data(), y.data());
		if (y != x)
			throw Failure("encrypt(x) differs from x " + firstDifference(y, x));
		s.decrypt(p, &status, n, x.data(), y.data());
		if (y != x)
			throw Failure("decrypt(x) differs from x " + firstDifference(y, x));
		Bytes page = x;
		s.encrypt(p, &status, n, page.data(), page.data());
		if (page != x)
			throw Failure("encrypt in place changed the page " + firstDifference(page, x));
	}
	s.release(p);
	return "encrypt(x) == x and decrypt(x) == x at every length";
}

std::string checkThreads(Session& s, const Options& o)
{
	host::FakePluginConfig config;
	IDbCryptPlugin* p = s.create(config);
	const unsigned n = o.pageSizes.front() - pageHeader;
	const int rounds = 2000;
	std::atomic<int> wrong{0}, badRelease{0}, escaped{0};
	s.out.calling(std::to_string(o.threads) + " threads sharing one instance");
	std::vector<std::thread> threads;
	for (unsigned t = 0; t < o.threads; ++t)
		threads.emplace_back(
			[&, t]
			{
			try
			{
				host::HostStatus status;
				Bytes x = randomBytes(n, t), y(n), z(n);
				for (int i = 0; i < rounds; ++i)
				{
					x[static_cast<std::size_t>(i) % n] = static_cast<std::uint8_t>(i + t);
					p->addRef();
					p->encrypt(&status, n, x.data(), y.data());
					p->decrypt(&status, n, y.data(), z.data());
					if (z != x || !status.isClean())
						wrong.fetch_add(1);
					if (p->release() != 1)
						badRelease.fetch_add(1);
				}
			}
			catch (...)
			{
				escaped.fetch_add(1);
			}
		});
	for (auto& th : threads)
		th.join();
	if (escaped)
		throw Failure("an exception escaped in " + std::to_string(escaped.load()) + " thread(s)");
	if (wrong)
		throw Failure(std::to_string(wrong.load()) + " of " + std::to_string(rounds * o.threads) +
					  " concurrent round trips came back wrong");
	if (badRelease)
		throw Failure(std::to_string(badRelease.load()) +
					  " concurrent release(s) returned 0 while references remained: the count is not atomic");
	if (s.release(p) != 0 || config.refs() != 1)
		throw Failure(
			"after the threads, the last release did not destroy the instance (count lost updates?)");
	return std::to_string(o.threads) + " threads x " + std::to_string(rounds) + " round trips of " +
		   std::to_string(n) + " bytes on one instance";
}

void measureThroughput(Session& s, const Options& o)
{
	host::FakePluginConfig config;
	IDbCryptPlugin* p = s.create(config);
	host::HostStatus status;
	using Clock = std::chrono::steady_clock;
	for (unsigned n : engineLengths(o))
	{
		Bytes x = randomBytes(n, 3), y(n);
		double mbps[2];
		for (int mode = 0; mode < 2; ++mode)
		{
			std::uint64_t bytes = 0;
			const auto start = Clock::now();
			auto elapsed = Clock::duration::zero();
			while (elapsed < std::chrono::milliseconds(30))
			{
				for (int i = 0; i < 256; ++i)
				{
					if (mode == 0)
						p->encrypt(&status, n, x.data(), y.data());
					else
						p->decrypt(&status, n, y.data(), y.data());
				}
				bytes += 256ull * n;
				elapsed = Clock::now() - start;
			}
			mbps[mode] = static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
		}
		std::ostringstream line;
		line << n << ' ' << mbps[0] << ' ' << mbps[1];
		s.out.line("throughput", line.str());
	}
	s.release(p);
}

struct Check
{
	const char* name;
	std::string (*run)(Session&, const Options&);
};

const Check checks[] = {
	{"create", checkCreate},
	{"references", checkReferences},
	{"config", checkConfig},
	{"owner", checkOwner},
	{"setInfo", checkSetInfo},
	{"setKey", checkSetKey},
	{"dirty-status", checkDirtyStatus},
	{"exceptions", checkExceptions},
	{"round-trip", checkRoundTrip},
	{"identity", checkIdentity},
	{"threads", checkThreads},
};

}  // namespace

std::vector<unsigned> engineLengths(const Options& options)
{
	std::vector<unsigned> lengths = {16, 48};
	for (unsigned size : options.pageSizes)
		lengths.push_back(size - pageHeader);
	return lengths;
}

Discovery discover(const std::string& module)
{
	ChildOutcome child = runIsolated(
		[&](const Reporter& out)
		{
		std::unique_ptr<host::LoadedModule> loaded;
		try
		{
			loaded = std::make_unique<host::LoadedModule>(module);
		}
		catch (const std::exception& e)
		{
			out.line("error", std::string("not a loadable module: ") + e.what());
			return;
		}
		if (!loaded->entryPoint())
		{
			out.line("error", "the module does not export firebird_plugin");
			return;
		}
		host::CallLog log;
		host::FakePluginManager manager(log);
		host::FakeMaster master(log, &manager);
		out.calling("firebird_plugin");
		loaded->entryPoint()(&master);
		for (Firebird::IPluginModule* m : manager.modules())
			out.line("module", std::to_string(host::interfaceVersion(m)));
		for (const host::Registration& r : manager.factories())
			out.line("factory", std::to_string(r.type) + " " +
									std::to_string(host::interfaceVersion(r.factory)) + " " + r.name);
	});

	Discovery d;
	for (const auto& [kind, text] : child.lines)
	{
		std::istringstream in(text);
		if (kind == "error")
			d.error = text;
		else if (kind == "module")
			d.moduleVersions.push_back(static_cast<unsigned>(std::stoul(text)));
		else if (kind == "factory")
		{
			Factory f{};
			in >> f.type >> f.version;
			in.ignore(1);
			std::getline(in, f.name);
			f.index = d.factories.size();
			d.factories.push_back(f);
		}
	}
	if (!child.finished && d.error.empty())
		d.error = "the module " + child.death + " in " + child.lastCall +
				  (child.escaped.empty() ? "" : ": an exception escaped: " + child.escaped);
	return d;
}

PluginReport checkPlugin(const Options& options, const Factory& factory)
{
	PluginReport report;
	report.name = factory.name;
	for (const Check& c : checks)
	{
		ChildOutcome child = runIsolated(
			[&](const Reporter& out)
			{
			Session session(options.module, factory.index, out);
			try
			{
				out.line("pass", c.run(session, options));
			}
			catch (const Failure& f)
			{
				out.line("fail", f.what());
			}
			catch (const Skipped& sk)
			{
				out.line("skip", sk.what());
			}
		});
		Result r{c.name, Outcome::fail, ""};
		for (const auto& [kind, text] : child.lines)
		{
			if (kind == "pass" || kind == "fail" || kind == "skip")
			{
				r.outcome = kind == "pass" ? Outcome::pass : kind == "skip" ? Outcome::skip : Outcome::fail;
				r.message = text;
			}
			else if (kind == "version")
				report.instanceVersion = static_cast<unsigned>(std::stoul(text));
		}
		if (!child.finished)
		{
			r.outcome = Outcome::fail;
			r.message = "the process " + child.death + " in " + child.lastCall +
						(child.escaped.empty() ? "" : ": an exception escaped: " + child.escaped) +
						(r.message.empty() ? "" : " (" + r.message + ")");
		}
		report.results.push_back(r);
	}

	ChildOutcome timed = runIsolated(
		[&](const Reporter& out)
		{
		Session session(options.module, factory.index, out);
		measureThroughput(session, options);
	});
	for (const auto& [kind, text] : timed.lines)
		if (kind == "throughput")
		{
			std::istringstream in(text);
			Throughput t{};
			in >> t.length >> t.encryptMBps >> t.decryptMBps;
			report.throughput.push_back(t);
		}
	return report;
}

}  // namespace check
