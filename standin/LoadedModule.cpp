#include "LoadedModule.h"

namespace standin
{

LoadedModule::LoadedModule(const std::string& path)
	: library_(path), entry_(reinterpret_cast<EntryPoint>(library_.symbol("firebird_plugin")))
{
}

}  // namespace standin
