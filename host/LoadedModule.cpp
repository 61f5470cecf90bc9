#include "LoadedModule.h"

#include <dlfcn.h>

#include <stdexcept>

namespace host
{

LoadedModule::LoadedModule(const std::string& path)
	: handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)), entry_(nullptr)
{
	if (!handle_)
	{
		const char* why = dlerror();
		throw std::runtime_error(why ? why : ("cannot load " + path));
	}
	entry_ = reinterpret_cast<EntryPoint>(dlsym(handle_, "firebird_plugin"));
}

}  // namespace host
