"""Private Firebird roots for the tests, the demo and the benchmarks.

A Site is a private Firebird root (firebird.conf, plugins.conf with the
velkor block, copies of the engine's plug-ins and of the module) and a
database folder, made for one run and removed after it. The engine's own
tools run against it with FIREBIRD, FIREBIRD_LOCK and FIREBIRD_TMP pointing
into the site; nothing in the engine's own folders is read but its stock
configuration, and nothing there is written.

Sites run the engine in Classic mode, so that several processes (a holder
that keeps the crypt thread alive, pollers, load clients) can attach to one
database at once.
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from . import pages


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
        # VELKOR_SITE marks every process started here (tests/engine/leftovers.sh looks for it).
        self.env = {"FIREBIRD": self.view(self.root), "FIREBIRD_LOCK": self.view(self.dir + "/lock"),
                    "FIREBIRD_TMP": self.view(self.dir + "/tmp"), "VELKOR_SITE": self.view(self.dir)}
        self.children = []
        self.mark_logs()

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
        self._velkor_blocks = text
        with open(os.path.join(self.root, "plugins.conf"), "w") as f:
            f.write(self._stock_plugins + "\n" + text + "\n")

    def add_plugin(self, module, name):
        """A copy of another plug-in module in the root, registered as `name` in plugins.conf."""
        shutil.copy(module, os.path.join(self.root, "plugins"))
        stem = os.path.splitext(os.path.basename(module))[0].removeprefix("lib")
        self.set_velkor_conf(self._velkor_blocks + "\nPlugin = %s {\n\tModule = %s/%s\n}" %
                             (name, self.view(self.root + "/plugins"), stem))

    def write_root_file(self, name, text):
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def _make_root(self, conf):
        eng = self.engine
        shutil.copy(eng.host_file(eng.conf_dir + "/firebird.conf"), os.path.join(self.root, "firebird.conf"))
        self.set_conf(**conf)
        port = eng.host(eng.conf_dir + "/service-port.conf")
        if os.path.exists(port):
            shutil.copy(port, self.root)
        os.symlink(eng.msg, os.path.join(self.root, "firebird.msg"))
        for sub in eng.extra:
            os.symlink(os.path.join(eng.root, sub), os.path.join(self.root, sub))
        # Plug-ins and character sets must be real files in the root.
        for sub, folder in (("plugins", eng.plugins), ("intl", eng.intl)):
            for entry in os.listdir(eng.host(folder)):
                src = eng.host_file(f"{folder}/{entry}")
                if os.path.isfile(src) and not entry.startswith("libfbSample"):
                    _link_or_copy(src, os.path.join(self.root, sub, entry))
        if os.path.isdir(eng.host(eng.plugins + "/udr")):
            shutil.copytree(eng.host(eng.plugins + "/udr"), os.path.join(self.root, "plugins/udr"))
        shutil.copy(self.module, self.module_file)
        with open(eng.host_file(eng.conf_dir + "/plugins.conf")) as f:
            self._stock_plugins = f.read()
        self.set_velkor_conf("Plugin = velkor {\n\tModule = %s/velkor64\n}" % self.view(self.root + "/plugins"))

    # Running the engine's tools.
    def command(self, tool, *args, via=()):
        return self.engine.command(tool, list(args), self.env, via)

    def run(self, tool, *args, input=None, check=True, timeout=900):
        p = subprocess.run(self.command(tool, *args), input=input, capture_output=True, text=True,
                           timeout=timeout)
        if check and p.returncode != 0:
            raise SqlError(f"{tool} {' '.join(args)} exited {p.returncode}:\n{p.stderr}{p.stdout}")
        return p

    def isql(self, sql, db=None, check=True, timeout=900):
        """Runs a script; stops at the first error. Returns the CompletedProcess."""
        args = ["-q", "-b", "-user", "SYSDBA"] + ([db] if db else [])
        return self.run("isql", *args, input=sql, check=check, timeout=timeout)

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
            p = subprocess.Popen([*prefix, *self.command("isql", "-q", "-user", "SYSDBA", db)], stdin=subprocess.PIPE,
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
        """gstat -h, parsed: Attributes, Page size, Key hash, ..."""
        out = self.run("gstat", "-h", self.local(db)).stdout
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
        return pages.header(self.file(db))["crypt_page"]

    def page_count(self, db):
        return os.path.getsize(self.file(db)) // pages.header(self.file(db))["page_size"]

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
        read by fbinfo (tests/engine/fbinfo.cpp) through the engine's client library."""
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
        """MON$CRYPT_STATE (4.0 on): 0 plain, 1 encrypted, 2 decrypting, 3 encrypting."""
        return self.query(db, "select mon$crypt_state from mon$database")[0]

    def validate(self, db):
        """gfix -v -full; returns its output, which is empty when nothing is wrong."""
        p = self.run("gfix", "-v", "-full", "-user", "SYSDBA", db, check=False)
        return p.returncode, (p.stdout + p.stderr).strip()

    # The engine's log: 3.0 from Debian writes /var/log/firebird/firebird3.0.log
    # whatever the root, 4.0 from Debian firebird4.0.log in the root, Firebird's
    # own layout firebird.log in the root; a server's output goes to server.out.
    def log_files(self):
        return [os.path.join(self.root, name) for name in self.engine.log_names] + [os.path.join(self.dir, "server.out")]

    def mark_logs(self):
        """From now on, log_tail() starts here."""
        self._log_marks = {p: os.path.getsize(p) if os.path.exists(p) else 0 for p in self.log_files()}

    def log_tail(self, lines=40):
        """What the engine logged since the last mark."""
        out = []
        for path in self.log_files():
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    f.seek(min(self._log_marks.get(path, 0), os.path.getsize(path)))
                    text = f.read().strip()
                if text:
                    out.append(f"--- {path}:\n" + "\n".join(text.splitlines()[-lines:]))
        return "\n".join(out) or "(the engine logged nothing)"

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
