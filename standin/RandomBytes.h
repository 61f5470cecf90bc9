#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace standin
{

// A page's worth of reproducible noise: the same seed gives the same bytes.
inline std::vector<std::uint8_t> randomBytes(std::size_t n, unsigned seed)
{
	std::mt19937 gen(seed);
	std::vector<std::uint8_t> b(n);
	for (auto& x : b)
		x = static_cast<std::uint8_t>(gen());
	return b;
}

}  // namespace standin
