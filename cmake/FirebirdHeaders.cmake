# Firebird's public interface headers (firebird/Interface.h and friends).
# Set FIREBIRD_INCLUDE_DIR to the folder that holds firebird/Interface.h and
# ibase.h; otherwise the standard include paths are searched.
include(CheckCXXSourceCompiles)

find_path(FIREBIRD_INCLUDE_DIR firebird/Interface.h
  DOC "Folder holding Firebird's public headers (firebird/Interface.h, ibase.h)")
if(NOT FIREBIRD_INCLUDE_DIR OR NOT EXISTS "${FIREBIRD_INCLUDE_DIR}/firebird/Interface.h")
  message(FATAL_ERROR
    "Firebird's public headers were not found (firebird/Interface.h). "
    "Run scripts/setup, or set -DFIREBIRD_INCLUDE_DIR=<folder holding firebird/Interface.h>.")
endif()
if(NOT EXISTS "${FIREBIRD_INCLUDE_DIR}/ibase.h" AND NOT EXISTS "${FIREBIRD_INCLUDE_DIR}/firebird/ibase.h")
  message(FATAL_ERROR "${FIREBIRD_INCLUDE_DIR} holds firebird/Interface.h but no ibase.h beside it.")
endif()

# The interface versions this module is built for: the Firebird 4.0 forms.
# Older header sets produce dispatch tables the engine would misread.
set(CMAKE_REQUIRED_INCLUDES "${FIREBIRD_INCLUDE_DIR}")
set(CMAKE_REQUIRED_QUIET ON)
unset(VELKOR_FIREBIRD_INTERFACES_OK CACHE)
check_cxx_source_compiles([[
#include <firebird/Interface.h>
#include <iberror.h>
using namespace Firebird;
static_assert(IReferenceCounted::VERSION >= 2, "");
static_assert(IPluginBase::VERSION >= 3, "");
static_assert(IPluginModule::VERSION >= 3, "");
static_assert(IPluginFactory::VERSION >= 2, "");
static_assert(IDbCryptPlugin::VERSION >= 5, "");
static_assert(IDbCryptInfo::VERSION >= 3, "");
static_assert(IStatus::VERSION >= 3, "");
static_assert(IMaster::VERSION >= 2, "");
static_assert(IPluginManager::VERSION >= 2, "");
static_assert(IPluginConfig::VERSION >= 3, "");
static_assert(IPluginManager::TYPE_DB_CRYPT == 9, "");
int main() { return isc_random == 335544382L ? 0 : 1; }
]] VELKOR_FIREBIRD_INTERFACES_OK)
unset(CMAKE_REQUIRED_INCLUDES)
unset(CMAKE_REQUIRED_QUIET)
if(NOT VELKOR_FIREBIRD_INTERFACES_OK)
  message(FATAL_ERROR
    "The Firebird headers in ${FIREBIRD_INCLUDE_DIR} are older than this module needs "
    "(IPluginModule 3, IPluginFactory 2, IDbCryptPlugin 5 with setInfo, IStatus 3), "
    "or do not compile. Use the Firebird 4.0 headers: run scripts/setup.")
endif()

file(STRINGS "${FIREBIRD_INCLUDE_DIR}/ibase.h" _fb_api REGEX "^#define FB_API_VER[ \t]+[0-9]+")
string(REGEX REPLACE ".*FB_API_VER[ \t]+([0-9]+).*" "\\1" FIREBIRD_API_VER "${_fb_api}")
message(STATUS "Firebird headers: ${FIREBIRD_INCLUDE_DIR} (FB_API_VER ${FIREBIRD_API_VER})")

add_library(firebird_headers INTERFACE)
add_library(Firebird::headers ALIAS firebird_headers)
target_include_directories(firebird_headers SYSTEM INTERFACE "${FIREBIRD_INCLUDE_DIR}")
