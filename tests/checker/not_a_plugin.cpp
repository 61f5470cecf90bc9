// A loadable library that is not a Firebird plug-in module: no firebird_plugin.
extern "C" __attribute__((visibility("default"))) int not_a_plugin()
{
	return 1;
}
