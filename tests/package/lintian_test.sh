#!/bin/sh
# lintian_test.sh SOURCE WORK FIREBIRD_INCLUDE_DIR: builds the Debian package
# the way the README says, and runs Debian's own checker on it: lintian must
# print nothing (it runs as nobody, as it asks). The file under /etc must be
# a conffile.
set -u
src=$1 work=$2 include=$3
rm -rf "$work" && mkdir -p "$work" || exit 1
cmake -S "$src" -B "$work/build" -DVELKOR_TESTS=OFF -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DFIREBIRD_INCLUDE_DIR="$include" -DVELKOR_PLUGIN_DIR=/usr/lib/x86_64-linux-gnu/firebird/4.0/plugins \
  -DVELKOR_CONF_DIR=/etc/firebird/4.0 >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" -j2 >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
(cd "$work/build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/build/velkor64_*.deb) || exit 1
chmod -R a+rX "$work"

fail=0
out=$(cd /tmp && setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME=/tmp lintian "$deb" 2>&1)
code=$?
if [ $code -ne 0 ] || [ -n "$out" ]; then echo "lintian (exit $code):"; echo "$out"; fail=1; fi
dpkg-deb -e "$deb" "$work/control" && grep -qx /etc/firebird/4.0/velkor.conf "$work/control/conffiles" ||
  { echo "velkor.conf is not a conffile"; fail=1; }
[ $fail -eq 0 ] && echo "lintian printed nothing on $(basename "$deb"); /etc/firebird/4.0/velkor.conf is a conffile" &&
  rm -rf "$work"
exit $fail
