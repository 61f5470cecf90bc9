#!/bin/sh
# on-tmpfs.sh FOLDER... -- COMMAND [ARG...]: COMMAND with each FOLDER a fresh,
# empty tmpfs, in a mount namespace of its own (root only): the engine
# tests' work folders (the build's, and each chroot's /tmp), where no
# database write waits for a disk's flush. The mounts are seen by COMMAND
# and its children alone, and go with them however they end. Tests that need
# a crypt run to last slow the disk down on purpose (enginetest.slow_disk).
set -eu
if [ "${VELKOR_ON_TMPFS:-}" != inside ]; then
  VELKOR_ON_TMPFS=inside exec unshare --mount --propagation private sh "$0" "$@"
fi
unset VELKOR_ON_TMPFS
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  mkdir -p "$1"
  mount -t tmpfs -o mode=1777 engine-work "$1"
  shift
done
[ $# -gt 1 ] || { echo "usage: on-tmpfs.sh FOLDER... -- COMMAND [ARG...]" >&2; exit 2; }
shift
exec "$@"
