"""Running an engine's own tools (isql, gstat, gfix, gbak, nbackup, fbsvcmgr)
against a private root, and reading what they say. A tool that fails raises
ToolError, which carries the command, its exit status and its output."""

import os
import re
import shutil
import subprocess

from . import pages


class ToolError(Exception):
    def __init__(self, command, returncode, output):
        self.command, self.returncode, self.output = command, returncode, output
        super().__init__(f"{' '.join(command)} exited {returncode}:\n{output}")


class ToolRunner:
    """The tools of `engine`, with `env` (the root's settings) set for each;
    processes it starts and keeps (attachments) are stopped by cleanup()."""

    def __init__(self, engine, env, dir, fbinfo=None):
        self.engine = engine
        self.env = env
        self.dir = dir  # where attachments' logs go, and where a tool of ours is copied for a chroot
        self.fbinfo = fbinfo
        self.children = []

    def view(self, host_path):
        return self.engine.view(host_path)

    def local(self, db):
        """The engine's path of a database named as clients name it."""
        return db.rsplit(":", 1)[-1]

    def file(self, db):
        """The host's path of a database file."""
        return self.engine.host(self.local(db))

    def command(self, tool, *args, via=()):
        return self.engine.command(tool, list(args), self.env, via)

    def run(self, tool, *args, input=None, check=True, timeout=900):
        cmd = self.command(tool, *args)
        p = subprocess.run(cmd, input=input, capture_output=True, text=True, timeout=timeout)
        if check and p.returncode != 0:
            raise ToolError([tool, *args], p.returncode, p.stderr + p.stdout)
        return p

    def died_after_stats(self, returncode, output):
        """Whether a statistics run (gstat, or the service's action_db_stats)
        did its work and then died: 3.0's embedded tools now and then end in
        SIGSEGV inside fb_shutdown, after the last line ("Gstat completion
        time"), encrypted database or not (docs/engine-limitations.md)."""
        lines = [line.strip() for line in output.splitlines() if line.strip() and line.strip() != "Segmentation fault"]
        return (self.engine.major == 3 and returncode in (-11, 128 + 11)
                and bool(lines) and lines[-1].startswith("Gstat completion time"))

    def isql(self, sql, db=None, check=True, timeout=900):
        """Runs a script; stops at the first error. Returns the CompletedProcess."""
        args = ["-q", "-b", "-user", "SYSDBA"] + ([db] if db else [])
        return self.run("isql", *args, input=sql, check=check, timeout=timeout)

    def query(self, db, select):
        """Values of a one-row select, in column order."""
        out = self.isql(f"set list on;\n{select};\n", db).stdout
        return [_value(line.split(None, 1)[1]) if len(line.split(None, 1)) > 1 else None
                for line in out.splitlines() if line.strip()]

    def attach(self, db, sql="", prefix=()):
        """An isql process that keeps an attachment open (and with it the
        crypt thread) until close(). `sql` runs first; `prefix` goes before
        the command (a profiler, say)."""
        with open(os.path.join(self.dir, f"holder-{len(self.children)}.log"), "w") as log:
            p = subprocess.Popen([*prefix, *self.command("isql", "-q", "-user", "SYSDBA", db)], stdin=subprocess.PIPE,
                                 stdout=log, stderr=subprocess.STDOUT, text=True)
        p.log = log.name  # what it said
        self.children.append(p)
        if sql:
            p.stdin.write(sql)
            p.stdin.flush()
        return p

    def close(self, holder, timeout=120):
        """Ends an attachment: isql ignores SIGTERM while it waits for input, so its input is closed."""
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

    def validate(self, db):
        """gfix -v -full: (exit status, output); the output is empty when nothing is wrong."""
        p = self.run("gfix", "-v", "-full", "-user", "SYSDBA", db, check=False)
        return p.returncode, (p.stdout + p.stderr).strip()

    def info(self, db):
        """The database information items of the crypt state ({name: value}),
        read by fbinfo (tests/engine/fbinfo.cpp) through the engine's client library."""
        if not self.fbinfo:
            raise ToolError(["fbinfo"], -1, "no fbinfo program was given (Config.fbinfo)")
        exe = os.path.join(self.dir, "fbinfo")
        if not os.path.exists(exe):
            shutil.copy(self.fbinfo, exe)
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

    def stop_children(self):
        for p in self.children:
            if p.poll() is None:
                p.kill()
                p.wait()
            if not p.stdin.closed:
                try:
                    p.stdin.close()
                except BrokenPipeError:
                    pass  # what was left to write has nowhere to go


def _value(text):
    text = text.strip()
    if re.fullmatch(r"-?\d+", text):
        return int(text)
    if text == "<null>":
        return None
    return text
