#!/bin/sh
# lintian_test.sh SOURCE WORK FIREBIRD_INCLUDE_DIR [arm64]: builds the Debian
# package the way the README says (cross-built for arm64 with the arm64
# toolchain), and runs Debian's own checker on it: lintian must print
# nothing (it runs as nobody, as it asks, on a copy nobody can read wherever
# the build is). The package is for the architecture it was built for, the
# module in that architecture's Firebird plug-ins folder, and the file under
# /etc is a conffile.
set -u
src=$1 work=$2 include=$3 arch=${4:-amd64}
case $arch in
  amd64) multiarch=x86_64-linux-gnu toolchain= ;;
  arm64) multiarch=aarch64-linux-gnu toolchain=-DCMAKE_TOOLCHAIN_FILE=$src/cmake/aarch64-linux-gnu.cmake ;;
  *) echo "no such architecture: $arch"; exit 2 ;;
esac
plugins=/usr/lib/$multiarch/firebird/4.0/plugins
rm -rf "$work" && mkdir -p "$work" || exit 1
cmake -S "$src" -B "$work/build" ${toolchain:+"$toolchain"} -DVELKOR_TESTS=OFF -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DFIREBIRD_INCLUDE_DIR="$include" -DVELKOR_PLUGIN_DIR=$plugins \
  -DVELKOR_CONF_DIR=/etc/firebird/4.0 >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" -j2 >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
(cd "$work/build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/build/velkor64_*_"$arch".deb) || exit 1

fail=0
readable=$(mktemp -d /tmp/velkor-lintian-XXXXXX) && chmod 755 "$readable" && cp "$deb" "$readable/" &&
  chmod 644 "$readable/$(basename "$deb")" || exit 1
out=$(cd /tmp && setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME=/tmp lintian "$readable/$(basename "$deb")" 2>&1)
code=$?
rm -rf "$readable"
if [ $code -ne 0 ] || [ -n "$out" ]; then echo "lintian (exit $code):"; echo "$out"; fail=1; fi
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || { echo "Architecture: $(dpkg-deb -f "$deb" Architecture)"; fail=1; }
dpkg-deb -c "$deb" | grep -q " \.$plugins/libvelkor64.so$" || { echo "no $plugins/libvelkor64.so in the package"; fail=1; }
if ! dpkg-deb -e "$deb" "$work/control" || ! grep -qx /etc/firebird/4.0/velkor.conf "$work/control/conffiles"; then
  echo "velkor.conf is not a conffile"; fail=1
fi
[ $fail -eq 0 ] && echo "lintian printed nothing on $(basename "$deb"); $plugins/libvelkor64.so; /etc/firebird/4.0/velkor.conf is a conffile" &&
  rm -rf "$work"
exit $fail
