#!/bin/sh
# check_elf.sh LIBRARY NM MACHINE: the module is built for MACHINE (as
# readelf names it: "Advanced Micro Devices X86-64", "AArch64"), exports
# firebird_plugin and nothing else, and is linked with full RELRO and
# immediate binding.
set -u
lib=$1 nm=$2 machine=$3
fail=0
no() { echo "FAIL: $*"; fail=1; }

readelf -h "$lib" | grep -Eq "^ +Machine: +$machine\$" || no "not built for $machine: $(readelf -h "$lib" | grep Machine:)"
exports=$("$nm" -D --defined-only "$lib" | awk '{print $NF}')
[ "$exports" = "firebird_plugin" ] || no "exported symbols are not just firebird_plugin: $(printf '%s ' "$exports")"
"$nm" -D --defined-only "$lib" | grep -q ' T firebird_plugin$' || no "firebird_plugin is not an exported function"

dynamic=$(readelf -d "$lib")
echo "$dynamic" | grep -E '\(FLAGS\)' | grep -q 'BIND_NOW' || no "no BIND_NOW in FLAGS"
echo "$dynamic" | grep -E '\(FLAGS_1\)' | grep -q 'NOW' || no "no NOW in FLAGS_1"
echo "$dynamic" | grep -q 'TEXTREL' && no "text relocations"
readelf -lW "$lib" | grep -q 'GNU_RELRO' || no "no GNU_RELRO segment"
readelf -lW "$lib" | grep 'GNU_STACK' | grep -q 'RWE' && no "executable stack"

[ $fail -eq 0 ] && echo "ok: $machine; exports firebird_plugin only; RELRO, BIND_NOW, no TEXTREL, no executable stack"
exit $fail
