"""Real Firebird engines: where each one's parts are, and how to run its tools.

An engine is a Firebird root plus how to run it. Two layouts hold the same
parts:
- Debian's packages, split under /usr/lib/<multiarch>/firebird/SERIES and
  /etc/firebird/SERIES, with the tools named isql-fb and fbstat: on this
  machine when the release is of its own suite and CPU, else in a chroot that
  scripts/engines builds under build/engines;
- Firebird's own layout, as its tarballs install it in /opt/firebird (bin/,
  lib/, plugins/, intl/ and the configuration at the top): the tarball
  releases that scripts/engines unpacks into build/engines, or any Firebird a
  DBA has installed, from 3.0 on.

Releases are named in the catalogue (engines/catalogue.json, fbrun/catalogue.py);
SERIES-installed names a Firebird root given by its folder. A chroot for
another CPU runs its programs under emulation (scripts/arm64-binfmt). Nothing
here writes into an engine's own folders: roots.py copies what a run needs
into private roots.
"""

import glob
import os
import re
import subprocess

from . import catalogue

DEFAULT_ENGINES_DIR = os.path.join(catalogue.TOP, "build", "engines")
# The tools as the tests call them -> Debian's names for them.
DEBIAN_TOOLS = {"isql": "isql-fb", "gstat": "fbstat"}


class EngineMissing(RuntimeError):
    pass


class Engine:
    """One installed Firebird. Paths are as the engine sees them (inside its
    chroot, if it has one); host() turns them into the host's."""

    name = chroot = None
    release_entry = None  # the catalogue's Release, when the engine is one of its releases
    emulated = False  # its programs are for another CPU, and run under emulation
    plugins = intl = msg = None  # folders and files a private root copies
    conf_dir = None  # firebird.conf, plugins.conf (and 4.0's service-port.conf)
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
            out = subprocess.run(self.command("isql", ["-z", "-q"], {}), input="",
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
        """The major version of the on-disk structure it writes: its engine library's number."""
        return int(re.search(r"\d+", _engine_library(self.host(self.plugins))).group())

    def describe(self):
        return f"Firebird {self.release} ({self.name})"

    def host(self, path):
        """The host's path of a path as the engine sees it."""
        return self.chroot + path if self.chroot else path

    def view(self, host_path):
        """The engine's path of a host path inside its chroot."""
        if self.chroot:
            if not host_path.startswith(self.chroot + "/"):
                raise ValueError(f"{host_path} is outside the chroot {self.chroot}")
            return host_path[len(self.chroot):]
        return host_path

    def location(self, name):
        """Where a part of the root that a private root takes (the catalogue's
        root.private names them) is, as the engine sees it: the configuration
        in conf_dir, the message file, plugins/ and intl/, else in the root."""
        if name.endswith(".conf"):
            return f"{self.conf_dir}/{name}"
        if name == "firebird.msg":
            return self.msg
        first, _, rest = name.partition("/")
        base = {"plugins": self.plugins, "intl": self.intl}.get(first)
        if base:
            return base + ("/" + rest if rest else "")
        return f"{self.root}/{name}"

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
        """What every program run against this engine needs besides a root's settings."""
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
    """Debian's packages of a catalogue release, on this machine or in a chroot."""

    def __init__(self, release, engines_dir):
        self.name = release.name
        self.release_entry = release
        self.chroot = release.chroot(engines_dir)
        if self.chroot and not os.path.isdir(self.chroot):
            raise EngineMissing(f"no {release.part} chroot at {self.chroot}: run scripts/engines {release.part}")
        self.emulated = release.arch != catalogue.host_arch()
        series = release.series
        libdir = f"/usr/lib/{catalogue.multiarch(release.arch)}/firebird/{series}"
        self.root = libdir
        self.plugins, self.intl = libdir + "/plugins", libdir + "/intl"
        self.conf_dir = f"/etc/firebird/{series}"
        # Debian 12 puts 3.0's tools in /usr/bin; later releases keep the real
        # ones in /usr/lib/firebird/SERIES/bin behind wrappers that set FIREBIRD.
        self.bindir = next((d for d in (f"/usr/lib/firebird/{series}/bin", "/usr/bin")
                            if _is_elf(self.host(d + "/isql-fb"))), None)
        if not self.bindir or not _engine_library(self.host(self.plugins)):
            raise EngineMissing(f"Firebird {release.version} ({release.name}) is not installed: "
                                f"run scripts/engines {release.part}")
        # The server binary, unpacked from the -server package (never installed):
        # in the tools' folder or /usr/sbin of a chroot, or beside the chroots for this machine's.
        candidates = [self.tool("firebird"), "/usr/sbin/firebird"]
        if not self.chroot:
            candidates.append(os.path.join(engines_dir, f"{release.suite}-server/usr/sbin/firebird"))
        self.server = next((c for c in candidates if _is_elf(self.host(c))), None)
        # forky's 3.0 ships no firebird.msg; its client library (4.0's) reads 4.0's.
        messages = [f"{libdir}/firebird.msg"] + sorted(
            self.view(m) for m in glob.glob(self.host(f"/usr/lib/{catalogue.multiarch(release.arch)}/firebird/*/firebird.msg")))
        self.msg = next((m for m in messages if os.path.exists(self.host(m))), None)
        self._release = None
        # 3.0 logs to /var/log whatever the root; 4.0 into the root.
        self.log_names = (f"firebird{series}.log", "firebird.log", self.host(f"/var/log/firebird/firebird{series}.log"))

    def tool(self, name):
        return f"{self.bindir}/{DEBIAN_TOOLS.get(name, name)}"


class RootEngine(Engine):
    """A Firebird in its own layout, at `root` on this machine, run in place."""

    def __init__(self, name, root, release=None):
        self.name = name
        self.release_entry = release
        self.root = os.path.abspath(root)
        self.bindir, self.plugins, self.intl = (os.path.join(self.root, d) for d in ("bin", "plugins", "intl"))
        self.conf_dir = self.root
        if not _is_elf(self.tool("isql")) or not catalogue.is_root(self.root):
            raise EngineMissing(f"{self.root} is not a Firebird root (no bin/isql, or no engine in plugins/)")
        self.msg = os.path.join(self.root, "firebird.msg")
        self.server = self.tool("firebird") if _is_elf(self.tool("firebird")) else None
        self.client_lib = os.path.join(self.root, "lib")
        self.log_names = ("firebird.log",)
        self._release = None


def engine(name, engines_dir=None, installed_root=None):
    """The engine called `name` (a catalogue release, or SERIES-installed with
    `installed_root`); EngineMissing when it is not there."""
    engines_dir = os.path.abspath(engines_dir or DEFAULT_ENGINES_DIR)
    if name.endswith("-installed"):
        if not installed_root:
            raise EngineMissing(f"{name}: no Firebird root given for it")
        return RootEngine(name, installed_root)
    try:
        release = catalogue.release(name)
    except KeyError as e:
        raise ValueError(f"{e.args[0]}, or SERIES-installed with a root") from None
    if release.debian:
        return DebianEngine(release, engines_dir)
    root = release.tarball_root(engines_dir)
    if not os.path.isdir(root):
        raise EngineMissing(missing_tarball(release) or
                            f"Firebird {release.version} ({release.name}) is not unpacked at {root}: run scripts/engines roots")
    return RootEngine(release.name, root, release)


def availability(engines_dir, arch=None):
    """[(release, None or why it is not there)] for the releases of `arch` (this machine's)."""
    out = []
    for r in catalogue.releases(arch=arch or catalogue.host_arch()):
        try:
            engine(r.name, engines_dir)
            out.append((r, None))
        except EngineMissing as e:
            out.append((r, str(e)))
    return out


def missing_tarball(release):
    """What to do when a tarball release's tarball is not at hand; None when it is."""
    folder = catalogue.tarball_folder()
    if os.path.isfile(os.path.join(folder, release.tarball["file"])):
        return None
    return (f"Firebird {release.version} ({release.name}): {release.tarball['file']} is not in {folder} "
            f"(the project's own build of the engine); put it there or name its folder in VELKOR_ENGINE_TARBALLS, "
            f"or use a Firebird {release.series} installed here with --engine-root DIR")


def _engine_library(plugins):
    """The engine's own plug-in, by the catalogue's rule (libEngine12.so in 3.0, 13 in 4.0 and 5.0, 14 in 6.0)."""
    rule = catalogue.data()["root"]["engine_library"]
    try:
        return next((f for f in sorted(os.listdir(plugins)) if re.search(rule, f)), None)
    except OSError:
        return None


def _is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False
