"""cmake --install into the Debian 13 chroot's own Firebird 4.0 folders, the
stock configuration plus the installed block, and the stock tools."""

import os
import shutil
import subprocess
import tempfile
import unittest

from enginetest import KEY_HASH, fbsite

ARCH = fbsite.ARCH
PLUGINS = f"/usr/lib/{ARCH}/firebird/4.0/plugins"
CONF = "/etc/firebird/4.0"

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
        self.engine = fbsite.Engine("4.0", os.environ.get("VELKOR_CHROOT"))
        self.root = self.engine.chroot
        self.build = tempfile.mkdtemp(prefix="velkor-install-build-")
        self.plugins_conf = self.root + CONF + "/plugins.conf"
        shutil.copy(self.plugins_conf, self.build + "/plugins.conf.stock")
        self.installed = [self.root + PLUGINS + "/libvelkor64.so", self.root + CONF + "/velkor.conf"]

    def tearDown(self):
        shutil.copy(self.build + "/plugins.conf.stock", self.plugins_conf)
        for f in self.installed:
            if os.path.exists(f):
                os.remove(f)
        shutil.rmtree(self.build, ignore_errors=True)

    def stock(self, tool, *args, input=None):
        """A tool of the chroot's, as a user runs it: Debian's wrapper, stock configuration."""
        return subprocess.run(["chroot", self.root, f"/usr/bin/{tool}", *args], input=input, capture_output=True,
                              text=True, timeout=600)

    def test_install_and_encrypt_with_stock_tools(self):
        source = os.environ["VELKOR_SOURCE_DIR"]
        subprocess.run(["cmake", "-S", source, "-B", self.build, "-DVELKOR_TESTS=OFF", "-DCMAKE_BUILD_TYPE=Release",
                        f"-DFIREBIRD_INCLUDE_DIR={os.environ['FIREBIRD_INCLUDE_DIR']}",
                        f"-DVELKOR_PLUGIN_DIR={PLUGINS}", f"-DVELKOR_CONF_DIR={CONF}"], check=True,
                       capture_output=True)
        subprocess.run(["cmake", "--build", self.build], check=True, capture_output=True)
        out = subprocess.run(["cmake", "--install", self.build], env={**os.environ, "DESTDIR": self.root},
                             check=True, capture_output=True, text=True).stdout
        self.assertIn(f"include {CONF}/velkor.conf", out, "install does not say how to include the block")
        module = self.installed[0]
        self.assertTrue(os.path.isfile(module) and not os.path.islink(module), "module not installed as a copy")

        with open(self.plugins_conf, "a") as f:
            f.write(f"\ninclude {CONF}/velkor.conf\n")
        work = tempfile.mkdtemp(prefix="velkor-install-", dir=self.root + "/tmp")
        db = work[len(self.root):] + "/stock.fdb"
        try:
            p = self.stock("isql-fb", "-q", "-b", "-user", "SYSDBA", input=f"""
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
            header = self.stock("fbstat", "-h", db).stdout
            self.assertIn("encrypted, plugin velkor", header)
            self.assertIn(KEY_HASH, header)
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
