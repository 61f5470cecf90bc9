#!/bin/sh
# install_recipe_test.sh SOURCE WORK: docs/install.md's install into a prefix
# (docs/install/prefix.sh, which the guide shows verbatim), run as it
# stands on a fresh copy of the sources: it builds, and everything either
# install writes is under its prefix; the module's block names the module
# where it went, and the checker alone brings no module.
set -u
src=$1 work=$2
rm -rf "$work" && mkdir -p "$work/src" || exit 1
fail() { echo "FAIL: $*"; exit 1; }
# The sources as a clone has them (and what is not committed yet), nothing of build/.
(cd "$src" && git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf -) | tar -xf - -C "$work/src" ||
  fail "copying the sources"
prefix="$work/prefix"
(cd "$work/src" && PREFIX="$prefix" sh -eu docs/install/prefix.sh) >"$work/recipe.log" 2>&1 ||
  { tail -40 "$work/recipe.log"; fail "the recipe failed"; }
for manifest in "$work"/src/build/release/install_manifest*.txt; do
  echo "$(basename "$manifest"):"
  awk '{ print "  " $0 }' "$manifest"
  outside=$(grep -v "^$prefix/" "$manifest")
  [ -z "$outside" ] || fail "written outside the prefix: $outside"
done
[ -f "$prefix/lib/firebird/plugins/libvelkor64.so" ] || fail "no module under $prefix/lib/firebird/plugins"
grep -q "Module = $prefix/lib/firebird/plugins/velkor64" "$prefix/etc/firebird/velkor.conf" ||
  fail "velkor.conf does not name the installed module: $(cat "$prefix/etc/firebird/velkor.conf")"
[ -x "$prefix/checker-only/bin/fbcrypt-check" ] || fail "the checker component has no fbcrypt-check"
find "$prefix/checker-only" -name 'libvelkor64*' | grep -q . && fail "the checker component brought the module"
"$prefix/checker-only/bin/fbcrypt-check" --version || fail "the installed checker does not run"
echo "the recipe built and installed under its prefix, and nowhere else"
rm -rf "$work"
