// Page images and the buffers they come in. Pages are encrypted into a
// separate buffer and decrypted in place, page size minus 16 bytes at a
// time (CryptoManager::internalRead and write); 4.0's gbak -crypt encrypts
// 256-byte chunks in place and decrypts them into a separate buffer. No
// engine pairs buffers otherwise, so a difference there is a WARN. The engine readies every instance (setInfo,
// setKey) before it hands it a page, so the checks here do too. The engine keeps a hash of
// encrypt("0123456789ABCDEF") and (4.0) encrypts a '$'-padded text of the
// crypt state to sign the header, and compares both at every attach.
#include <chrono>
#include <cstring>
#include <sstream>

#include "FakeCryptInputs.h"
#include "FakeConfig.h"
#include "RandomBytes.h"
#include "Session.h"

namespace check
{

namespace
{

using standin::randomBytes;

// Lengths the engine's tools use besides pages: the key check, the header,
// gbak's chunks, and more multiples of 16.
std::vector<unsigned> bufferLengths(const Options& o)
{
	std::vector<unsigned> lengths = {16, 32, 48, 64, 128, 256, 512, 1024, 2048};
	for (unsigned size : o.pageSizes)
		lengths.push_back(size - pageHeader);
	return lengths;
}

// A page buffer as the engine's page cache has one: page-aligned, the body
// (what the plug-in sees) 16 bytes in.
class EnginePage
{
public:
	explicit EnginePage(unsigned bodyLength) : memory_(bodyLength + pageHeader + 4096, 0)
	{
		const auto address = reinterpret_cast<std::uintptr_t>(memory_.data());
		page_ = memory_.data() + (4096 - address % 4096) % 4096;
	}
	std::uint8_t* body() { return page_ + pageHeader; }

private:
	Bytes memory_;
	std::uint8_t* page_;
};

}  // namespace

std::string checkRoundTrip(Session& s, const Options& o)
{
	standin::FakePluginConfig config(s.entries());
	IDbCryptPlugin* p = s.createKeyed(config);
	standin::HostStatus status;
	for (unsigned n : engineLengths(o))
	{
		// As a page goes: out of the cache into a buffer of the engine's, then
		// read back and decrypted where it lies.
		const Bytes x = randomBytes(n, n);
		Bytes src = x, page(n);
		s.encrypt(p, &status, n, src.data(), page.data());
		expectClean(status, "encrypt of " + std::to_string(n) + " bytes");
		if (src != x)
			throw Failure("encrypt changed its source buffer" + firstDifference(src, x) +
						  ": that is the engine's page in its cache");
		s.decrypt(p, &status, n, page.data(), page.data());
		expectClean(status, "decrypt of " + std::to_string(n) + " bytes in place");
		if (page != x)
			throw Failure("decrypt(encrypt(x)) differs from x" + firstDifference(page, x) +
						  " (encrypt into a separate buffer, decrypt in place, as the engine's pages go)");
	}
	s.release(p);
	return "lengths " + joined(engineLengths(o)) + ": encrypt into a separate buffer, decrypt in place";
}

std::string checkBuffers(Session& s, const Options& o)
{
	standin::FakePluginConfig config(s.entries());
	IDbCryptPlugin* p = s.createKeyed(config);
	standin::HostStatus status;
	struct Way
	{
		bool encryptInPlace, decryptInPlace;
		const char* what;
		unsigned engineLength;  // the length an engine uses this way, 0 for none
	};
	const Way ways[] = {
		{true, false, "encrypt in place, decrypt into a separate buffer (gbak -crypt: backup, then restore)", 256},
		{false, false, "encrypt and decrypt into separate buffers", 0},
		{true, true, "encrypt and decrypt in place", 0},
	};
	std::string unused;  // differences in ways no engine uses
	for (const Way& w : ways)
		for (unsigned n : bufferLengths(o))
		{
			const Bytes x = randomBytes(n, n * 3 + w.encryptInPlace + 2 * w.decryptInPlace);
			Bytes a = x, b(n), c(n);
			Bytes& encrypted = w.encryptInPlace ? a : b;
			s.encrypt(p, &status, n, a.data(), encrypted.data());
			expectClean(status, "encrypt of " + std::to_string(n) + " bytes");
			Bytes& decrypted = w.decryptInPlace ? encrypted : c;
			s.decrypt(p, &status, n, encrypted.data(), decrypted.data());
			expectClean(status, "decrypt of " + std::to_string(n) + " bytes");
			if (decrypted == x)
				continue;
			const std::string what = std::string(w.what) + ": decrypt(encrypt(x)) differs from x" +
									 firstDifference(decrypted, x) + " at length " + std::to_string(n);
			if (n == w.engineLength)
				throw Failure(what);
			if (unused.empty())
				unused = what;
		}
	s.release(p);
	if (!unused.empty())
		throw Warning(unused + "; no engine pairs buffers so at that length (pages: encrypt into a separate buffer, "
							   "decrypt in place; gbak -crypt: 256-byte chunks encrypted in place, decrypted into a "
							   "separate buffer)");
	return "gbak's chunks, and every other pairing of separate and in-place buffers at lengths " +
		   joined(bufferLengths(o));
}

std::string checkRepeatable(Session& s, const Options& o)
{
	standin::FakePluginConfig config(s.entries());
	IDbCryptPlugin* a = s.createKeyed(config);
	IDbCryptPlugin* b = s.createKeyed(config);
	standin::HostStatus status;
	struct Text
	{
		std::string what;
		Bytes bytes;
	};
	std::string state = "crypt state: encrypted, plugin fbcrypt-check";
	state.resize((state.size() + 15) / 16 * 16, '$');
	const std::string keyCheck = "0123456789ABCDEF";
	const unsigned page = o.pageSizes.front() - pageHeader;
	const Text texts[] = {
		{"the key check \"0123456789ABCDEF\" (its hash is kept in the header and compared at every attach)",
		 Bytes(keyCheck.begin(), keyCheck.end())},
		{"the header's '$'-padded crypt state text (4.0 signs the header with it)", Bytes(state.begin(), state.end())},
		{"a page of " + std::to_string(page) + " bytes", randomBytes(page, 77)},
	};
	auto encrypted = [&](IDbCryptPlugin* p, const Bytes& x)
	{
		Bytes y(x.size());
		s.encrypt(p, &status, static_cast<unsigned>(x.size()), x.data(), y.data());
		expectClean(status, "encrypt");
		return y;
	};
	for (const Text& t : texts)
	{
		const Bytes first = encrypted(a, t.bytes);
		const Bytes again = encrypted(a, t.bytes);
		if (again != first)
			throw Failure("encrypting " + t.what + " twice gave different bytes" + firstDifference(again, first) +
						  ": every later attach would fail (\"bad crypt key\")");
		const Bytes other = encrypted(b, t.bytes);
		if (other != first)
			throw Failure("two instances with the same key encrypt " + t.what + " differently" +
						  firstDifference(other, first) + ": an attachment with its own instance would fail");
	}
	s.release(a);
	s.release(b);
	return "the same bytes encrypt the same across calls and across two instances with the same key (16, " +
		   std::to_string(state.size()) + ", " + std::to_string(page) + " bytes)";
}

std::string checkIdentity(Session& s, const Options& o)
{
	if (!o.identity)
		throw Skipped("not asked for (--identity)");
	standin::FakePluginConfig config(s.entries());
	IDbCryptPlugin* p = s.createKeyed(config);
	standin::HostStatus status;
	for (unsigned n : engineLengths(o))
	{
		const Bytes x = randomBytes(n, n + 7);
		Bytes y(n, 0);
		s.encrypt(p, &status, n, x.data(), y.data());
		if (y != x)
			throw Failure("encrypt(x) differs from x" + firstDifference(y, x));
		s.decrypt(p, &status, n, x.data(), y.data());
		if (y != x)
			throw Failure("decrypt(x) differs from x" + firstDifference(y, x));
		Bytes page = x;
		s.encrypt(p, &status, n, page.data(), page.data());
		if (page != x)
			throw Failure("encrypt in place changed the page" + firstDifference(page, x));
	}
	s.release(p);
	return "encrypt(x) == x and decrypt(x) == x at every length";
}

std::string checkEncrypting(Session& s, const Options& o)
{
	if (!o.encrypting)
		throw Skipped("not asked for (--encrypting)");
	standin::FakePluginConfig config(s.entries());
	IDbCryptPlugin* p = s.createKeyed(config);
	standin::HostStatus status;
	std::size_t fewest = ~std::size_t{0};
	for (unsigned n : engineLengths(o))
	{
		const Bytes x = randomBytes(n, n + 5);
		for (bool inPlace : {false, true})
		{
			Bytes y = inPlace ? x : Bytes(n);
			s.encrypt(p, &status, n, inPlace ? y.data() : x.data(), y.data());
			expectClean(status, "encrypt");
			std::size_t changed = 0;
			for (std::size_t i = 0; i < n; ++i)
				changed += y[i] != x[i];
			if (changed * 2 < n)
				throw Failure("encrypt" + std::string(inPlace ? " in place" : "") + " changed only " +
							  std::to_string(changed) + " of " + std::to_string(n) +
							  " bytes: the pages would be stored (nearly) as plaintext");
			fewest = std::min(fewest, changed * 100 / n);
		}
	}
	s.release(p);
	return "encrypt changes at least " + std::to_string(fewest) + "% of the bytes at every length";
}

void measureThroughput(Session& s, const Options& o)
{
	standin::FakePluginConfig config(s.entries());
	IDbCryptPlugin* p = s.createKeyed(config);
	standin::HostStatus status;
	using Clock = std::chrono::steady_clock;
	for (unsigned n : engineLengths(o))
	{
		// Two page buffers, as the engine writes a page from its cache into a
		// buffer of its own and reads one back in place.
		EnginePage cached(n), written(n);
		const Bytes x = randomBytes(n, 3);
		std::memcpy(cached.body(), x.data(), n);
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
						p->encrypt(&status, n, cached.body(), written.body());
					else
						p->decrypt(&status, n, written.body(), written.body());
				}
				bytes += 256ull * n;
				elapsed = Clock::now() - start;
			}
			mbps[mode] = static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
		}
		s.out.send("throughput", {std::to_string(n), std::to_string(mbps[0]), std::to_string(mbps[1])});
	}
	s.release(p);
}

}  // namespace check
