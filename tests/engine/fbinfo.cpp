// fbinfo DATABASE [PASSWORD]: the database information items that carry the
// crypt state, as the engine answers them through the client library, one
// "name value" line each. Items the engine does not know print "unknown".
// FIREBIRD and the other variables choose the engine, as for its own tools.
#include <cstdio>
#include <iostream>

#include "FbClient.h"

namespace
{

void print(const char* name, const std::map<std::uint8_t, std::vector<std::uint8_t>>& got, std::uint8_t item,
		   bool text)
{
	auto it = got.find(item);
	if (it == got.end())
		std::cout << name << " unknown\n";
	else if (text)
		std::cout << name << " \"" << std::string(it->second.begin(), it->second.end()) << "\"\n";
	else
		std::cout << name << " " << client::infoInteger(it->second) << "\n";
}

}  // namespace

int main(int argc, char** argv)
{
	if (argc < 2 || argc > 3)
	{
		std::cerr << "usage: fbinfo DATABASE [PASSWORD]\n";
		return 2;
	}
	try
	{
		client::Library library;
		client::Login login;
		if (argc == 3)
			login.password = argv[2];
		auto got = client::Connection(library, argv[1], login)
					   .info({fb_info_crypt_state, fb_info_crypt_key, fb_info_crypt_plugin, isc_info_end});
		print("crypt_state", got, fb_info_crypt_state, false);
		print("crypt_key", got, fb_info_crypt_key, true);
		print("crypt_plugin", got, fb_info_crypt_plugin, true);
		library.shutdown();
	}
	catch (const std::exception& e)
	{
		std::cerr << "fbinfo: " << e.what() << "\n";
		return 1;
	}
	return 0;
}
