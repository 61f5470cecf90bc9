#include "SharedLibrary.h"

#include <stdexcept>

#ifdef _WIN32
// ---- Windows: LoadLibraryEx, as Firebird's Windows loader calls it ----------

#include <windows.h>

#include <algorithm>

namespace loader
{

namespace
{

std::string lastError()
{
	const DWORD code = GetLastError();
	char text[512] = "";
	FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
				   nullptr);
	std::string out = text;
	while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
		out.pop_back();
	return out + " (error " + std::to_string(code) + ")";
}

}  // namespace

// Without an extension Windows appends ".dll": "plugins/velkor64" loads
// plugins\velkor64.dll, and never libvelkor64.dll.
SharedLibrary::SharedLibrary(const std::string& path)
{
	std::string native = path;
	std::replace(native.begin(), native.end(), '/', '\\');
	handle_ = LoadLibraryExA(native.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
	if (!handle_)
		throw std::runtime_error(path + ": " + lastError());
}

void* SharedLibrary::symbol(const char* name) const
{
	return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

}  // namespace loader

#else
// ---- POSIX: dlopen with RTLD_NOW, as Firebird's loader calls it ------------

#include <dlfcn.h>

namespace loader
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

}  // namespace loader

#endif
