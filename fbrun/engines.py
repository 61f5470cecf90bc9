"""Real Firebird engines: where each one's parts are, and how to run its tools.

An engine is a Firebird root plus how to run it. Two layouts hold the same
parts:
- Debian's packages, split under /usr/lib/<arch>/firebird/SERIES and
  /etc/firebird/SERIES, with the tools named isql-fb and fbstat: 3.0.11 on this
  machine, 4.0.5 in a Debian 13 ("trixie") chroot, 3.0.14 and 4.0.7 in a
  Debian forky chroot (scripts/engines builds the chroots under build/engines);
- Firebird's own layout, as its tarballs install it in /opt/firebird (bin/,
  lib/, plugins/, intl/ and the configuration at the top): the 5.0.4 and 6.0
  roots that scripts/engines unpacks into build/engines, or any Firebird a
  DBA has installed, from 3.0 on.

Engines are named SERIES-ORIGIN: 3.0-bookworm, 4.0-trixie, 3.0-forky,
4.0-forky, 5.0-tarball, 6.0-tarball, SERIES-installed for the root that
VELKOR_ENGINE_ROOT names, and 3.0-bookworm-arm64: Debian 12's arm64 packages
in a chroot, whose programs run under emulation (scripts/arm64-binfmt). Nothing here writes into an engine's own folders:
sites (sites.py) copy what they need into private roots.
"""

import os
import re
import subprocess

ARCH = "x86_64-linux-gnu"
TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
DEFAULT_ENGINES_DIR = os.path.join(TOP, "build", "engines")

# Debian's engines: the suite they come from, and whether it is this machine's own.
HOST_SUITE = "bookworm"
DEBIAN = {"3.0-bookworm", "4.0-trixie", "3.0-forky", "4.0-forky", "3.0-bookworm-arm64"}
# The roots scripts/engines unpacks from the tarballs: name -> folder under build/engines.
TARBALL_ROOTS = {"5.0-tarball": "firebird-5.0.4", "6.0-tarball": "firebird-6.0.0.2123"}
# The on-disk structure (its major version) each release writes.
ODS = {3: 12, 4: 13, 5: 13, 6: 14}
# The tools as the tests call them -> Debian's names for them.
DEBIAN_TOOLS = {"isql": "isql-fb", "gstat": "fbstat"}


class EngineMissing(RuntimeError):
    pass


def engines_dir():
    return os.path.abspath(os.environ.get("VELKOR_ENGINES") or DEFAULT_ENGINES_DIR)


class Engine:
    """One installed Firebird. Paths are as the engine sees them (inside its
    chroot, if it has one); host() turns them into the host's."""

    name = chroot = None
    emulated = False  # its programs are for another CPU, and run under emulation
    plugins = intl = msg = None  # folders and files a private root copies
    conf_dir = None  # firebird.conf, plugins.conf (and 4.0's service-port.conf)
    extra = ()  # other folders of the root a private root links to (time zones)
    bindir = server = None
    root = None  # what fbcrypt-check --engine is given
    client_lib = None  # the folder a client program takes libfbclient from; None: the system's
    log_names = ()  # the server's log files, relative to the private root

    def tool(self, name):
        return f"{self.bindir}/{name}"

    @property
    def release(self):
        """The engine's own version, for example 4.0.5."""
        if getattr(self, "_release", None) is None:
            out = subprocess.run(self.command("isql", ["-z", "-q"], self.run_env()), input="",
                                 capture_output=True, text=True, timeout=60).stdout
            m = re.search(r"-[VT](\d+\.\d+\.\d+)\.\d+", out)
            if not m:
                raise EngineMissing(f"{self.tool('isql')} -z printed no version: {out.strip()!r}")
            self._release = m.group(1)
        return self._release

    @property
    def series(self):
        return ".".join(self.release.split(".")[:2])

    @property
    def major(self):
        return int(self.release.split(".")[0])

    @property
    def ods(self):
        return ODS[self.major]

    def describe(self):
        return f"Firebird {self.release} ({self.name})"

    def host(self, path):
        """The host's path of a path as the engine sees it."""
        return self.chroot + path if self.chroot else path

    def host_file(self, path):
        """host(path) with symbolic links followed as the engine sees them
        (a chroot's absolute links point into the chroot)."""
        for _ in range(16):
            target = self.host(path)
            if not os.path.islink(target):
                return target
            path = os.path.normpath(os.path.join(os.path.dirname(path), os.readlink(target)))
        raise OSError(f"too many links at {path}")

    def run_env(self):
        """What every program run against this engine needs besides a site's settings."""
        return {"LD_LIBRARY_PATH": self.client_lib} if self.client_lib else {}

    def command(self, tool, args, env, via=()):
        """argv that runs `tool` (one of the engine's tools by its plain name,
        isql, gstat, gfix, gbak, nbackup, fbsvcmgr; or an absolute path) with `env`
        set, through `via` (a profiler, say, where the engine runs) if given."""
        exe = tool if tool.startswith("/") else self.tool(tool)
        pairs = [f"{k}={v}" for k, v in {**self.run_env(), **env}.items()]
        if self.chroot:
            return ["chroot", self.chroot, "/usr/bin/env", *pairs, *via, exe, *args]
        return ["/usr/bin/env", *pairs, *via, exe, *args]


class DebianEngine(Engine):
    """Debian's packages: SERIES-SUITE, on this machine (bookworm) or in a chroot."""

    def __init__(self, name, base=None):
        self.name = name
        series, _, suite = name.partition("-")
        base = base or engines_dir()
        self.chroot = None if suite == HOST_SUITE else os.path.join(base, suite)
        if self.chroot and not os.path.isdir(self.chroot):
            raise EngineMissing(f"no {suite} chroot at {self.chroot}: run scripts/engines")
        self.emulated = suite.endswith("-arm64")
        libdir = f"/usr/lib/{'aarch64-linux-gnu' if self.emulated else ARCH}/firebird/{series}"
        self.root = libdir
        self.plugins, self.intl = libdir + "/plugins", libdir + "/intl"
        self.conf_dir = f"/etc/firebird/{series}"
        # Debian 12 puts 3.0's tools in /usr/bin; later releases keep the real
        # ones in /usr/lib/firebird/SERIES/bin behind wrappers that set FIREBIRD.
        self.bindir = next((d for d in (f"/usr/lib/firebird/{series}/bin", "/usr/bin")
                            if _is_elf(self.host(d + "/isql-fb"))), None)
        if not self.bindir or not _engine_library(self.host(self.plugins)):
            raise EngineMissing(f"Firebird {name} not installed: run scripts/engines")
        # The server binary, unpacked from the -server package (never installed):
        # in the tools' folder, in a chroot's /usr/sbin, or beside the chroots for this machine's.
        candidates = [self.tool("firebird"), "/usr/sbin/firebird"] if self.chroot else \
            [self.tool("firebird"), os.path.join(base, f"{HOST_SUITE}-server/usr/sbin/firebird")]
        self.server = next((c for c in candidates if _is_elf(self.host(c))), None)
        # forky's 3.0 ships no firebird.msg; its client library (4.0's) reads 4.0's.
        self.msg = next((m for m in (f"{libdir}/firebird.msg", f"/usr/lib/{ARCH}/firebird/4.0/firebird.msg")
                         if os.path.exists(self.host(m))), None)
        self._release = None
        # 3.0 logs to /var/log whatever the root; 4.0 into the root.
        self.log_names = (f"firebird{series}.log", "firebird.log", self.host(f"/var/log/firebird/firebird{series}.log"))

    def tool(self, name):
        return f"{self.bindir}/{DEBIAN_TOOLS.get(name, name)}"


class RootEngine(Engine):
    """A Firebird in its own layout, at `root` on this machine, run in place."""

    def __init__(self, name, root):
        self.name = name
        self.root = os.path.abspath(root)
        self.bindir, self.plugins, self.intl = (os.path.join(self.root, d) for d in ("bin", "plugins", "intl"))
        self.conf_dir = self.root
        if not _is_elf(self.tool("isql")) or not _engine_library(self.plugins):
            raise EngineMissing(f"{self.root} is not a Firebird root (no bin/isql, or no plugins/libEngineNN.so)")
        self.msg = os.path.join(self.root, "firebird.msg")
        self.extra = tuple(d for d in ("tzdata",) if os.path.isdir(os.path.join(self.root, d)))
        self.server = self.tool("firebird") if _is_elf(self.tool("firebird")) else None
        self.client_lib = os.path.join(self.root, "lib")
        self.log_names = ("firebird.log",)
        self._release = None


def engine(name):
    """The engine called `name`; EngineMissing when it is not there."""
    if name in DEBIAN:
        return DebianEngine(name)
    if name in TARBALL_ROOTS:
        root = os.path.join(engines_dir(), TARBALL_ROOTS[name], "firebird")
        if not os.path.isdir(root):
            raise EngineMissing(f"no {name} root at {root}: run scripts/engines")
        return RootEngine(name, root)
    if name.endswith("-installed"):
        root = os.environ.get("VELKOR_ENGINE_ROOT")
        if not root:
            raise EngineMissing(f"{name}: VELKOR_ENGINE_ROOT names no Firebird root")
        return RootEngine(name, root)
    raise ValueError(f"unknown engine {name!r}: one of {', '.join(sorted(DEBIAN | set(TARBALL_ROOTS)))}, "
                     "or SERIES-installed with VELKOR_ENGINE_ROOT")


def engine_from_env(variable="VELKOR_ENGINE"):
    return engine(os.environ.get(variable, "4.0-trixie"))


def _engine_library(plugins):
    """The engine's own plug-in (libEngine12.so in 3.0, 13 in 4.0 and 5.0, 14 in 6.0)."""
    try:
        return next((f for f in sorted(os.listdir(plugins)) if re.fullmatch(r"libEngine\d+\.so", f)), None)
    except OSError:
        return None


def _is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False
