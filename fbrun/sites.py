"""Sites: a private Firebird root (roots.py) and a database folder, made for
one run and removed after it, with the engine's tools (tools.py) and crypt
runs (cryptrun.py) bound to it. A Site is a context manager:

    with Site(engine, "demo", config) as site:
        site.crypt(site.db())

Sites run the engine in Classic mode, so that several processes (a holder
that keeps the crypt thread alive, pollers, load clients) can attach to one
database at once.
"""

import os
import shutil
import tempfile

from . import cryptrun, roots, tools


class Site(tools.ToolRunner):
    """A private Firebird root and database folder, with the tools run against it."""

    def __init__(self, engine, name, config, conf=None):
        self.config = config
        base = engine.host("/tmp") if engine.chroot else config.work_dir
        os.makedirs(base, exist_ok=True)
        dir = tempfile.mkdtemp(prefix=f"velkor-{name}-", dir=base)
        try:
            self.files = roots.PrivateRoot(engine, dir, config, {"ServerMode": "Classic"} if conf is None else conf)
        except BaseException:
            shutil.rmtree(dir, ignore_errors=True)
            raise
        # VELKOR_SITE marks every process started here (tests/leftovers.sh looks for it).
        super().__init__(engine, {**self.files.env, "VELKOR_SITE": engine.view(dir)}, dir, config.fbinfo)
        self.root, self.dbdir = self.files.root, self.files.dbdir
        self.mark_logs()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()

    # Databases: their paths as the engine sees them, and as clients name them.
    def path(self, name="test"):
        return self.view(os.path.join(self.dbdir, name + ".fdb"))

    def db(self, name="test"):
        """What clients name database `name` by: here its path."""
        return self.path(name)

    # The root's files.
    @property
    def module_file(self):
        return self.files.module_file

    def set_conf(self, **settings):
        self.files.set_conf(**settings)

    def set_plugin_blocks(self, text):
        self.files.set_plugin_blocks(text)

    def add_plugin(self, module, name, lines=(), after=""):
        self.files.add_plugin(module, name, lines, after)

    def write_root_file(self, name, text):
        self.files.write_file(name, text)

    # Crypt runs of the site's plug-in.
    def crypt(self, db, encrypt=True, timeout=600, on_sample=None):
        return cryptrun.run(self, db, self.config.plugin, encrypt, timeout, on_sample)

    def crypt_resume(self, db, encrypt=True, timeout=600, on_sample=None):
        return cryptrun.resume(self, db, encrypt, timeout, on_sample)

    def wait_crypt(self, db, encrypted, timeout=600, on_sample=None):
        return cryptrun.wait(self, db, encrypted, timeout, on_sample)

    # The engine's log since the last mark.
    def mark_logs(self):
        self._log_marks = {p: os.path.getsize(p) if os.path.exists(p) else 0 for p in self.files.log_files()}

    def log_tail(self, lines=40):
        out = []
        for path in self.files.log_files():
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    f.seek(min(self._log_marks.get(path, 0), os.path.getsize(path)))
                    text = f.read().strip()
                if text:
                    out.append(f"--- {path}:\n" + "\n".join(text.splitlines()[-lines:]))
        return "\n".join(out) or "(the engine logged nothing)"

    def cleanup(self):
        self.stop_children()
        if not self.config.keep:
            shutil.rmtree(self.dir, ignore_errors=True)
