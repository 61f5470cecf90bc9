// One instance shared by several threads, as the engine shares it between
// attachments, the cache writer and the crypt thread. Meant for the TSan
// build; the other builds check the results.
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Plugin.h"

namespace
{
constexpr int threadCount = 4;
}

TEST(Threads, SharedInstanceCopiesAndCountsCorrectly)
{
	standin::FakePluginConfig config;
	Firebird::IDbCryptPlugin* crypt = createCrypt(&config);
	std::atomic<int> failures{0};
	std::vector<std::thread> threads;
	for (int t = 0; t < threadCount; ++t)
		threads.emplace_back(
			[&, t]
			{
			standin::HostStatus status;
			std::vector<std::uint8_t> page(8176), copy(8176);
			for (int i = 0; i < 5000; ++i)
			{
				crypt->addRef();
				page[static_cast<std::size_t>(i) % page.size()] = static_cast<std::uint8_t>(i + t);
				crypt->encrypt(&status, 8176, page.data(), copy.data());
				crypt->decrypt(&status, 8176, copy.data(), copy.data());
				if (copy != page || !status.isClean())
					failures.fetch_add(1);
				if (crypt->release() != 1)
					failures.fetch_add(1);
			}
		});
	for (auto& th : threads)
		th.join();
	EXPECT_EQ(failures.load(), 0);
	EXPECT_EQ(config.releaseCalls(), 0);
	EXPECT_EQ(crypt->release(), 0);
	EXPECT_EQ(config.refs(), 1);
}

TEST(Threads, LastOfConcurrentReleasesDestroysExactlyOnce)
{
	standin::FakePluginConfig config;
	for (int round = 0; round < 200; ++round)
	{
		Firebird::IDbCryptPlugin* crypt = createCrypt(&config);
		for (int i = 1; i < threadCount; ++i)
			crypt->addRef();
		std::atomic<int> zeros{0};
		std::atomic<bool> go{false};
		std::vector<std::thread> threads;
		for (int t = 0; t < threadCount; ++t)
			threads.emplace_back(
				[&]
				{
				while (!go.load())
					std::this_thread::yield();
				if (crypt->release() == 0)
					zeros.fetch_add(1);
			});
		go.store(true);
		for (auto& th : threads)
			th.join();
		ASSERT_EQ(zeros.load(), 1) << "round " << round;
		ASSERT_EQ(config.releaseCalls(), round + 1);
	}
	EXPECT_EQ(config.refs(), 1);
}
