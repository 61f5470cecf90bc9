"""scripts/test --engine-root DIR: the engine suite in a Firebird that a DBA
has installed in its own layout. A copy of the 5.0.4 root stands in for
/opt/firebird, with its own server running and serving a database, as a
DBA's would. Configured that way, the suite holds every engine test for that
release alone; two of them run in it (embedded, and under a server of the
suite's own). Afterwards the DBA's server still runs, with the same PID, and
serves its database, and no file of the installation has changed."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from enginetest import CONFIG, firebird, pages, servers

HERE = os.path.dirname(os.path.abspath(__file__))


class InstalledRoot(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velkor-installed-", dir=CONFIG.work)
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.root = os.path.join(self.dir, "opt", "firebird")
        shutil.copytree(CONFIG.engine("5.0-tarball").root, self.root, symlinks=True)
        self.installed = firebird.RootEngine("5.0-installed", self.root)
        # The DBA's own server: the installation's configuration on a port of its own.
        self.port = servers.free_port()
        conf = os.path.join(self.root, "firebird.conf")
        with open(conf) as f:
            text = f.read()
        with open(conf, "w") as f:
            f.write(f"RemoteServicePort = {self.port}\nRemoteBindAddress = 127.0.0.1\n" + text)
        self.env = {"FIREBIRD_LOCK": os.path.join(self.dir, "dba-lock"), "ISC_USER": "SYSDBA", "ISC_PASSWORD": "dba"}
        self.dba_db = os.path.join(self.dir, "dba.fdb")
        self.tool("isql", "-user", "SYSDBA", os.path.join(self.root, "security5.fdb"),
                  input="create user SYSDBA password 'dba' using plugin Srp;\ncommit;\n")
        self.tool("isql", input=f"create database '{self.dba_db}';\ncreate table t (i integer);\n"
                                "insert into t values (42);\ncommit;\n")
        self.server = subprocess.Popen(self.installed.command("firebird", [], self.env), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop_server)

    def tool(self, name, *args, input=""):
        p = subprocess.run(self.installed.command(name, list(args), self.env), input=input, capture_output=True,
                           text=True, timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr + p.stdout)
        return p.stdout

    def stop_server(self):
        if self.server.poll() is None:
            self.server.terminate()
            try:
                self.server.wait(10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()

    def served(self):
        out = self.tool("isql", "-q", f"127.0.0.1/{self.port}:{self.dba_db}", input="set list on;\nselect i from t;\n")
        return re.findall(r"I\s+(\d+)", out)

    def files(self):
        """{path: sha256} of the installation, but the log its own server writes."""
        got = {}
        for folder, _, names in os.walk(self.root):
            for name in names:
                path = os.path.join(folder, name)
                if name != "firebird.log" and os.path.isfile(path) and not os.path.islink(path):
                    got[os.path.relpath(path, self.root)] = pages.sha256(path)
        return got

    def test_the_suite_in_an_installed_firebird(self):
        deadline = time.monotonic() + servers.START_TIMEOUT
        while not servers.listening(self.port):
            self.assertIsNone(self.server.poll(), "the DBA's server exited")
            self.assertLess(time.monotonic(), deadline, "the DBA's server does not listen")
            time.sleep(0.05)
        self.assertEqual(self.served(), ["42"])
        before = self.files()

        # The suite as scripts/test --engine-root configures it.
        build = os.path.join(self.dir, "build")
        subprocess.run(["cmake", "-S", os.path.join(HERE, "..", ".."), "-B", build, "-DVELKOR_ENGINE_TESTS=ON",
                        f"-DVELKOR_ENGINE_ROOT={self.root}", f"-DFIREBIRD_INCLUDE_DIR={os.environ['FIREBIRD_INCLUDE_DIR']}"],
                       check=True, capture_output=True, timeout=300)
        listed = subprocess.run(["ctest", "-N", "-L", "engine"], cwd=build, capture_output=True, text=True).stdout
        names = re.findall(r"Test +#\d+: (\S+)", listed)
        self.assertEqual({m.group(1) for n in names for m in [re.match(r"engine\.(\d+\.\d+-\w+)\.", n)] if m},
                         {"5.0-installed"}, names)
        for area in ("encryption", "server_load", "parallel", "checker_engine", "node_driver"):
            self.assertIn(f"engine.5.0-installed.{area}", names)

        env = {**os.environ, "VELKOR_ENGINE": "5.0-installed", "VELKOR_ENGINE_ROOT": self.root}
        for test in ("test_encryption.py", "test_server_many.py"):
            p = subprocess.run([sys.executable, os.path.join(HERE, test)], env=env, capture_output=True, text=True,
                               timeout=900)
            self.assertEqual(p.returncode, 0, f"{test}:\n{p.stdout}{p.stderr}")
            self.assertIn("[5.0.4 5.0-installed]", p.stdout)

        self.assertIsNone(self.server.poll(), "the DBA's server stopped")
        self.assertEqual(self.served(), ["42"])
        self.assertEqual(self.files(), before, "a file of the installation changed")
        print(f"[5.0.4 5.0-installed] installed_root: {len(names)} engine tests listed; encryption and server_many "
              f"passed; the DBA's server (PID {self.server.pid}) served throughout; {len(before)} files unchanged",
              flush=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
