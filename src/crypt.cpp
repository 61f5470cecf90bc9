#include "crypt.h"

#include <cstring>

namespace velkor
{

namespace
{

// Both directions: reset the status, then one overlap-safe copy. Page reads
// come in place (src == dst) and copy nothing.
inline void passThrough(TStatus* status, unsigned length, const void* src, void* dst, const char* nullSource,
						const char* nullTarget)
{
	status->init();
	if (length == 0)
		return;
	if (!src || !dst)
	{
		status->setError(src ? nullTarget : nullSource);
		return;
	}
	if (src != dst)
		std::memmove(dst, src, length);
}

}  // namespace

// IPluginFactory

Firebird::IPluginBase* TMyFactory::createPlugin(TStatus*, Firebird::IPluginConfig* factoryParameter)
{
	// The status is left as it came; a failed allocation throws, and the
	// interface base records it there and returns null.
	TMyCrypt* crypt = new TMyCrypt(factoryParameter);
	crypt->addRef();
	return crypt;
}

// TMyCrypt

TMyCrypt::TMyCrypt(Firebird::IPluginConfig* config) : FConfig(config)
{
	if (FConfig)
		FConfig->addRef();
}

TMyCrypt::~TMyCrypt()
{
	if (FConfig)
		FConfig->release();
	FConfig = nullptr;
}

// IReferenceCounted

void TMyCrypt::addRef()
{
	FCounter.fetch_add(1, std::memory_order_relaxed);
}

int TMyCrypt::release()
{
	// acq_rel: every other holder's use happens before the delete.
	if (FCounter.fetch_sub(1, std::memory_order_acq_rel) - 1 != 0)
		return 1;
	delete this;
	return 0;
}

// IPluginBase

void TMyCrypt::setOwner(Firebird::IReferenceCounted* ref)
{
	FOwner = ref;
}

Firebird::IReferenceCounted* TMyCrypt::getOwner()
{
	return FOwner;
}

// IDbCryptPlugin

void TMyCrypt::setKey(TStatus* status, unsigned, Firebird::IKeyHolderPlugin**, const char*)
{
	// Any key will do: the transform does not use one.
	status->init();
}

void TMyCrypt::encrypt(TStatus* status, unsigned length, const void* src, void* dst)
{
	passThrough(status, length, src, dst,
				"velkor: encrypt called with a null source buffer and a non-zero length",
				"velkor: encrypt called with a null destination buffer and a non-zero length");
}

void TMyCrypt::decrypt(TStatus* status, unsigned length, const void* src, void* dst)
{
	passThrough(status, length, src, dst,
				"velkor: decrypt called with a null source buffer and a non-zero length",
				"velkor: decrypt called with a null destination buffer and a non-zero length");
}

void TMyCrypt::setInfo(TStatus* status, Firebird::IDbCryptInfo*)
{
	status->init();
}

}  // namespace velkor
