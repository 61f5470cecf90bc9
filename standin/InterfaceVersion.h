#pragma once

#include <firebird/Interface.h>

namespace standin
{

// The version field of an object's dispatch table: the interface version
// the object was built for, and so the slots the engine may call.
inline unsigned interfaceVersion(const Firebird::IVersioned* object)
{
	return static_cast<unsigned>(object->cloopVTable->version);
}

}  // namespace standin
