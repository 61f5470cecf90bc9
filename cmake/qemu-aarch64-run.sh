#!/bin/sh
# Runs a 64-bit ARM Linux program under qemu-aarch64 (user-mode emulation),
# with the cross toolchain's libraries as its root. CMake's cross-compiling
# emulator for the arm64 preset.
QEMU_LD_PREFIX=/usr/aarch64-linux-gnu exec qemu-aarch64 "$@"
