#!/bin/sh
# expect.sh CHECKER STATUS PATTERN [PATTERN ...] -- ARGS...
# Runs the checker with ARGS; passes when it exits with STATUS and its
# output (stdout and stderr) matches every extended regular expression.
# EXPECT_RUNNER, when set, runs the checker (Wine, for a Windows build).
set -u
checker=$1 want=$2; shift 2
patterns=""
while [ $# -gt 0 ] && [ "$1" != "--" ]; do patterns="$patterns
$1"; shift; done
shift
out=$(${EXPECT_RUNNER:-} "$checker" "$@" 2>&1); got=$?
echo "$out"
fail=0
[ "$got" = "$want" ] || { echo "EXPECTED exit $want, got $got"; fail=1; }
echo "$patterns" | while IFS= read -r p; do
  [ -z "$p" ] && continue
  echo "$out" | grep -Eq -- "$p" || { echo "EXPECTED output matching: $p"; exit 1; }
done || fail=1
exit $fail
