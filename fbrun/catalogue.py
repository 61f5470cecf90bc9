"""The engine catalogue (engines/catalogue.json): what each Firebird release
is, where it comes from, and which engine tests apply to it; and the facts of
this machine (its Debian suite and architecture) that decide how each one is
run. Everything else in the project reads releases from here (the scripts
and CMake through `python3 -m fbrun`, fbrun/__main__.py)."""

import dataclasses
import functools
import json
import os
import re
import subprocess

TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
DEFAULT_PATH = os.path.join(TOP, "engines", "catalogue.json")
_path = DEFAULT_PATH


def use(path):
    """Reads another catalogue from now on (a test's, with an entry of its own)."""
    global _path
    _path = path or DEFAULT_PATH
    data.cache_clear()


@functools.lru_cache(maxsize=None)
def data():
    with open(_path) as f:
        return json.load(f)


# This machine, derived: the tests run on any Debian, not only the one they were written on.
@functools.lru_cache(maxsize=None)
def host_arch():
    return subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True, check=True).stdout.strip()


@functools.lru_cache(maxsize=None)
def multiarch(arch=None):
    """The multiarch folder name of a Debian architecture (x86_64-linux-gnu for amd64)."""
    args = ["dpkg-architecture"] + (["-a", arch] if arch and arch != host_arch() else []) + ["-qDEB_HOST_MULTIARCH"]
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout.strip()


@functools.lru_cache(maxsize=None)
def host_suite():
    with open("/etc/os-release") as f:
        fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    return fields.get("VERSION_CODENAME", "").strip('"')


@dataclasses.dataclass(frozen=True)
class Release:
    name: str
    version: str
    ods: str  # major.minor
    aliases: tuple
    arch: str
    default: bool
    debian: dict  # suite, packages, server; empty for a tarball
    tarball: dict  # file, sha256, root, needs; empty for Debian's
    areas: tuple  # None: every area that applies

    @property
    def series(self):
        return ".".join(self.version.split(".")[:2])

    @property
    def major(self):
        return int(self.version.split(".")[0])

    @property
    def ods_major(self):
        return int(self.ods.split(".")[0])

    @property
    def layout(self):
        return "debian" if self.debian else "firebird"

    @property
    def suite(self):
        return self.debian.get("suite")

    @property
    def on_host(self):
        """Debian's packages of this machine's own suite and CPU: installed here, not in a chroot."""
        return bool(self.debian) and self.suite == host_suite() and self.arch == host_arch()

    @property
    def part(self):
        """The part of scripts/engines that makes it available."""
        if self.tarball:
            return "roots"
        if self.on_host:
            return "host"
        return self.suite if self.arch == host_arch() else f"{self.suite}-{self.arch}"

    def chroot(self, engines_dir):
        return None if self.on_host or not self.debian else os.path.join(engines_dir, self.part)

    def tarball_root(self, engines_dir):
        """Where scripts/engines unpacks a tarball release."""
        stem = self.tarball["file"].removesuffix(".tar.xz").removesuffix("-linux-x64")
        return os.path.join(engines_dir, stem, self.tarball["root"])

    def applies(self, area):
        """Whether engine test `area` runs in this release."""
        rule = data()["areas"].get(area)
        if rule is None:
            raise KeyError(f"no engine test area {area!r} in the catalogue")
        if self.areas is not None and area not in self.areas:
            return False
        if "only" in rule and self.name not in rule["only"]:
            return False
        if "since" in rule and _version_key(self.series) < _version_key(rule["since"]):
            return False
        if "layout" in rule and rule["layout"] != self.layout:
            return False
        return rule.get("arch", self.arch) == self.arch


def _version_key(v):
    return tuple(int(x) for x in v.split("."))


def _release(entry):
    return Release(name=entry["name"], version=entry["version"], ods=entry["ods"], aliases=tuple(entry.get("aliases", ())),
                   arch=entry.get("arch", host_arch()), default=entry.get("default", False),
                   debian=entry.get("debian", {}), tarball=entry.get("tarball", {}),
                   areas=tuple(entry["areas"]) if "areas" in entry else None)


def releases(arch=None):
    """Every release, in the catalogue's order; only those for `arch` if given."""
    out = [_release(e) for e in data()["releases"]]
    return [r for r in out if arch is None or r.arch == arch]


def release(name):
    """A release by name, alias or version; KeyError with the choices when there is none."""
    for r in releases():
        if name == r.name or name in r.aliases:
            return r
    for r in releases():
        if name == r.version:
            return r
    raise KeyError(f"no Firebird release {name!r} in the catalogue: "
                   + ", ".join(sorted({n for r in releases() for n in (r.name, *r.aliases)})))


def default_release():
    return next(r for r in releases() if r.default)


def header_layout(ods_major):
    """{flags, crypt_page, plugin}: the header page's offsets of an on-disk structure."""
    try:
        return data()["ods"][str(ods_major)]["header"]
    except KeyError:
        raise KeyError(f"ODS {ods_major} is not in the catalogue") from None


def is_root(folder):
    """The one rule for a Firebird root: its engine among its plug-ins."""
    rule = data()["root"]
    try:
        return any(re.search(rule["engine_library"], f) for f in os.listdir(os.path.join(folder, rule["plugins"])))
    except OSError:
        return False


def installed_roots():
    """Where a Firebird installed on this machine may be, newest series first."""
    series = sorted({r.series for r in releases() if r.debian}, key=_version_key, reverse=True)
    out = []
    for pattern in data()["root"]["installed"]:
        out += [pattern.format(multiarch=multiarch(), series=s) for s in series] if "{series}" in pattern else [pattern]
    return out


_tarballs = None


def use_tarballs(folder):
    """Takes the tarballs from `folder` from now on (None: the catalogue's)."""
    global _tarballs
    _tarballs = folder


def tarball_folder():
    """Where the tarballs are: as use_tarballs() said, else the catalogue's folder beside the clone."""
    return os.path.abspath(_tarballs or os.path.join(TOP, data()["tarballs"]["folder"]))


def default_parts(every_cpu=False):
    """scripts/engines' parts for this machine's engines (other CPUs' only when asked)."""
    parts = []
    for r in releases(arch=None if every_cpu else host_arch()):
        if r.part not in parts:
            parts.append(r.part)
    return parts


def part_releases(part):
    return [r for r in releases() if r.part == part]
