// A shared library loaded the way the engine loads plug-in modules (dlopen
// with RTLD_NOW; LoadLibraryEx on Windows), and the symbols found in it by
// name. The one place of the stand-in that differs between platforms.
#pragma once

#include <string>

namespace loader
{

class SharedLibrary
{
public:
	// Throws std::runtime_error with the loader's message when `path` does
	// not load. The library is never unloaded: objects it handed out may be
	// reached until the process ends, as in the engine.
	explicit SharedLibrary(const std::string& path);

	// Null when the library does not export `name`.
	void* symbol(const char* name) const;

private:
	void* handle_;
};

}  // namespace loader
