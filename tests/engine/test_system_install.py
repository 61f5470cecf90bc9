"""Installing velkor64 into the Debian 13 chroot's own Firebird 4.0 folders,
as a user would: with cmake --install, and with the Debian package that
cpack builds. Each then runs with the stock configuration plus the installed
block, and the stock tools encrypt a database."""

import glob
import os
import shutil
import subprocess
import tempfile
import unittest

from enginetest import CONFIG, KEY_HASH
from fbrun import catalogue

PLUGINS = f"/usr/lib/{catalogue.multiarch()}/firebird/4.0/plugins"
CONF = "/etc/firebird/4.0"

# One process, the stock (SuperServer) mode: it waits for the crypt thread
# itself, each poll in a transaction of its own to see a fresh MON$ snapshot.
WAIT_FOR_STATE_1 = """
set term ^;
execute block returns (crypt_state integer) as
  declare started timestamp;
begin
  started = cast('now' as timestamp);
  crypt_state = 3;
  while (crypt_state <> 1 and datediff(second from started to cast('now' as timestamp)) < 300) do
    in autonomous transaction do
      select mon$crypt_state from mon$database into :crypt_state;
  suspend;
end^
set term ;^
"""


class SystemInstall(unittest.TestCase):
    def setUp(self):
        self.engine = CONFIG.engine(os.environ.get("VELKOR_ENGINE", "4.0-trixie"))
        self.root = self.engine.chroot
        self.build = tempfile.mkdtemp(prefix="velkor-install-build-")
        self.plugins_conf = self.root + CONF + "/plugins.conf"
        # A run killed half-way (its tearDown never ran) left the include behind,
        # and every other test of this engine would fail on it: the stock file
        # is the file without that line.
        with open(self.plugins_conf) as f:
            stock = [line for line in f if line.strip() != f"include {CONF}/velkor.conf"]
        with open(self.build + "/plugins.conf.stock", "w") as f:
            f.writelines(stock)
        shutil.copy(self.build + "/plugins.conf.stock", self.plugins_conf)
        self.module = self.root + PLUGINS + "/libvelkor64.so"

    def tearDown(self):
        shutil.copy(self.build + "/plugins.conf.stock", self.plugins_conf)
        subprocess.run(["chroot", self.root, "dpkg", "--purge", "velkor64", "fbcrypt-check"], capture_output=True)
        # What cmake --install wrote (its manifest names the files with DESTDIR).
        manifest = os.path.join(self.build, "install_manifest.txt")
        written = open(manifest).read().split("\n") if os.path.exists(manifest) else []
        for f in [self.module, self.root + CONF + "/velkor.conf", *filter(None, written)]:
            if os.path.lexists(f) and f.startswith(self.root + "/"):
                os.remove(f)
        shutil.rmtree(self.build, ignore_errors=True)

    def configure_and_build(self):
        subprocess.run(["cmake", "-S", os.environ["VELKOR_SOURCE_DIR"], "-B", self.build, "-DVELKOR_TESTS=OFF",
                        "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_INSTALL_PREFIX=/usr",
                        f"-DFIREBIRD_INCLUDE_DIR={os.environ['FIREBIRD_INCLUDE_DIR']}",
                        f"-DVELKOR_PLUGIN_DIR={PLUGINS}", f"-DVELKOR_CONF_DIR={CONF}"], check=True,
                       capture_output=True)
        subprocess.run(["cmake", "--build", self.build, "-j2"], check=True, capture_output=True)

    def in_chroot(self, *argv, input=None):
        return subprocess.run(["chroot", self.root, *argv], input=input, capture_output=True, text=True,
                              timeout=600)

    def encrypt_with_stock_tools(self):
        """Debian's wrappers in /usr/bin, no FIREBIRD root: the stock configuration."""
        self.assertTrue(os.path.isfile(self.module) and not os.path.islink(self.module),
                        "the module is not installed as a file of its own")
        with open(self.plugins_conf, "a") as f:
            f.write(f"\ninclude {CONF}/velkor.conf\n")
        work = tempfile.mkdtemp(prefix="velkor-install-", dir=self.root + "/tmp")
        db = work[len(self.root):] + "/stock.fdb"
        try:
            p = self.in_chroot("/usr/bin/isql-fb", "-q", "-b", "-user", "SYSDBA", input=f"""
create database '{db}';
create table t (id integer primary key, s varchar(40));
commit;
set term ^;
execute block as declare i integer = 0; begin while (i < 20000) do begin
  insert into t values (:i, 'row ' || :i); i = i + 1; end end^
set term ;^
commit;
alter database encrypt with "velkor";
commit;
set list on;
{WAIT_FOR_STATE_1}
select count(*) as good_rows from t where s = 'row ' || id;
""")
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertRegex(p.stdout, r"CRYPT_STATE\s+1\b")
            self.assertRegex(p.stdout, r"GOOD_ROWS\s+20000\b")
            header = self.in_chroot("/usr/bin/fbstat", "-h", db).stdout
            self.assertIn("encrypted, plugin velkor", header)
            self.assertIn(KEY_HASH, header)
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def test_cmake_install(self):
        self.configure_and_build()
        out = subprocess.run(["cmake", "--install", self.build], env={**os.environ, "DESTDIR": self.root},
                             check=True, capture_output=True, text=True).stdout
        self.assertIn(f"include {CONF}/velkor.conf", out, "the install does not say how to include the block")
        self.encrypt_with_stock_tools()

    def test_debian_package(self):
        self.configure_and_build()
        subprocess.run(["cpack", "-G", "DEB"], cwd=self.build, check=True, capture_output=True)
        files = {}
        for package in ("velkor64", "fbcrypt-check"):
            debs = glob.glob(f"{self.build}/{package}_*.deb")
            self.assertEqual(len(debs), 1, debs)
            shutil.copy(debs[0], f"{self.root}/tmp/{package}.deb")
            p = self.in_chroot("dpkg", "-i", f"/tmp/{package}.deb")
            os.remove(f"{self.root}/tmp/{package}.deb")
            self.assertEqual(p.returncode, 0, p.stderr)
            files[package] = self.in_chroot("dpkg", "-L", package).stdout.split()
        for f in (PLUGINS + "/libvelkor64.so", CONF + "/velkor.conf", "/usr/share/doc/velkor64/copyright"):
            self.assertIn(f, files["velkor64"])
        for f in ("/usr/bin/fbcrypt-check", "/usr/share/man/man1/fbcrypt-check.1.gz",
                  "/usr/share/doc/fbcrypt-check/copyright",
                  f"/usr/lib/{catalogue.multiarch()}/cmake/FbcryptCheck/FbcryptCheckConfig.cmake"):
            self.assertIn(f, files["fbcrypt-check"])

        # The installed checker, in the installed Firebird too (found as the install finds it).
        check = self.in_chroot("/usr/bin/fbcrypt-check", PLUGINS + "/libvelkor64.so", "--identity", "--engine")
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertRegex(check.stdout, r"summary: \d+ PASS, 0 WARN, 0 FAIL, \d+ SKIP")
        self.assertIn("PASS  engine           Firebird 4.0", check.stdout)
        self.encrypt_with_stock_tools()


if __name__ == "__main__":
    unittest.main(verbosity=2)
