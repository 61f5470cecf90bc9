#!/bin/sh
# Configuring must stop with a clear message when the Firebird headers are
# missing, or when they carry older interface versions than the module needs.
set -u
src=$1 work=$2 cmake=$3
rm -rf "$work" && mkdir -p "$work/old/firebird"
fail=0

expect() {  # expect <words in the message> <cmake args...>
  words=$1; shift
  if out=$("$cmake" -S "$src" -B "$work/build" -DVELKOR_TESTS=OFF "$@" 2>&1); then
    echo "FAIL: configure succeeded with $*"; fail=1
  elif ! echo "$out" | tr -s ' \n' '  ' | grep -q "$words"; then  # CMake wraps long messages
    echo "FAIL: configure failed without \"$words\":"; echo "$out"; fail=1
  else
    echo "ok: $*: $words"
  fi
  rm -rf "$work/build"
}

expect "headers were not found" "-DFIREBIRD_INCLUDE_DIR=$work/nowhere"

# A header set whose IDbCryptPlugin predates setInfo (version 4).
cat >"$work/old/ibase.h" <<'H'
#define FB_API_VER 25
#define isc_random 335544382L
H
cp "$work/old/ibase.h" "$work/old/iberror.h"
cat >"$work/old/firebird/Interface.h" <<'H'
#include "../ibase.h"
namespace Firebird {
struct V2 { static const unsigned VERSION = 2; };
struct V3 { static const unsigned VERSION = 3; };
struct IReferenceCounted : V2 {}; struct IPluginBase : V3 {}; struct IPluginModule : V3 {};
struct IPluginFactory : V2 {}; struct IDbCryptInfo : V3 {}; struct IStatus : V3 {};
struct IMaster : V2 {}; struct IPluginConfig : V3 {};
struct IPluginManager : V2 { static const unsigned TYPE_DB_CRYPT = 9; };
struct IDbCryptPlugin { static const unsigned VERSION = 4; };
}
H
expect "older than this module needs" "-DFIREBIRD_INCLUDE_DIR=$work/old"

# The same set with version 5 passes the check: the version was the reason.
sed -i 's/VERSION = 4/VERSION = 5/' "$work/old/firebird/Interface.h"
if "$cmake" -S "$src" -B "$work/build" -DVELKOR_TESTS=OFF "-DFIREBIRD_INCLUDE_DIR=$work/old" >/dev/null 2>&1; then
  echo "ok: the same headers at IDbCryptPlugin 5 configure"
else
  echo "FAIL: the stand-in headers at version 5 were rejected too"; fail=1
fi
exit $fail
