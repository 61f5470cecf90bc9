#include "SharedLibrary.h"

#include <dlfcn.h>

#include <stdexcept>

namespace host
{

SharedLibrary::SharedLibrary(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
{
	if (!handle_)
	{
		const char* why = dlerror();
		throw std::runtime_error(why ? why : ("cannot load " + path));
	}
}

void* SharedLibrary::symbol(const char* name) const
{
	return dlsym(handle_, name);
}

}  // namespace host
