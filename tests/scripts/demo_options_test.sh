#!/usr/bin/env bash
# scripts/demo checks its options before it installs or builds anything:
# --help answers at once, a bad value is one line on stderr and exit 2.
set -u
demo="$(dirname "$0")/../../scripts/demo"
fails=0

# expect NAME STATUS PATTERN ARGS...: exit STATUS, output matching PATTERN,
# and no sign of the set-up having started.
expect() {
  local name=$1 want=$2 pattern=$3 out got
  shift 3
  out=$(timeout 10 bash "$demo" "$@" 2>&1)
  got=$?
  if [ "$got" != "$want" ] || ! grep -Eq -- "$pattern" <<<"$out" || grep -Eq 'setup:|engines:|installing|building' <<<"$out"; then
    echo "FAIL  $name: exit $got (expected $want)"; while IFS= read -r line; do echo "      $line"; done <<<"$out"; fails=$((fails + 1))
  else
    echo "ok    $name"
  fi
}

expect "help" 0 '^usage: scripts/demo \[--engine RELEASE \| --engine-root DIR\] \[--rows N\] \[--server\] \[--keep\]$' --help
expect "help lists no internal option" 0 '^  --keep' -h
expect "negative rows" 2 "^scripts/demo: --rows takes a whole number from 1000 to 10000000, not '-5'$" --rows -5
expect "rows not a number" 2 "not '1e6'" --rows 1e6
expect "too few rows" 2 "not '999'" --rows 999
expect "rows missing" 2 "^scripts/demo: --rows needs a value$" --rows
expect "unknown engine" 2 "^scripts/demo: --engine: no Firebird release '7\.0' in the catalogue: 3\.0, .*4\.0-trixie, .*6\.0-tarball$" --engine 7.0
expect "engine root that is none" 2 "^scripts/demo: --engine-root /nonexistent: no bin/isql there" --engine-root /nonexistent
# A release whose tarball is not at hand: one line that says what to do instead.
none=$(mktemp -d)
VELKOR_ENGINE_TARBALLS=$none VELKOR_ENGINES=$none expect "tarball missing" 2 \
  "^scripts/demo: Firebird 5\.0\.4 \(5\.0-tarball\): firebird-5\.0\.4-linux-x64\.tar\.xz is not in $none .*--engine-root DIR$" --engine 5.0
rm -rf "$none"
expect "unknown option" 2 "^scripts/demo: unknown option '--module'$" --module x
out=$(bash "$demo" --help)
if grep -Eq -- '--module|--chroot|stand-in' <<<"$out"; then echo "FAIL  help shows internals"; fails=$((fails + 1)); fi
exit $((fails > 0))
