#!/usr/bin/env bash
# Adding a release is one catalogue entry: a copy of engines/catalogue.json
# with the next 5.0 patch added (a fake tarball of its own: bin/isql and an
# engine among the plug-ins) flows through everything that reads releases:
# fbrun names it, scripts/engines unpacks it after checking its sha256 (and
# refuses a tarball with another sum), CMake makes its engine tests, the
# checker's generated header has its on-disk structure, and the docs check
# says the supported-releases table lacks it.
#   catalogue_test.sh SOURCE WORK FIREBIRD_INCLUDE_DIR
set -u
src=$1 work=$2 include=$3
tarball=firebird-5.0.5-linux-x64.tar.xz
rm -rf "$work" && mkdir -p "$work/tarballs" "$work/engines" "$work/fake/firebird/bin" "$work/fake/firebird/plugins" || exit 1
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

# The fake 5.0.5: a program that answers as isql does not matter here, only that it is one.
cp /bin/true "$work/fake/firebird/bin/isql"
: >"$work/fake/firebird/plugins/libEngine15.so"
tar -cJf "$work/tarballs/$tarball" -C "$work/fake" firebird
sum=$(sha256sum "$work/tarballs/$tarball" | cut -d' ' -f1)
python3 - "$src/engines/catalogue.json" "$work/catalogue.json" "$sum" "$tarball" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
d["ods"]["15"] = {"engine_library": "libEngine15.so", "header": {"flags": 22, "crypt_page": 120, "plugin": 124}}
d["releases"].append({"name": "5.0.5-tarball", "version": "5.0.5", "ods": "15.0", "aliases": ["5.0.5"],
                      "tarball": {"file": sys.argv[4], "sha256": sys.argv[3], "root": "firebird",
                                  "needs": []}})
json.dump(d, open(sys.argv[2], "w"), indent=1)
PY
export VELKOR_CATALOGUE="$work/catalogue.json" VELKOR_ENGINE_TARBALLS="$work/tarballs" VELKOR_ENGINES="$work/engines"
export PYTHONPATH="$src"

out=$(python3 -B -m fbrun release 5.0.5) || fail "fbrun does not know 5.0.5: $out"
grep -qx "name=5.0.5-tarball" <<<"$out" || fail "fbrun names it otherwise: $out"

out=$(bash "$src/scripts/engines" roots 2>&1)
grep -q "engines: Firebird 5.0.5 (5.0.5-tarball) in $work/engines/firebird-5.0.5" <<<"$out" ||
  fail "scripts/engines did not unpack it: $out"
avail=$(python3 -B -m fbrun available "$work/engines")
grep -q "5.0.5-tarball" <<<"$avail" || fail "fbrun does not find the unpacked root: $avail"

# A tarball whose sum is not the catalogue's is refused, loudly.
rm -rf "$work/engines/firebird-5.0.5"
echo tampered >>"$work/tarballs/$tarball"
out=$(bash "$src/scripts/engines" roots 2>&1) && fail "scripts/engines took a tarball with another sha256"
grep -q "does not have the sha256 the catalogue gives ($sum)" <<<"$out" || fail "no reason given: $out"
tar -cJf "$work/tarballs/$tarball" -C "$work/fake" firebird
bash "$src/scripts/engines" roots >/dev/null 2>&1 || fail "scripts/engines roots failed the second time"

# CMake: the engine tests of 5.0.5, by the catalogue's rules (parallel is 5.0 on).
cmake -S "$src" -B "$work/build" -DVELKOR_CATALOGUE="$work/catalogue.json" -DVELKOR_ENGINES_DIR="$work/engines" \
  -DVELKOR_ENGINE_TESTS=ON -DFIREBIRD_INCLUDE_DIR="$include" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "the project does not configure with it"; }
listed=$(ctest --test-dir "$work/build" -N -L engine 2>/dev/null)
for t in engine.5.0.5-tarball.encryption engine.5.0.5-tarball.parallel engine.5.0.5-tarball.checker_headers; do
  grep -q " $t\$" <<<"$listed" || fail "no test $t"
done
grep -q "engine.5.0.5-tarball.replication" <<<"$listed" || fail "replication (4.0 on) not made for 5.0.5"
grep -q '{15, 22, 120, 124}' "$work/build/tools/generated/EngineCatalogue.h" ||
  fail "the checker's header lacks ODS 15: $(grep headerLayouts "$work/build/tools/generated/EngineCatalogue.h")"

# The docs: their table of supported releases is checked against the catalogue.
out=$(python3 -B "$src/tests/docs/docs_test.py" 2>&1) && fail "the docs check passed without 5.0.5 in the table"
grep -q "5.0.5" <<<"$out" || fail "the docs check does not name 5.0.5: $out"

[ $fails -eq 0 ] && echo "one catalogue entry: fbrun, scripts/engines, CMake's tests, the checker's header and the docs check all took 5.0.5" &&
  rm -rf "$work"
exit $((fails > 0))
