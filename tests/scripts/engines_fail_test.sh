#!/usr/bin/env bash
# scripts/engines fails loudly: a part that cannot be made stops it with the
# reason and a non-zero exit, and nothing is reported made. A release from a
# Debian suite that does not exist (the same private apt configuration, the
# machine's own mirror) fails in debootstrap; a part that needs root, run by
# another user, says so in one line before it mounts anything.
#   engines_fail_test.sh SOURCE WORK
set -u
src=$1 work=$2
rm -rf "$work" && mkdir -p "$work/engines" || exit 1
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

python3 - "$src/engines/catalogue.json" "$work/catalogue.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
d["releases"].append({"name": "4.0-nosuchsuite", "version": "4.0.99", "ods": "13.0", "aliases": [],
                      "debian": {"suite": "velkor-no-such-suite", "packages": ["firebird4.0-server-core"],
                                 "server": "firebird4.0-server"}})
json.dump(d, open(sys.argv[2], "w"))
PY
export VELKOR_CATALOGUE="$work/catalogue.json" VELKOR_ENGINES="$work/engines"

if [ "$(id -u)" -eq 0 ]; then
  out=$(bash "$src/scripts/engines" velkor-no-such-suite 2>&1)
  code=$?
  [ $code -ne 0 ] || fail "scripts/engines exited 0 for a suite that does not exist"
  grep -qi "release\|velkor-no-such-suite" <<<"$out" || fail "it does not say why: $out"
  grep -q "^engines: Firebird 4.0 .* in " <<<"$out" && fail "it reported the engine made: $out"
  grep -q " $work/engines/velkor-no-such-suite/proc " /proc/mounts && fail "/proc is left mounted"
  echo "a suite that does not exist: exit $code, $(grep -ci release <<<"$out") line(s) naming the Release file"

  # Another user, on a copy it can read (the clone may be under a folder of root's only).
  copy=$(mktemp -d /tmp/velkor-engines-test-XXXXXX) || exit 1
  mkdir -p "$copy/engines" && cp -r "$src/scripts" "$src/fbrun" "$src/engines" "$copy/" && cp "$work/catalogue.json" "$copy/" &&
    chmod -R a+rX "$copy" && chmod a+w "$copy/engines" || exit 1
  out=$(cd / && setpriv --reuid=nobody --regid=nogroup --clear-groups env -u PYTHONPATH HOME="$copy" \
    VELKOR_CATALOGUE="$copy/catalogue.json" VELKOR_ENGINES="$copy/engines" bash "$copy/scripts/engines" velkor-no-such-suite 2>&1)
  code=$?
  rm -rf "$copy"
  [ $code -ne 0 ] || fail "scripts/engines as nobody exited 0"
  [ "$out" = "scripts/engines: part velkor-no-such-suite mounts /proc and runs chroot: run it as root" ] ||
    fail "as nobody it said: $out"
else
  echo "not root: the debootstrap case is left out"
fi

# An unknown part: its name, and the parts there are.
out=$(bash "$src/scripts/engines" nosuchpart 2>&1)
[ $? -eq 2 ] || fail "an unknown part did not exit 2"
grep -q "^engines: unknown part nosuchpart (host, roots, node, valgrind, or a chroot: " <<<"$out" || fail "unknown part: $out"

[ $fails -eq 0 ] && echo "scripts/engines failed loudly, with its reasons" && rm -rf "$work"
exit $((fails > 0))
