#!/bin/sh
# template_test.sh BUILD WORK [FIREBIRD_ROOT]: an author's start, with the
# installed checker only. The checker component is installed under a prefix
# of its own (and nothing is written outside it), --new-plugin makes a
# project from the installed template, which finds the checker with
# find_package(FbcryptCheck 1.0 REQUIRED), builds its crypt plug-in and key
# holder out of the tree, and passes its own ctest: the stand-in, and, given
# a Firebird root, the engine too. A project asking for version 2 is refused.
set -u
build=$1 work=$2 root=${3:-}
rm -rf "$work" && mkdir -p "$work" || exit 1
fail() { echo "FAIL: $*"; exit 1; }
prefix="$work/prefix"
cmake --install "$build" --component checker --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "install"; }
outside=$(grep -v "^$prefix/" "$build/install_manifest_checker.txt")
[ -z "$outside" ] || fail "the checker's install wrote outside its prefix: $outside"
echo "installed under $prefix: $(wc -l <"$build/install_manifest_checker.txt") files"

"$prefix/bin/fbcrypt-check" --new-plugin rot13ish "$work/rot13ish" || fail "--new-plugin"
grep -rq mycrypt "$work/rot13ish" && fail "the template's name is left in the new project"
[ -f "$work/rot13ish/src/rot13ish_keys.cpp" ] || fail "no src/rot13ish_keys.cpp"
"$prefix/bin/fbcrypt-check" --new-plugin rot13ish "$work/rot13ish" 2>/dev/null && fail "--new-plugin wrote over a project"

engine=${root:+-DROT13ISH_FIREBIRD_ROOT=$root}
cmake -S "$work/rot13ish" -B "$work/rot13ish/build" -DCMAKE_PREFIX_PATH="$prefix" ${engine:+"$engine"} \
  -DFIREBIRD_INCLUDE_DIR="${FIREBIRD_INCLUDE_DIR:-}" >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }
cmake --build "$work/rot13ish/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; }
ctest --test-dir "$work/rot13ish/build" --output-on-failure >"$work/ctest.log" 2>&1 || { cat "$work/ctest.log"; fail "its tests"; }
tests=$(grep -c "Passed" "$work/ctest.log")
[ -n "$root" ] && [ "$tests" -ne 2 ] && fail "with a Firebird root, $tests tests passed, not 2"

# SameMajorVersion: a project that asks for 2.0 is told the version found.
mkdir -p "$work/v2"
printf 'cmake_minimum_required(VERSION 3.16)\nproject(v2 NONE)\nfind_package(FbcryptCheck 2.0 REQUIRED)\n' >"$work/v2/CMakeLists.txt"
out=$(cmake -S "$work/v2" -B "$work/v2/build" -DCMAKE_PREFIX_PATH="$prefix" 2>&1) && fail "version 2.0 was accepted"
echo "$out" | grep -q "FbcryptCheckConfig.cmake, version: 1\." || fail "no version said: $out"

echo "the template built out of the tree with the installed checker only, and its $tests test(s) passed${root:+ (engine: $root)}"
rm -rf "$work"
