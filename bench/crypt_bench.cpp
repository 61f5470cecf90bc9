// The page path through the real built module: libvelkor64 loaded with
// dlopen, entered through firebird_plugin with the engine stand-in, each
// call made through the IDbCryptPlugin dispatch table with an engine-like
// status, as the engine makes it. Beside each case, the same bytes moved by
// plain std::memmove in this binary; the report divides one by the other.
//
// Buffers are laid out as the engine's are: page-aligned pages, the body
// (what the plug-in sees) 16 bytes in, so that a page write copies between
// two addresses whose distance is a multiple of 4096. Some CPUs copy much
// more slowly when that distance is a little more than a multiple of 4096
// (4K aliasing); the distance sweep shows it, for the module and memmove alike.
#include <cstdint>
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "CallLog.h"
#include "FakeMaster.h"
#include "FakeConfig.h"
#include "HostStatus.h"
#include "LoadedModule.h"

namespace
{

enum Layout
{
	separate,  // the engine's page write: encrypt into another buffer
	inPlace,   // the engine's page read: decrypt where the page is
	overlap    // dst one byte past src
};

struct Engine
{
	standin::CallLog log;
	standin::FakePluginManager manager{log};
	standin::FakeMaster master{log, &manager};
	standin::FakePluginConfig config;
	Firebird::IDbCryptPlugin* crypt = nullptr;

	Engine()
	{
		static standin::LoadedModule module(VELKOR_MODULE_PATH);
		module.entryPoint()(&master);
		standin::HostStatus status;
		crypt = static_cast<Firebird::IDbCryptPlugin*>(
			manager.factories().at(0).factory->createPlugin(&status, &config));
	}
};

// One instance for every case and thread, as the engine shares one.
Engine& engine()
{
	static Engine e;
	return e;
}

constexpr std::size_t pageHeader = 16;

// Two pages of page-aligned memory; src is the first page's body, dst the
// second's (separate), the same (in place), or src + 1 (overlap). A
// `distance` moves dst by that many bytes more, for the sweep.
struct Buffers
{
	std::size_t pageBytes;
	std::vector<std::uint8_t> memory;
	std::uint8_t* src;
	std::uint8_t* dst;

	Buffers(std::size_t n, Layout layout, std::size_t distance = 0)
		: pageBytes((n + pageHeader + 4095) / 4096 * 4096), memory(3 * pageBytes + 4096, 0x5A)
	{
		const auto address = reinterpret_cast<std::uintptr_t>(memory.data());
		src = memory.data() + (4096 - address % 4096) % 4096 + pageHeader;
		dst = layout == separate ? src + pageBytes + distance : layout == inPlace ? src : src + 1;
	}
};

void moduleCall(benchmark::State& state, Layout layout)
{
	const auto n = static_cast<unsigned>(state.range(0));
	Buffers b(n, layout);
	standin::HostStatus status;
	Firebird::IDbCryptPlugin* crypt = engine().crypt;
	for (auto _ : state)
	{
		if (layout == inPlace)
			crypt->decrypt(&status, n, b.src, b.dst);
		else
			crypt->encrypt(&status, n, b.src, b.dst);
		benchmark::ClobberMemory();
	}
	if (!status.isClean())
		state.SkipWithError(status.describe().c_str());
	state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * n);
}

void plainMemmove(benchmark::State& state, Layout layout)
{
	const auto n = static_cast<std::size_t>(state.range(0));
	Buffers b(n, layout);
	for (auto _ : state)
	{
		benchmark::DoNotOptimize(b.src);
		benchmark::DoNotOptimize(b.dst);
		std::memmove(b.dst, b.src, n);
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(n));
}

// The floor for the in-place case: a call through the same dispatch table
// that only resets the status (setInfo).
void emptyCall(benchmark::State& state)
{
	standin::HostStatus status;
	Firebird::IDbCryptPlugin* crypt = engine().crypt;
	for (auto _ : state)
	{
		crypt->setInfo(&status, nullptr);
		benchmark::ClobberMemory();
	}
}

void lengths(benchmark::internal::Benchmark* b)
{
	for (int n : {16, 48, 4080, 8176, 16368, 32752})
		b->Arg(n);
}

// One page write of 8176 bytes at distances (dst - src) mod 4096 of 0 (the
// engine's), 16 to 64 (where some CPUs take the slow path) and 1024, 3072
// (also seen in the engine).
void distance(benchmark::State& state, bool module)
{
	constexpr unsigned n = 8176;
	Buffers b(n, separate, static_cast<std::size_t>(state.range(0)));
	standin::HostStatus status;
	Firebird::IDbCryptPlugin* crypt = engine().crypt;
	for (auto _ : state)
	{
		if (module)
			crypt->encrypt(&status, n, b.src, b.dst);
		else
		{
			benchmark::DoNotOptimize(b.src);
			benchmark::DoNotOptimize(b.dst);
			std::memmove(b.dst, b.src, n);
		}
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * n);
}

void distances(benchmark::internal::Benchmark* b)
{
	for (int d : {0, 16, 32, 48, 64, 1024, 3072})
		b->Arg(d);
}

#define CASES(layout)                                                                                        \
	BENCHMARK_CAPTURE(moduleCall, layout, layout)->Apply(lengths)->ThreadRange(1, 2);                        \
	BENCHMARK_CAPTURE(plainMemmove, layout, layout)->Apply(lengths)->ThreadRange(1, 2)

CASES(separate);
CASES(inPlace);
CASES(overlap);
BENCHMARK(emptyCall)->ThreadRange(1, 2);
BENCHMARK_CAPTURE(distance, module, true)->Apply(distances);
BENCHMARK_CAPTURE(distance, memmove, false)->Apply(distances);

}  // namespace

BENCHMARK_MAIN();
