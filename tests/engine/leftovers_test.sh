#!/bin/sh
# After the engine tests: no Firebird server or guardian runs, and no
# Firebird service is enabled at boot (the scripts unpack the server
# binaries, never install them; the tests stop their servers by PID).
fail=0
running=$(ps -C firebird,fbguard,fb_smp_server -o pid=,args= 2>/dev/null)
if [ -n "$running" ]; then echo "Firebird processes still running:"; echo "$running"; fail=1; fi
enabled=$(ls /etc/systemd/system/*.wants/ /etc/rc[2-5].d/ 2>/dev/null | grep -i firebird)
if [ -n "$enabled" ]; then echo "Firebird enabled at boot: $enabled"; fail=1; fi
if command -v systemctl >/dev/null && systemctl list-unit-files 'firebird*' --state=enabled 2>/dev/null | grep -qi firebird; then
  echo "systemd has a Firebird unit enabled"; fail=1
fi
[ $fail -eq 0 ] && echo "no Firebird process runs, none is enabled at boot"
exit $fail
