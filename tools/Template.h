// fbcrypt-check --new-plugin NAME DIR: a new plug-in project in DIR, copied
// from the template that is installed beside the checker
// (<prefix>/share/fbcrypt-check/template; examples/crypt-plugin in the
// source tree), with the template's name, mycrypt, replaced by NAME.
#pragma once

#include <string>

namespace check
{

// Makes the project and says what to do next; returns the exit status.
int newPlugin(const std::string& name, const std::string& dir);

}  // namespace check
