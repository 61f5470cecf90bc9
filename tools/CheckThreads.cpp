// Threads, as a server has them: any number of attachment, cache-writer,
// sweep and crypt threads call encrypt and decrypt on one instance at once,
// and with a key holder in use each attachment makes an instance of its own.
#include <atomic>
#include <chrono>
#include <thread>

#include "FakeCryptInputs.h"
#include "FakeConfig.h"
#include "RandomBytes.h"
#include "Session.h"

namespace check
{

using standin::randomBytes;

std::string checkThreads(Session& s, const Options& o)
{
	standin::FakePluginConfig config(s.entries());
	IDbCryptPlugin* p = s.createKeyed(config);
	// The configuration's count while the instance lives: below it, the
	// instance is gone (when it holds a reference to its configuration at all).
	const int held = config.refs();
	const bool holdsConfig = held > 1;
	const unsigned n = o.pageSizes.front() - pageHeader;
	const int rounds = 2000;
	std::atomic<int> wrong{0}, early{0}, escaped{0};
	s.out.calling(std::to_string(o.threads) + " threads sharing one instance");
	std::vector<std::thread> threads;
	for (unsigned t = 0; t < o.threads; ++t)
		threads.emplace_back(
			[&, t]
			{
			try
			{
				standin::HostStatus status;
				Bytes x = randomBytes(n, t), y(n), z(n);
				for (int i = 0; i < rounds; ++i)
				{
					x[static_cast<std::size_t>(i) % n] = static_cast<std::uint8_t>(i + t);
					p->addRef();
					p->encrypt(&status, n, x.data(), y.data());
					p->decrypt(&status, n, y.data(), z.data());
					if (z != x || !status.isClean())
						wrong.fetch_add(1);
					// This thread's reference goes; the check's own remains, so
					// the instance must live on: any number but 0 may come back.
					if (p->release() == 0 || (holdsConfig && config.refs() < held))
						early.fetch_add(1);
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
	if (early)
		throw Failure(std::to_string(early.load()) + " concurrent release(s) destroyed the instance, or said so (0), "
					  "while a reference remained: the count is not atomic");
	if (s.release(p) != 0 || (holdsConfig && config.refs() >= held))
		throw Failure("after the threads, the last release did not destroy the instance: the count lost updates "
					  "(it is not atomic)");
	return std::to_string(o.threads) + " threads x " + std::to_string(rounds) + " round trips of " +
		   std::to_string(n) + " bytes on one instance";
}

std::string checkSharing(Session& s, const Options& o)
{
	standin::FakePluginConfig config(s.entries());
	IDbCryptPlugin* shared = s.createKeyed(config);
	Firebird::IKeyHolderPlugin* holder = s.keyHolder();  // made now, before the threads share it
	const char* keyName = s.keyName();
	const unsigned n = o.pageSizes.front() - pageHeader;
	standin::HostStatus status;

	// In turn first: another attachment's instance made and released between
	// one page's encrypt and its decrypt (after one round trip alone).
	{
		const Bytes x = randomBytes(n, 99);
		Bytes page(n);
		s.encrypt(shared, &status, n, x.data(), page.data());
		s.decrypt(shared, &status, n, page.data(), page.data());
		if (page != x)
			throw Failure("decrypt(encrypt(x)) differs from x on one instance alone" + firstDifference(page, x) +
						  " (see round-trip)");
	}
	for (int round = 0; round < 8; ++round)
	{
		const Bytes x = randomBytes(n, 100 + round);
		Bytes page(n);
		s.encrypt(shared, &status, n, x.data(), page.data());
		IDbCryptPlugin* other = s.createKeyed(config);
		Bytes scratch(n);
		s.encrypt(other, &status, n, x.data(), scratch.data());
		s.release(other);
		s.decrypt(shared, &status, n, page.data(), page.data());
		expectClean(status, "decrypt");
		if (page != x)
			throw Failure("an instance made and released between a page's encrypt and its decrypt on another "
						  "instance changed the result" + firstDifference(page, x) +
						  ": instances share state (a server makes one per attachment)");
	}

	// Then at once: workers on the shared instance, makers creating and
	// releasing instances of their own. Bounded in rounds.
	const unsigned workers = o.threads, makers = std::max(2u, o.threads / 2);
	const int rounds = 1000;
	std::atomic<int> wrong{0}, escaped{0}, made{0};
	std::atomic<unsigned> working{workers};
	s.out.calling(std::to_string(workers) + " threads on one instance while " + std::to_string(makers) +
				  " threads make and release instances");
	std::vector<std::thread> threads;
	for (unsigned t = 0; t < makers; ++t)
		threads.emplace_back(
			[&, t]
			{
			try
			{
				standin::HostStatus st;
				Firebird::IKeyHolderPlugin* sources[] = {holder};
				standin::FakeCryptInfo info(databasePath);
				Bytes x = randomBytes(48, 300 + t), y(48);
				for (int i = 0; working.load() > 0 && i < 100 * rounds; ++i)
				{
					auto* p = static_cast<IDbCryptPlugin*>(s.factory()->createPlugin(&st, &config));
					if (!p)
					{
						wrong.fetch_add(1);
						continue;
					}
					p->setInfo(&st, &info);
					p->setKey(&st, 1, sources, keyName);
					p->encrypt(&st, 48, x.data(), y.data());
					p->release();
					made.fetch_add(1);
				}
			}
			catch (...)
			{
				escaped.fetch_add(1);
			}
		});
	for (unsigned t = 0; t < workers; ++t)
		threads.emplace_back(
			[&, t]
			{
			try
			{
				standin::HostStatus st;
				Bytes x = randomBytes(n, 200 + t), page(n);
				// Begin once every maker has made an instance (bounded).
				for (int wait = 0; made.load() < static_cast<int>(makers) && wait < 10000; ++wait)
					std::this_thread::sleep_for(std::chrono::milliseconds(1));
				for (int i = 0; i < rounds; ++i)
				{
					x[static_cast<std::size_t>(i) % n] = static_cast<std::uint8_t>(i + t);
					shared->encrypt(&st, n, x.data(), page.data());
					shared->decrypt(&st, n, page.data(), page.data());
					if (page != x || !st.isClean())
						wrong.fetch_add(1);
				}
			}
			catch (...)
			{
				escaped.fetch_add(1);
			}
			working.fetch_sub(1);
		});
	for (auto& th : threads)
		th.join();
	if (escaped)
		throw Failure("an exception escaped in " + std::to_string(escaped.load()) + " thread(s)");
	if (wrong)
		throw Failure(std::to_string(wrong.load()) + " of " + std::to_string(rounds * workers) +
					  " round trips on the shared instance came back wrong while other threads made and released "
					  "instances");
	s.release(shared);
	if (config.refs() != 1)
		throw Failure("after every instance was released the configuration holds " +
					  std::to_string(config.refs() - 1) + " reference(s) more than before");
	return "8 instances made and released between a page's encrypt and decrypt; " + std::to_string(workers) +
		   " threads x " + std::to_string(rounds) + " round trips on one instance while " + std::to_string(makers) +
		   " threads made and released " + std::to_string(made.load()) + " instances";
}

}  // namespace check
