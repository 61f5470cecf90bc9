"""Upgrading an encrypted database to a newer Firebird, the ways the engines
allow. VELKOR_ENGINE names the older engine, VELKOR_UPGRADE_TO the newer.

- Across on-disk structures (3.0's ODS 12 -> 4.0's and 5.0's ODS 13 -> 6.0's
  ODS 14): the newer engine refuses the old file and leaves it byte for byte
  as it was; a gbak backup of the old engine, restored by the newer one's
  gbak, is a plain database (a backup never carries encryption), which velkor
  then encrypts.
- Within one (4.0's ODS 13.0 in 5.0, whose own databases are 13.1): the newer
  engine opens the encrypted file as it is; it stays encrypted, every row
  reads back, it takes writes, decrypts and encrypts again, all as ODS 13.0;
  gfix -upgrade then makes it 13.1, still encrypted."""

import os
import shutil

from enginetest import EngineTest, KEY_HASH, main, pages, sample, sites


class Upgrade(EngineTest):
    def setUp(self):
        super().setUp()
        self.target = self.config.engine(os.environ["VELKOR_UPGRADE_TO"])
        self.new = sites.Site(self.target, "upgrade-to", self.config)
        self.addCleanup(self.new.cleanup)

    def ods(self, site, db):
        return site.header(db).get("ODS version")

    def assertEncryptedIn(self, site, db):
        attrs = site.attributes(db)
        self.assertIn("encrypted", attrs)
        self.assertIn("plugin velkor", attrs)
        self.assertNotIn("crypt process", attrs)
        self.assertEqual(site.header(db).get("Key hash"), KEY_HASH)
        self.assertEqual(site.crypt_state(db), 1)

    def test_upgrade(self):
        db, shape = self.populated(30_000)
        self.site.crypt(db, encrypt=True)
        self.assertEncrypted(db)
        self.expected = sample.fingerprint(self.site, db)
        self.shape = shape
        old_ods = pages.header(self.site.file(db))["ods"]
        copy = self.new.path("old")
        shutil.copyfile(self.site.file(db), self.new.file(copy))
        if self.target.ods == old_ods:
            self.in_place(db, copy)
        else:
            self.through_gbak(db, copy)

    def through_gbak(self, db, copy):
        # The newer engine refuses the old file itself, and leaves it alone.
        before = pages.sha256(self.new.file(copy))
        p = self.new.isql("select count(*) from customers;\n", copy, check=False)
        self.assertNotEqual(p.returncode, 0)
        old_ods = pages.header(self.new.file(copy))["ods"]
        self.assertRegex(p.stderr, rf"unsupported on-disk structure .*found {old_ods}\.\d+, support {self.target.ods}\.\d+")
        self.assertEqual(pages.sha256(self.new.file(copy)), before, f"{self.target.release} changed the old file")

        fbk = self.site.path("upgrade.fbk")
        self.site.run("gbak", "-b", "-user", "SYSDBA", db, fbk)
        moved = self.new.path("upgrade.fbk")
        shutil.copyfile(self.site.file(fbk), self.new.file(moved))
        restored = self.new.path("restored")
        self.new.run("gbak", "-c", "-user", "SYSDBA", moved, restored)
        self.assertTrue(self.ods(self.new, restored).startswith(f"{self.target.ods}."), self.ods(self.new, restored))
        self.assertNotIn("encrypted", self.new.attributes(restored), "the restore is plain: a backup does not carry encryption")
        self.assertEqual(self.new.crypt_state(restored), 0)
        self.assertEqual(sample.fingerprint(self.new, restored), self.expected)

        self.new.crypt(restored, encrypt=True)
        self.assertEncryptedIn(self.new, restored)
        self.assertEqual(sample.fingerprint(self.new, restored), self.expected)
        self.assertEqual(sample.check(self.new, restored, self.shape), [])
        self.assertEqual(self.new.validate(restored), (0, ""))
        self.report(f"{self.engine.release} ODS {self.ods(self.site, db)} encrypted: refused in place by "
                    f"{self.target.release}, file unchanged; gbak -> ODS {self.ods(self.new, restored)} plain -> "
                    "encrypted; data equal")

    def in_place(self, db, copy):
        seen = [f"as copied: ODS {self.ods(self.new, copy)}"]
        self.assertEncryptedIn(self.new, copy)
        self.assertEqual(sample.fingerprint(self.new, copy), self.expected)
        self.assertEqual(sample.check(self.new, copy, self.shape), [])
        seen.append(f"read: ODS {self.ods(self.new, copy)}")
        self.new.isql("insert into customers values (-1, 'customer upgraded', null);\ncommit;\n", copy)
        self.assertEqual(self.new.query(copy, "select count(*) from customers where id = -1"), [1])
        self.new.isql("delete from customers where id = -1;\ncommit;\n", copy)
        seen.append(f"written: ODS {self.ods(self.new, copy)}")
        self.assertEqual(self.new.validate(copy), (0, ""))
        self.new.crypt(copy, encrypt=False)
        self.assertNotIn("encrypted", self.new.attributes(copy))
        self.new.crypt(copy, encrypt=True)
        self.assertEncryptedIn(self.new, copy)
        seen.append(f"decrypted and encrypted again: ODS {self.ods(self.new, copy)}")
        self.assertEqual(sample.fingerprint(self.new, copy), self.expected)
        # The minor version moves only when a DBA asks for it (5.0's gfix -upgrade).
        self.new.run("gfix", "-upgrade", "-user", "SYSDBA", copy)
        seen.append(f"gfix -upgrade: ODS {self.ods(self.new, copy)}")
        self.assertEncryptedIn(self.new, copy)
        self.assertEqual(sample.fingerprint(self.new, copy), self.expected)
        self.assertEqual(sample.check(self.new, copy, self.shape), [])
        self.assertEqual(self.new.validate(copy), (0, ""))
        self.report(f"{self.engine.release} encrypted file opened in {self.target.release} as it is; " + "; ".join(seen))


if __name__ == "__main__":
    main()
