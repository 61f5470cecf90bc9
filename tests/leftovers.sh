#!/bin/sh
# What the tests leave behind: leftovers.sh before|after STATE (a file prefix).
# "before" notes what is there; "after" fails when, since then, a process the
# tests started still runs (each carries VELKOR_SITE in its environment:
# fbrun/sites.py), a Firebird service was enabled at boot, a binfmt_misc entry
# or a file system of ours remains (each named velkor-*), or a file or folder appeared in HOME (with its .config,
# .local/share, .cache) or /tmp. Another Firebird on the machine, a DBA's own
# server among them, is neither counted nor touched.
set -u
mode=$1 state=$2
enabled() {
  { ls /etc/systemd/system/*.wants/ /etc/rc[2-5].d/ 2>/dev/null
    command -v systemctl >/dev/null && systemctl list-unit-files 'firebird*' --state=enabled --no-legend 2>/dev/null
  } | grep -i firebird | sort -u
}
files() {
  for d in "$HOME" "$HOME/.config" "$HOME/.local/share" "$HOME/.cache" /tmp; do
    [ -d "$d" ] && find "$d" -mindepth 1 -maxdepth 1
  done | sort -u
}
if [ "$mode" = before ]; then
  enabled >"$state.enabled"
  files >"$state.files"
  echo "before the tests: $(wc -l <"$state.enabled") Firebird service(s) enabled at boot, $(wc -l <"$state.files") entries in HOME and /tmp"
  exit 0
fi
fail=0
ours=$(grep -l -a -s 'VELKOR_SITE=' /proc/[0-9]*/environ | cut -d/ -f3 | grep -v -x -e $$ |
  while read -r pid; do ps -o pid=,args= -p "$pid"; done)
if [ -n "$ours" ]; then echo "processes the tests started still run:"; echo "$ours"; fail=1; fi
new=$(enabled | comm -13 "$state.enabled" -)
if [ -n "$new" ]; then echo "Firebird enabled at boot since the tests began: $new"; fail=1; fi
binfmt=$(find /proc/sys/fs/binfmt_misc -maxdepth 1 -name 'velkor-*' 2>/dev/null)
if [ -n "$binfmt" ]; then echo "binfmt_misc entries still registered: $binfmt"; fail=1; fi
mounts=$(awk '$1 ~ /^velkor-/ { print $2 }' /proc/mounts)
if [ -n "$mounts" ]; then echo "file systems still mounted: $mounts"; fail=1; fi
# Our own marks are not leftovers: this run's state files live in the build tree.
left=$(files | comm -13 "$state.files" -)
if [ -n "$left" ]; then echo "left in HOME or /tmp since the tests began:"; echo "$left"; fail=1; fi
[ $fail -eq 0 ] && echo "nothing left: no process the tests started runs, no Firebird service was enabled at boot, no binfmt entry or file system of ours remains, nothing new in HOME or /tmp"
exit $fail
