#!/bin/sh
# lintian_test.sh SOURCE WORK FIREBIRD_INCLUDE_DIR [arm64]: builds the Debian
# packages the way docs/install.md says (cross-built for arm64 with the arm64
# toolchain), and runs Debian's own checker on each: lintian must print
# nothing (it runs as nobody, as it asks, on copies nobody can read wherever
# the build is, with its temporary files there too). velkor64 holds the
# module, in that architecture's Firebird plug-ins folder, and its block
# under /etc, a conffile; fbcrypt-check holds the checker, its man page, its
# CMake package and the template, and nothing in Firebird's folders.
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
  -DFIREBIRD_INCLUDE_DIR="$include" -DVELKOR_PLUGIN_DIR="$plugins" \
  -DVELKOR_CONF_DIR=/etc/firebird/4.0 >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" -j2 >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
(cd "$work/build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }

fail=0
no() { echo "$*"; fail=1; }
for package in velkor64 fbcrypt-check; do
  deb=$(ls "$work"/build/"${package}"_*_"$arch".deb) || { no "no ${package}_*_$arch.deb"; continue; }
  readable=$(mktemp -d /tmp/velkor-lintian-XXXXXX) && chmod 755 "$readable" && mkdir "$readable/tmp" &&
    chmod 1777 "$readable/tmp" && cp "$deb" "$readable/" && chmod 644 "$readable/$(basename "$deb")" || exit 1
  out=$(cd "$readable" && setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$readable/tmp" \
    TMPDIR="$readable/tmp" lintian "$readable/$(basename "$deb")" 2>&1)
  code=$?
  rm -rf "$readable"
  if [ $code -ne 0 ] || [ -n "$out" ]; then no "lintian on $(basename "$deb") (exit $code):"; echo "$out"; fi
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || no "$package: Architecture $(dpkg-deb -f "$deb" Architecture)"
  dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\.||' >"$work/$package.files"
done
contains() { grep -qx "$2" "$work/$1.files" || no "$1 lacks $2"; }
contains velkor64 "$plugins/libvelkor64.so"
contains velkor64 /etc/firebird/4.0/velkor.conf
contains velkor64 /usr/share/doc/velkor64/copyright
contains fbcrypt-check /usr/bin/fbcrypt-check
contains fbcrypt-check /usr/share/man/man1/fbcrypt-check.1.gz
contains fbcrypt-check "/usr/lib/$multiarch/cmake/FbcryptCheck/FbcryptCheckConfig.cmake"
contains fbcrypt-check "/usr/lib/$multiarch/cmake/FbcryptCheck/FbcryptCheckConfigVersion.cmake"
contains fbcrypt-check /usr/share/fbcrypt-check/template/src/mycrypt.cpp
contains fbcrypt-check /usr/share/doc/fbcrypt-check/copyright
grep -E '/etc/|/plugins/' "$work/fbcrypt-check.files" && no "fbcrypt-check puts files in Firebird's folders"
grep -q fbcrypt-check "$work/velkor64.files" && no "velkor64 holds the checker"
if ! dpkg-deb -e "$work"/build/velkor64_*_"$arch".deb "$work/control" || ! grep -qx /etc/firebird/4.0/velkor.conf "$work/control/conffiles"; then
  no "velkor.conf is not a conffile"
fi
[ $fail -eq 0 ] && echo "lintian printed nothing on velkor64 and fbcrypt-check ($arch); velkor64: the module in $plugins and a conffile; fbcrypt-check: the checker, its man page, CMake package and template, nothing in Firebird's folders" &&
  rm -rf "$work"
exit $fail
