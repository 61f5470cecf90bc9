#!/bin/sh
# check_pe.sh DLL OBJDUMP: the Windows module's PE headers. It exports
# firebird_plugin and nothing else; it imports only DLLs that come with
# Windows (no libstdc++-6, libgcc_s_seh-1, libwinpthread-1 or libssp-0 to
# ship beside it); its DLL characteristics ask for ASLR with high entropy
# and DEP; and it carries no time stamp, so that builds are reproducible.
dll=$1 objdump=$2
fail=0
headers=$("$objdump" -p "$dll") || { echo "cannot read $dll"; exit 1; }

exports=$(echo "$headers" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' | awk '{print $NF}')
[ "$exports" = "firebird_plugin" ] || { echo "exports: $exports (expected firebird_plugin alone)"; fail=1; }

imports=$(echo "$headers" | sed -n 's/^\s*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
for dll_name in $imports; do
  case $dll_name in
    kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll | ntdll.dll | api-ms-win-*) ;;
    *) echo "imports $dll_name, which Windows does not have"; fail=1 ;;
  esac
done

characteristics=$(echo "$headers" | sed -n 's/^DllCharacteristics\s*//p' | awk '{print $1}')
for flag in 0020:HIGH_ENTROPY_VA 0040:DYNAMIC_BASE 0100:NX_COMPAT; do
  bit=${flag%%:*}
  [ $((0x$characteristics & 0x$bit)) -ne 0 ] || { echo "DllCharacteristics $characteristics lacks ${flag#*:}"; fail=1; }
done

stamp=$(echo "$headers" | sed -n 's/^Time\/Date\s*//p')
case $stamp in
  *1970* | 0*) ;;
  *) echo "time stamp: $stamp (expected none)"; fail=1 ;;
esac

[ $fail -eq 0 ] && echo "exports firebird_plugin alone; imports $imports; DllCharacteristics $characteristics; no time stamp"
exit $fail
