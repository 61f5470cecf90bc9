#include "FakeCryptInputs.h"

#include <algorithm>
#include <cstring>

namespace standin
{

void CallCounter::touch()
{
	calls_.fetch_add(1);
}

unsigned FakeKeyCallback::callback(unsigned, const void*, unsigned bufferLength, void* buffer)
{
	counter_.touch();
	const std::size_t n = std::min<std::size_t>(key_.size(), bufferLength);
	if (buffer && n)
		std::memcpy(buffer, key_.data(), n);
	return static_cast<unsigned>(key_.size());
}

}  // namespace standin
