#include "Template.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace check
{

namespace fs = std::filesystem;

namespace
{

const std::string placeholder = "mycrypt";

fs::path executableDir()
{
#ifdef _WIN32
	wchar_t path[MAX_PATH];
	const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
	return n ? fs::path(std::wstring(path, n)).parent_path() : fs::path();
#else
	std::error_code ec;
	const fs::path self = fs::read_symlink("/proc/self/exe", ec);
	return ec ? fs::path() : self.parent_path();
#endif
}

// The template: FBCRYPT_CHECK_TEMPLATE, else installed beside the checker,
// else the source tree the checker was built from.
fs::path templateDir()
{
	if (const char* given = std::getenv("FBCRYPT_CHECK_TEMPLATE"))
		return given;
	const fs::path exe = executableDir();
	for (const fs::path& p : {exe / ".." / "share" / "fbcrypt-check" / "template", exe / "share" / "template",
							  fs::path(FBCRYPT_CHECK_SOURCE_TEMPLATE)})
		if (fs::is_regular_file(p / "CMakeLists.txt"))
			return fs::weakly_canonical(p);
	return {};
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
	for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
		text.replace(at, from.size(), to);
	return text;
}

// mycrypt -> name, MyCrypt -> Name (its first letter up), MYCRYPT -> NAME.
std::string renamed(std::string text, const std::string& name)
{
	std::string upper = name, capital = name;
	for (char& c : upper)
		c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
	capital[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(capital[0])));
	text = replaced(text, "MYCRYPT", upper);
	text = replaced(text, "MyCrypt", capital);
	return replaced(text, placeholder, name);
}

}  // namespace

int newPlugin(const std::string& name, const std::string& dir)
{
	if (name.empty() || name.size() > 31 || !std::islower(static_cast<unsigned char>(name[0])) ||
		name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos)
	{
		std::cerr << "fbcrypt-check: --new-plugin: the name is a plug-in, file and CMake target name: a lower-case "
					 "letter, then lower-case letters, digits or _ (31 at most), not '" << name << "'; try --help\n";
		return 2;
	}
	const fs::path from = templateDir();
	if (from.empty())
	{
		std::cerr << "fbcrypt-check: --new-plugin: no template found (looked beside the checker in "
					 "../share/fbcrypt-check/template; FBCRYPT_CHECK_TEMPLATE names another)\n";
		return 2;
	}
	const fs::path to = dir;
	std::error_code ec;
	if (fs::exists(to) && !(fs::is_directory(to) && fs::is_empty(to, ec)))
	{
		std::cerr << "fbcrypt-check: --new-plugin: " << dir << " exists and is not an empty folder\n";
		return 2;
	}
	int files = 0;
	try
	{
		fs::create_directories(to);
		for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator(); ++it)
		{
			const fs::path relative = fs::relative(it->path(), from);
			if (relative.begin()->string() == "build")
			{
				it.disable_recursion_pending();  // a build folder left in the template is not copied
				continue;
			}
			const fs::path target = to / renamed(relative.generic_string(), name);
			if (it->is_directory())
				fs::create_directories(target);
			else if (it->is_regular_file())
			{
				std::ifstream in(it->path(), std::ios::binary);
				std::ostringstream text;
				text << in.rdbuf();
				std::ofstream out(target, std::ios::binary);
				out << renamed(text.str(), name);
				if (!out.flush())
					throw fs::filesystem_error("cannot write", target, std::make_error_code(std::errc::io_error));
				fs::permissions(target, fs::status(it->path()).permissions());
				++files;
			}
		}
	}
	catch (const fs::filesystem_error& e)
	{
		std::cerr << "fbcrypt-check: --new-plugin: " << e.what() << "\n";
		return 2;
	}
	std::cout << "fbcrypt-check: made " << dir << " (" << files << " files from " << from.string()
			  << "): the plug-in \"" << name << "\" and its key holder \"" << name << "_keys\". Next:\n"
			  << "  cmake -S " << dir << " -B " << dir << "/build && cmake --build " << dir
			  << "/build && ctest --test-dir " << dir << "/build\n"
			  << "and " << dir << "/README.md says the rest.\n";
	return 0;
}

}  // namespace check
