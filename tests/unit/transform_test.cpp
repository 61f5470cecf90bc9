#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Plugin.h"
#include "RandomBytes.h"

namespace
{

using Bytes = std::vector<std::uint8_t>;
using standin::randomBytes;
// The direction under test, by name: ctest lists the cases with it.
using Direction = const char*;

// Key hash and header checksum, then the page bodies of every page size.
const unsigned engineLengths[] = {16, 48, 4080, 8176, 16368, 32752};

class Transform : public CryptTest, public ::testing::WithParamInterface<Direction>
{
protected:
	void TearDown() override { EXPECT_EQ(crypt->release(), 0); }
	void run(unsigned n, const void* src, void* dst) { call(&status, n, src, dst); }
	void call(standin::HostStatus* s, unsigned n, const void* src, void* dst)
	{
		if (std::strcmp(GetParam(), "encrypt") == 0)
			crypt->encrypt(s, n, src, dst);
		else
			crypt->decrypt(s, n, src, dst);
	}
};

}  // namespace

TEST_P(Transform, CopiesSeparateBuffersExactly)
{
	for (unsigned n : engineLengths)
	{
		const Bytes src = randomBytes(n, n);
		Bytes dst(n + 64, 0xA5);  // the tail must stay untouched
		status.makeDirty();
		const unsigned inits = status.initCalls();
		run(n, src.data(), dst.data());
		EXPECT_TRUE(status.isClean()) << n << ": " << status.describe();
		EXPECT_EQ(status.initCalls(), inits + 1);
		EXPECT_EQ(Bytes(dst.begin(), dst.begin() + n), src) << n;
		EXPECT_EQ(Bytes(dst.begin() + n, dst.end()), Bytes(64, 0xA5)) << n;
	}
}

TEST_P(Transform, InPlaceLeavesTheBufferAsItWas)
{
	for (unsigned n : engineLengths)
	{
		const Bytes original = randomBytes(n, n + 1);
		Bytes page = original;
		status.makeDirty();
		run(n, page.data(), page.data());
		EXPECT_TRUE(status.isClean()) << status.describe();
		EXPECT_EQ(page, original) << n;
	}
}

TEST_P(Transform, LengthZeroTouchesNothing)
{
	Bytes src = randomBytes(32, 7), dst(32, 0x5A);
	status.makeDirty();
	run(0, src.data(), dst.data());
	EXPECT_TRUE(status.isClean());
	EXPECT_EQ(dst, Bytes(32, 0x5A));
	run(0, nullptr, nullptr);
	EXPECT_TRUE(status.isClean());
}

// dst ahead of src (a forward overlap) and behind it, at many distances.
TEST_P(Transform, OverlappingRangesGetTheSourceAsItWas)
{
	const unsigned n = 1000;
	for (int shift = -130; shift <= 130; ++shift)
	{
		if (shift == 0)
			continue;
		Bytes buffer = randomBytes(n + 300, static_cast<unsigned>(shift + 1000));
		const std::size_t from = 150, to = static_cast<std::size_t>(150 + shift);
		Bytes expected = buffer;
		std::copy(buffer.begin() + from, buffer.begin() + from + n, expected.begin() + to);
		run(n, buffer.data() + from, buffer.data() + to);
		ASSERT_TRUE(status.isClean());
		ASSERT_EQ(buffer, expected) << "shift " << shift;
	}
}

TEST_P(Transform, NullBufferWithALengthIsAnErrorAndCopiesNothing)
{
	Bytes buffer(64, 0x33);
	run(64, nullptr, buffer.data());
	EXPECT_EQ(status.errorCode(), isc_random);
	EXPECT_NE(status.errorText().find("null source buffer"), std::string::npos) << status.describe();
	EXPECT_EQ(buffer, Bytes(64, 0x33));

	run(64, buffer.data(), nullptr);
	EXPECT_EQ(status.errorCode(), isc_random);
	EXPECT_NE(status.errorText().find("null destination buffer"), std::string::npos) << status.describe();

	status.init();
	run(64, nullptr, nullptr);
	EXPECT_EQ(status.errorCode(), isc_random) << "same null address";

	run(63, buffer.data(), buffer.data() + 1);  // the next good call is clean again
	EXPECT_TRUE(status.isClean());
}

TEST_P(Transform, NullStatusStillCopies)
{
	const Bytes src = randomBytes(8176, 3);
	Bytes dst(8176, 0);
	call(nullptr, 8176, src.data(), dst.data());
	EXPECT_EQ(dst, src);
}

INSTANTIATE_TEST_SUITE_P(BothDirections, Transform, ::testing::Values("encrypt", "decrypt"),
						 [](const auto& info) { return std::string(info.param); });

TEST_F(CryptTest, DecryptOfEncryptIsTheInput)
{
	for (unsigned n : engineLengths)
	{
		const Bytes plain = randomBytes(n, 11 * n);
		Bytes stored(n), page;
		crypt->encrypt(&status, n, plain.data(), stored.data());  // page write: separate buffers
		page = stored;
		crypt->decrypt(&status, n, page.data(), page.data());  // page read: in place
		EXPECT_TRUE(status.isClean());
		EXPECT_EQ(stored, plain) << n;
		EXPECT_EQ(page, plain) << n;
	}
	EXPECT_EQ(crypt->release(), 0);
}
