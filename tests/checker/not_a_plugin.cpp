// A loadable library that is not a Firebird plug-in module: no firebird_plugin.
#include <firebird/Interface.h>

extern "C" FB_DLL_EXPORT int not_a_plugin()
{
	return 1;
}
