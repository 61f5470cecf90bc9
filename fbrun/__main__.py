"""The engine catalogue for the programs that are no Python: the scripts and
CMake ask it here. Answers come as shell assignments, or a line a release.

    python3 -m fbrun parts [--all]              the parts scripts/engines makes by default (--all: other CPUs' too)
    python3 -m fbrun part NAME                  one part: its releases, suite, CPU, packages
    python3 -m fbrun release NAME|ALIAS [ENGINES_DIR]   one release; `missing` says what to do when its tarball is not at hand
    python3 -m fbrun tarballs                   NAME FILE SHA256 of each tarball release
    python3 -m fbrun tarball-folder             where the tarballs are looked for
    python3 -m fbrun available ENGINES_DIR [ARCH]   the releases for ARCH (this machine's) whose engine is there
    python3 -m fbrun untested [ENGINES_DIR]     this machine's releases whose engine is not there, and why

VELKOR_CATALOGUE names another catalogue, VELKOR_ENGINE_TARBALLS another folder of tarballs.
"""

import os
import shlex
import sys

from fbrun import catalogue, firebird


def shell(**values):
    return "".join(f"{k}={shlex.quote(v if isinstance(v, str) else ' '.join(v))}\n" for k, v in values.items())


def main(argv):
    catalogue.use(os.environ.get("VELKOR_CATALOGUE"))
    catalogue.use_tarballs(os.environ.get("VELKOR_ENGINE_TARBALLS"))
    command, args = (argv[0], argv[1:]) if argv else ("", [])
    if command == "parts" and args in ([], ["--all"]):
        print(" ".join(catalogue.default_parts(args == ["--all"])))
    elif command == "part" and len(args) == 1:
        rs = catalogue.part_releases(args[0])
        if not rs:
            sys.exit(f"catalogue: no part {args[0]!r} (parts: {', '.join(sorted({r.part for r in catalogue.releases()}))})")
        r0 = rs[0]
        print(shell(kind="tarball" if r0.tarball else "host" if r0.on_host else "chroot", suite=r0.suite or "",
                    arch=r0.arch, multiarch=catalogue.multiarch(r0.arch),
                    foreign="1" if r0.arch != catalogue.host_arch() else "",
                    series=[r.series for r in rs], names=[r.name for r in rs],
                    packages=sorted({p for r in rs for p in r.debian.get("packages", ())}),
                    servers=[r.debian["server"] for r in rs if r.debian.get("server")]), end="")
    elif command == "release" and len(args) in (1, 2):
        try:
            r = catalogue.release(args[0])
        except KeyError as e:
            sys.exit(f"catalogue: {e.args[0]}")
        engines_dir = args[1] if len(args) == 2 else firebird.DEFAULT_ENGINES_DIR
        unpacked = r.tarball and os.path.isdir(r.tarball_root(engines_dir))
        print(shell(name=r.name, version=r.version, series=r.series, part=r.part,
                    missing="" if not r.tarball or unpacked else firebird.missing_tarball(r) or "",
                    tarball=r.tarball.get("file", ""), sha256=r.tarball.get("sha256", ""),
                    needs=r.tarball.get("needs", []),
                    stem=r.tarball.get("file", "").removesuffix(".tar.xz").removesuffix("-linux-x64")), end="")
    elif command == "tarball-folder" and not args:
        print(catalogue.tarball_folder())
    elif command == "tarballs" and not args:
        for r in catalogue.releases():
            if r.tarball:
                print(r.name, r.tarball["file"], r.tarball["sha256"])
    elif command == "available" and len(args) in (1, 2):
        print(";".join(r.name for r, why in firebird.availability(*args) if not why))
    elif command == "untested" and len(args) in (0, 1):
        for r, why in firebird.availability(args[0] if args else firebird.DEFAULT_ENGINES_DIR):
            if why:
                print(f"{r.version} ({r.name}): {why}")
    else:
        sys.exit(__doc__)


main(sys.argv[1:])
