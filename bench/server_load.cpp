// A light load client for the server benchmarks: one process, N connections
// to a Firebird server, each in a thread of its own, through Firebird's own
// client library. Each connection runs one kind of work for a fixed time:
//   insert  batches of ROWS rows into load_t, a transaction each
//   scan    a full scan of the sample's customers and orders
// and the total is printed as one JSON object: {"work": ..., "per_second": ...}.
//   server_load DATABASE PASSWORD insert|scan CONNECTIONS SECONDS [ROWS]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "FbClient.h"

int main(int argc, char** argv)
{
	if (argc < 6 || argc > 7)
	{
		std::fprintf(stderr, "usage: server_load DATABASE PASSWORD insert|scan CONNECTIONS SECONDS [ROWS]\n");
		return 2;
	}
	const std::string database = argv[1], work = argv[3];
	const int connections = std::atoi(argv[4]), seconds = std::atoi(argv[5]);
	const int rows = argc == 7 ? std::atoi(argv[6]) : 100;
	if ((work != "insert" && work != "scan") || connections < 1 || connections > 256 || seconds < 1 ||
		seconds > 600 || rows < 1 || rows > 100000)
	{
		std::fprintf(stderr, "server_load: bad arguments\n");
		return 2;
	}
	try
	{
		client::Library library;
		client::Login login{"SYSDBA", argv[2]};
		std::atomic<long long> done{0};
		std::atomic<int> ready{0}, failed{0};
		std::atomic<bool> go{false};
		std::vector<std::thread> threads;
		for (int c = 0; c < connections; ++c)
			threads.emplace_back(
				[&, c]
				{
				try
				{
					client::Connection connection(library, database, login);
					const std::string insert =
						"execute block as declare i integer = 0; begin while (i < " + std::to_string(rows) +
						") do begin insert into load_t (conn, val, note) values (" + std::to_string(c) +
						", :i, rpad('load ' || :i, 80, '.')); i = i + 1; end end";
					++ready;
					while (!go)
						std::this_thread::yield();
					const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
					long long mine = 0;
					while (std::chrono::steady_clock::now() < end)
					{
						if (work == "insert")
						{
							connection.execute(insert);
							mine += rows;
						}
						else
						{
							connection.query("select count(*), sum(char_length(name)) from customers");
							connection.query("select count(*), max(note) from orders");
							++mine;
						}
					}
					done += mine;
				}
				catch (const std::exception& e)
				{
					std::fprintf(stderr, "server_load: connection %d: %s\n", c, e.what());
					++failed;
					++ready;
				}
			});
		while (ready < connections)
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		const auto start = std::chrono::steady_clock::now();
		go = true;
		for (auto& t : threads)
			t.join();
		const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
		if (failed)
			return 1;
		std::printf("{\"work\": \"%s\", \"connections\": %d, \"seconds\": %.3f, \"done\": %lld, \"per_second\": %.2f}\n",
					work.c_str(), connections, elapsed, done.load(), static_cast<double>(done) / elapsed);
	}
	catch (const std::exception& e)
	{
		std::fprintf(stderr, "server_load: %s\n", e.what());
		return 1;
	}
	return 0;
}
