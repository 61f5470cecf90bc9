#!/usr/bin/env bash
# The project's shell scripts parse (bash -n or sh -n) and are clean under
# Debian's linter for shell, following what they source. Without it
# (scripts/test installs it) the test is skipped, and says so.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top" || exit 1
files=()
for f in scripts/* tests/*.sh tests/*/*.sh cmake/*.sh cmake/*.sh.in; do
  case $f in *.py) continue ;; esac
  head -n 1 "$f" | grep -qE '^#!.*(ba)?sh' && files+=("$f")
done
fails=0
for f in "${files[@]}"; do
  shell=bash
  if head -n 1 "$f" | grep -q 'bin/sh'; then shell='sh'; fi
  $shell -n "$f" || { echo "FAIL: $f does not parse"; fails=$((fails + 1)); }
done
if ! command -v shellcheck >/dev/null; then
  echo "shellcheck is not installed (apt-get install shellcheck): ${#files[@]} scripts parsed, not checked"
  exit 77
fi
shellcheck -x "${files[@]}" || fails=$((fails + 1))
[ $fails -eq 0 ] && echo "${#files[@]} scripts parse and shellcheck finds nothing in them"
exit $((fails > 0))
