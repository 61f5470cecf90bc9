"""Real Firebird engines for the end-to-end tests and the demo.

An Engine is one installed Firebird: 3.0 from this machine's packages, or 4.0
inside the Debian 13 chroot that scripts/engines builds. A Site is a private
Firebird root (firebird.conf, plugins.conf with the velkor block, a copy of
the module) and a database folder, made for one test and removed after it.
Nothing in the system's Firebird configuration is read or changed.

Sites run the engine in Classic mode, so that several processes (a holder
that keeps the crypt thread alive, pollers, load clients) can attach to one
database at once.
"""

import hashlib
import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time

ARCH = "x86_64-linux-gnu"
HDR_CRYPT_PAGE = 80  # offset of the crypt position in the header page (ODS 12 and 13)

# Page types in the 16-byte page header (first byte).
PAGE_TYPES = {0: "unused", 1: "header", 2: "page inventory", 3: "transaction inventory", 4: "pointer",
              5: "data", 6: "index root", 7: "index", 8: "blob", 9: "generator", 10: "SCN inventory"}


class EngineMissing(RuntimeError):
    pass


# Where each Debian suite's engines live: the host (Debian 12) or a chroot
# that scripts/engines builds under build/engines.
HOST_SUITE = "bookworm"
ENGINE_PLUGINS = {"3.0": "libEngine12.so", "4.0": "libEngine13.so"}
DEFAULT_ENGINES_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "engines")


class Engine:
    """One installed Firebird release, and how to run its tools and server.
    `name` is SERIES-SUITE: 3.0-bookworm (this machine), 4.0-trixie,
    3.0-forky, 4.0-forky."""

    def __init__(self, name, engines_dir=None):
        self.name = name
        self.series, _, self.suite = name.partition("-")
        if self.series not in ENGINE_PLUGINS or not self.suite:
            raise ValueError(f"unknown engine {name!r}: SERIES-SUITE, for example 4.0-trixie")
        engines_dir = os.path.abspath(engines_dir or os.environ.get("VELKOR_ENGINES") or DEFAULT_ENGINES_DIR)
        self.chroot = None if self.suite == HOST_SUITE else os.path.join(engines_dir, self.suite)
        if self.chroot and not os.path.isdir(self.chroot):
            raise EngineMissing(f"no {self.suite} chroot at {self.chroot}: run scripts/engines")
        self.libdir = f"/usr/lib/{ARCH}/firebird/{self.series}"
        self.confdir = f"/etc/firebird/{self.series}"
        self.engine_plugin = ENGINE_PLUGINS[self.series]
        # The real tools: Debian 12 puts 3.0's in /usr/bin; later releases keep
        # them in /usr/lib/firebird/SERIES/bin behind wrappers that set FIREBIRD.
        self.bindir = next((d for d in (f"/usr/lib/firebird/{self.series}/bin", "/usr/bin")
                            if _is_elf(self.host(d + "/isql-fb"))), None)
        if not os.path.exists(self.host(f"{self.libdir}/plugins/{self.engine_plugin}")) or not self.bindir:
            raise EngineMissing(f"Firebird {name} not installed: run scripts/engines")
        # The server binary, unpacked from the -server package (never installed).
        server = self.bindir + "/firebird"
        self.server = server if _is_elf(self.host(server)) else None
        if not self.server and not self.chroot:
            unpacked = os.path.join(engines_dir, f"{HOST_SUITE}-server/usr/sbin/firebird")
            self.server = unpacked if _is_elf(unpacked) else None
        # forky's 3.0 ships no firebird.msg; its client library (4.0's) reads 4.0's.
        self.msg = next((m for m in (f"{self.libdir}/firebird.msg", f"/usr/lib/{ARCH}/firebird/4.0/firebird.msg")
                         if os.path.exists(self.host(m))), None)
        self._release = None

    @property
    def v4(self):
        return self.series == "4.0"

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

    def command(self, tool, args, env):
        """argv that runs one of the engine's tools with `env` set."""
        exe = tool if tool.startswith("/") else f"{self.bindir}/{tool}"
        pairs = [f"{k}={v}" for k, v in env.items()]
        if self.chroot:
            return ["chroot", self.chroot, "/usr/bin/env", *pairs, exe, *args]
        return ["/usr/bin/env", *pairs, exe, *args]

    @property
    def release(self):
        """The engine's own version, for example 4.0.5."""
        if self._release is None:
            out = subprocess.run(self.command("isql-fb", ["-z", "-q"], {}), input="", capture_output=True,
                                 text=True, timeout=60).stdout
            m = re.search(r"V(\d+\.\d+\.\d+)\.\d+", out)
            self._release = m.group(1) if m else self.series
        return self._release

    def describe(self):
        return f"Firebird {self.release} ({self.name})"


def _is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False


def engine_from_env():
    return Engine(os.environ.get("VELKOR_ENGINE", "4.0-trixie"))


class SqlError(AssertionError):
    pass


class Site:
    """A private Firebird root and database folder."""

    def __init__(self, engine, name, module=None, conf=None):
        self.engine = engine
        self.module = module or os.environ["VELKOR_MODULE"]
        base = engine.host("/tmp") if engine.chroot else os.environ.get("VELKOR_WORK", tempfile.gettempdir())
        os.makedirs(base, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix=f"velkor-{name}-", dir=base)
        self.root = os.path.join(self.dir, "root")
        self.dbdir = os.path.join(self.dir, "db")
        for d in ("root/plugins", "root/intl", "db", "lock", "tmp"):
            os.makedirs(os.path.join(self.dir, d))
        self._make_root({"ServerMode": "Classic"} if conf is None else conf)
        self.env = {"FIREBIRD": self.view(self.root), "FIREBIRD_LOCK": self.view(self.dir + "/lock"),
                    "FIREBIRD_TMP": self.view(self.dir + "/tmp")}
        self.children = []

    # Paths: `view` is the engine's view of a host path inside the site.
    def view(self, host_path):
        if self.engine.chroot:
            assert host_path.startswith(self.engine.chroot)
            return host_path[len(self.engine.chroot):]
        return host_path

    def path(self, name="test"):
        """The engine's path of database `name`."""
        return self.view(os.path.join(self.dbdir, name + ".fdb"))

    def db(self, name="test"):
        """What clients name database `name` by: here its path."""
        return self.path(name)

    def local(self, db):
        """The engine's path of a database named as clients name it."""
        return db.rsplit(":", 1)[-1]

    def file(self, db):
        """The host's path of a database file."""
        return self.engine.host(self.local(db))

    @property
    def module_file(self):
        return os.path.join(self.root, "plugins", "libvelkor64.so")

    def set_conf(self, **settings):
        """Sets firebird.conf entries of the root. The engine takes the first
        line that sets a key (4.0's includes service-port.conf half-way):
        a setting's own line is changed in place, a new one goes first."""
        path = os.path.join(self.root, "firebird.conf")
        with open(path) as f:
            lines = f.read().splitlines()
        for key, value in settings.items():
            line = f"{key} = {value}"
            at = [i for i, text in enumerate(lines) if re.match(rf"\s*{key}\s*=", text, re.I)]
            if at:
                lines[at[0]] = line
            else:
                lines.insert(0, line)
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")

    def set_velkor_conf(self, text):
        """plugins.conf: the engine's own, then `text` (the velkor block)."""
        with open(os.path.join(self.root, "plugins.conf"), "w") as f:
            f.write(self._stock_plugins + "\n" + text + "\n")

    def write_root_file(self, name, text):
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def _make_root(self, conf):
        eng = self.engine
        lib = eng.host(eng.libdir)
        shutil.copy(eng.host_file(eng.confdir + "/firebird.conf"), os.path.join(self.root, "firebird.conf"))
        self.set_conf(**conf)
        port = eng.host(eng.confdir + "/service-port.conf")
        if os.path.exists(port):
            shutil.copy(port, self.root)
        os.symlink(eng.msg, os.path.join(self.root, "firebird.msg"))
        # Plug-ins and character sets must be real files in the root.
        for sub in ("plugins", "intl"):
            for entry in os.listdir(os.path.join(lib, sub)):
                src = eng.host_file(f"{eng.libdir}/{sub}/{entry}")
                if os.path.isfile(src) and not entry.startswith("libfbSample"):
                    _link_or_copy(src, os.path.join(self.root, sub, entry))
        if os.path.isdir(os.path.join(lib, "plugins/udr")):
            shutil.copytree(os.path.join(lib, "plugins/udr"), os.path.join(self.root, "plugins/udr"))
        shutil.copy(self.module, self.module_file)
        with open(eng.host_file(eng.confdir + "/plugins.conf")) as f:
            self._stock_plugins = f.read()
        self.set_velkor_conf("Plugin = velkor {\n\tModule = %s/velkor64\n}" % self.view(self.root + "/plugins"))

    # Running the engine's tools.
    def command(self, tool, *args):
        return self.engine.command(tool, list(args), self.env)

    def run(self, tool, *args, input=None, check=True, timeout=900):
        p = subprocess.run(self.command(tool, *args), input=input, capture_output=True, text=True,
                           timeout=timeout)
        if check and p.returncode != 0:
            raise SqlError(f"{tool} {' '.join(args)} exited {p.returncode}:\n{p.stderr}{p.stdout}")
        return p

    def isql(self, sql, db=None, check=True, timeout=900):
        """Runs a script; stops at the first error. Returns the CompletedProcess."""
        args = ["-q", "-b", "-user", "SYSDBA"] + ([db] if db else [])
        return self.run("isql-fb", *args, input=sql, check=check, timeout=timeout)

    def query(self, db, select):
        """Values of a one-row select, in column order."""
        out = self.isql(f"set list on;\n{select};\n", db).stdout
        return [_number(line.split(None, 1)[1]) if len(line.split(None, 1)) > 1 else None
                for line in out.splitlines() if line.strip()]

    def attach(self, db, sql="", prefix=()):
        """An isql process that keeps an attachment open (and with it the
        crypt thread) until close(). `sql` runs first; `prefix` goes before
        the command (a profiler, say)."""
        with open(os.path.join(self.dir, f"holder-{len(self.children)}.log"), "w") as log:
            p = subprocess.Popen([*prefix, *self.command("isql-fb", "-q", "-user", "SYSDBA", db)], stdin=subprocess.PIPE,
                                 stdout=log, stderr=subprocess.STDOUT, text=True)
        self.children.append(p)
        if sql:
            p.stdin.write(sql)
            p.stdin.flush()
        return p

    def close(self, holder, timeout=120):
        holder.stdin.close()
        holder.wait(timeout)

    # The database file.
    def header(self, db):
        """fbstat -h, parsed: Attributes, Page size, Key hash, ..."""
        out = self.run("fbstat", "-h", self.local(db)).stdout
        fields = {}
        for line in out.splitlines():
            m = re.match(r"\s*([A-Za-z][A-Za-z ]*?):?\t+(.*)$", line)
            if m:
                fields[m.group(1).strip()] = m.group(2).strip()
        return fields

    def attributes(self, db):
        return [a.strip() for a in self.header(db).get("Attributes", "").split(",") if a.strip()]

    def crypt_page(self, db):
        """The crypt thread's saved position, read from the header page."""
        with open(self.file(db), "rb") as f:
            head = f.read(HDR_CRYPT_PAGE + 4)
        return struct.unpack_from("<I", head, HDR_CRYPT_PAGE)[0]

    def page_count(self, db):
        with open(self.file(db), "rb") as f:
            head = f.read(20)
        page_size = struct.unpack_from("<H", head, 16)[0]
        return os.path.getsize(self.file(db)) // page_size

    def wait_crypt(self, db, encrypted, timeout=600, on_sample=None):
        """Polls the header until the crypt thread is done; returns the
        samples (seconds since start, crypt page)."""
        start = time.monotonic()
        samples = []
        while True:
            attrs = self.attributes(db)
            t = time.monotonic() - start
            samples.append((t, self.crypt_page(db)))
            if on_sample:
                on_sample(t, samples[-1][1], attrs)
            if "crypt process" not in attrs and ("encrypted" in attrs) == encrypted:
                return samples
            if t > timeout:
                raise AssertionError(f"crypt thread not done after {timeout} s: {attrs}")
            for p in self.children:
                if p.poll() not in (None, 0) and p.returncode != -signal.SIGKILL:
                    raise AssertionError(f"an attachment ended with {p.returncode}")
            time.sleep(0.05)

    def crypt(self, db, encrypt=True, timeout=600, on_sample=None):
        """ALTER DATABASE ENCRYPT/DECRYPT, held open until the crypt thread is done."""
        statement = 'alter database encrypt with "velkor"' if encrypt else "alter database decrypt"
        holder = self.attach(db, f"{statement};\ncommit;\n")
        try:
            return self.wait_crypt(db, encrypt, timeout, on_sample)
        finally:
            self.close(holder)

    def crypt_resume(self, db, encrypt=True, timeout=600, on_sample=None):
        """Attaches, which starts the crypt thread again, and holds the
        attachment until the run is done; returns the samples."""
        holder = self.attach(db)
        try:
            return self.wait_crypt(db, encrypt, timeout, on_sample)
        finally:
            self.close(holder)

    def info(self, db):
        """The database information items of the crypt state ({name: value}),
        read by tests/engine/fbinfo through the engine's client library."""
        exe = os.path.join(self.dir, "fbinfo")
        if not os.path.exists(exe):
            shutil.copy(os.environ["VELKOR_FBINFO"], exe)
        password = [self.env["ISC_PASSWORD"]] if "ISC_PASSWORD" in self.env else []
        p = self.run(self.view(exe), db, *password)
        out = {}
        for line in p.stdout.splitlines():
            name, value = line.split(" ", 1)
            out[name] = value.strip('"') if value.startswith('"') else None if value == "unknown" else int(value)
        return out

    def crypt_state(self, db):
        """MON$CRYPT_STATE (4.0 only): 0 plain, 1 encrypted, 2 decrypting, 3 encrypting."""
        return self.query(db, "select mon$crypt_state from mon$database")[0]

    def validate(self, db):
        """gfix -v -full; returns its output, which is empty when nothing is wrong."""
        p = self.run("gfix", "-v", "-full", "-user", "SYSDBA", db, check=False)
        return p.returncode, (p.stdout + p.stderr).strip()

    def cleanup(self):
        for p in self.children:
            if p.poll() is None:
                p.kill()
                p.wait()
            if not p.stdin.closed:
                try:
                    p.stdin.close()
                except BrokenPipeError:
                    pass  # what was left to write has nowhere to go
        if not os.environ.get("VELKOR_KEEP"):
            shutil.rmtree(self.dir, ignore_errors=True)


def _link_or_copy(src, dst):
    try:
        os.link(src, dst)
    except OSError:
        shutil.copy2(src, dst)


def _number(text):
    text = text.strip()
    if re.fullmatch(r"-?\d+", text):
        return int(text)
    if text == "<null>":
        return None
    return text


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def pages(path):
    """(page number, type, header bytes, body bytes) of every page of a database file."""
    with open(path, "rb") as f:
        data = f.read()
    page_size = struct.unpack_from("<H", data, 16)[0]
    for n in range(len(data) // page_size):
        page = data[n * page_size:(n + 1) * page_size]
        yield n, page[0], page[:16], page[16:]
