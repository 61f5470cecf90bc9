#!/bin/sh
# Before and after the engine tests: leftovers.sh before|after STATE_FILE.
# After them, no process the suite started runs (each carries VELKOR_SITE in
# its environment: fbrun/sites.py), and no Firebird service has been enabled
# at boot since they began. Any other Firebird on the machine, a DBA's own
# server among them, is neither counted nor touched.
set -u
state=$2
enabled() {
  { ls /etc/systemd/system/*.wants/ /etc/rc[2-5].d/ 2>/dev/null
    command -v systemctl >/dev/null && systemctl list-unit-files 'firebird*' --state=enabled --no-legend 2>/dev/null
  } | grep -i firebird | sort -u
}
if [ "$1" = before ]; then
  enabled >"$state"
  echo "Firebird services enabled at boot before the tests: $(wc -l <"$state")"
  exit 0
fi
fail=0
ours=$(grep -l -a -s 'VELKOR_SITE=' /proc/[0-9]*/environ | cut -d/ -f3 | grep -v -x -e $$ |
  while read -r pid; do ps -o pid=,args= -p "$pid"; done)
if [ -n "$ours" ]; then echo "processes the tests started still run:"; echo "$ours"; fail=1; fi
new=$(enabled | comm -13 "$state" -)
if [ -n "$new" ]; then echo "Firebird enabled at boot since the tests began: $new"; fail=1; fi
[ $fail -eq 0 ] && echo "no process the tests started runs; no Firebird service was enabled at boot"
exit $fail
