#!/bin/sh
# cmake_package_test.sh PACKAGE_DIR WORK FIREBIRD_INCLUDE_DIR
# The checker's CMake package, used as a plug-in author would: an
# out-of-tree project (author/) finds it, builds its module, installs
# nothing, and runs the checker through fbcrypt_check_add_test. Its test
# passes and leaves a JUnit report; the same function with ENGINE and a
# folder that is no Firebird root makes a test that fails, and says why.
set -u
here=$(cd "$(dirname "$0")" && pwd)
package=$1 work=$2 include=$3
rm -rf "$work" && mkdir -p "$work/not-a-root"
fail() { echo "FAIL: $*"; exit 1; }
cmake -S "$here/author" -B "$work/build" -DFbcryptCheck_DIR="$package" -DFIREBIRD_INCLUDE_DIR="$include" \
  -DMY_CRYPT_SOURCE="$here/stock_module.cpp" -DMY_FIREBIRD_ROOT="$work/not-a-root" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "the author's project does not configure"; }
cmake --build "$work/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "it does not build"; }
ctest --test-dir "$work/build" -N -V | grep -E 'Test command: .*fbcrypt-check "[^"]*libmy_crypt\.so" "--engine" "[^"]*not-a-root" "--junit"' ||
  fail "the ENGINE test does not run the checker with --engine ROOT"
ctest --test-dir "$work/build" -R '^my_crypt_fbcrypt_check$' --output-on-failure || fail "the checker's test failed"
xmllint --noout "$work/build/my_crypt_fbcrypt_check.junit.xml" || fail "no valid JUnit report"
grep -q 'classname="stock" name="encrypting"' "$work/build/my_crypt_fbcrypt_check.junit.xml" || fail "the report lacks its checks"
out=$(ctest --test-dir "$work/build" -R '^my_crypt_in_engine$' --output-on-failure 2>&1) && fail "a test with an unusable root passed"
echo "$out" | grep -q 'is not a Firebird root' || { echo "$out"; fail "the failing test does not say why"; }
echo "the author's project built its module and ran fbcrypt-check through its CMake package"
