"""gbak backup and restore of a velkor-encrypted database."""

import os

from enginetest import EngineTest, main, sample


class Backup(EngineTest):
    def backup_file(self, name):
        return self.site.view(os.path.join(self.site.dbdir, name))

    def test_backup_of_encrypted_database_restores_the_same_data(self):
        db, shape = self.populated(30_000)
        self.site.crypt(db, encrypt=True)
        fbk = self.backup_file("test.fbk")
        self.site.run("gbak", "-b", "-user", "SYSDBA", db, fbk)
        restored = self.site.db("restored")
        self.site.run("gbak", "-c", "-user", "SYSDBA", fbk, restored)
        self.assertEqual(sample.check(self.site, restored, shape), [])
        # A restore is a new database: plain until encrypted again.
        self.assertNotIn("encrypted", self.site.attributes(restored))
        self.site.crypt(restored, encrypt=True)
        self.assertEncrypted(restored)
        self.assertIntact(restored, shape)

    def test_backup_with_crypt_option(self):
        """4.0's gbak -crypt names the plug-in for the backup file. A restore
        comes back encrypted only with a key holder named (-keyholder):
        without one, gbak -c -crypt -keyname exits 0 and the database is plain."""
        if not self.since(4):
            self.skipTest("gbak -crypt exists from Firebird 4.0 on")
        self.site.add_plugin(os.environ["VELKOR_KEY_HOLDER"], "fbcrypt-test-holder")
        db, shape = self.populated(30_000)
        self.site.crypt(db, encrypt=True)
        fbk = self.backup_file("crypt.fbk")
        self.site.env["LD_DEBUG"] = "files"  # to see whether gbak's process loads the module
        p = self.site.run("gbak", "-b", "-user", "SYSDBA", "-crypt", "velkor", db, fbk)
        del self.site.env["LD_DEBUG"]
        self.assertIn("libvelkor64.so", p.stderr, "gbak's own process did not load the module")
        with open(self.site.engine.host(fbk), "rb") as f:
            self.assertIn(b"velkor", f.read(512), "the backup header does not name the plug-in")

        plain = self.site.db("restored")
        self.site.run("gbak", "-c", "-user", "SYSDBA", "-crypt", "velkor", "-keyname", "FBCRYPT_TEST_KEY", fbk, plain)
        self.assertEqual(sample.check(self.site, plain, shape), [])
        self.assertNotIn("encrypted", self.site.attributes(plain), "restored encrypted without a key holder")

        # The key name goes into the restore's SQL unquoted: a plain identifier, upper case.
        holder = ["-keyholder", "fbcrypt-test-holder", "-keyname", "fbcrypt_test_key"]
        self.site.run("gbak", "-b", "-user", "SYSDBA", "-crypt", "velkor", *holder, db, self.backup_file("held.fbk"))
        encrypted = self.site.db("restored-encrypted")
        self.site.run("gbak", "-c", "-user", "SYSDBA", "-crypt", "velkor", *holder, self.backup_file("held.fbk"),
                      encrypted)
        self.assertEncrypted(encrypted)
        self.assertIntact(encrypted, shape)
        self.report("gbak -c -crypt -keyname without -keyholder: exit 0, plain; with -keyholder: encrypted")

if __name__ == "__main__":
    main()
