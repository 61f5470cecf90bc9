// A plug-in module loaded the way the engine loads one (SharedLibrary), then
// the entry point looked up by its exported name.
#pragma once

#include <string>

#include <firebird/Interface.h>

#include "SharedLibrary.h"

namespace standin
{

using EntryPoint = void (*)(Firebird::IMaster*);

class LoadedModule
{
public:
	// Throws std::runtime_error with the loader's message when `path` does
	// not load. The module is never unloaded: the objects it registered
	// stay reachable for as long as the process runs, as in the engine.
	explicit LoadedModule(const std::string& path);

	// Null when the module does not export `firebird_plugin`.
	EntryPoint entryPoint() const { return entry_; }

private:
	loader::SharedLibrary library_;
	EntryPoint entry_;
};

}  // namespace standin
