"""Upgrading an encrypted database from Firebird 3.0 to 4.0, the way the
engines allow: a 3.0 gbak backup restored by 4.0's gbak. The restore is a
plain ODS 13 database (a backup never carries encryption), which velkor
then encrypts in 4.0. 4.0 will not open the 3.0 file itself, and leaves it
as it was. VELKOR_ENGINE names the 3.0 engine, VELKOR_UPGRADE_TO the 4.0 one."""

import os
import shutil

from enginetest import KEY_HASH, EngineTest, fbsite, main, sample


class Upgrade(EngineTest):
    def setUp(self):
        super().setUp()
        self.target = fbsite.Engine(os.environ["VELKOR_UPGRADE_TO"])
        self.new = fbsite.Site(self.target, "upgrade-to")
        self.addCleanup(self.new.cleanup)

    def ods(self, site, db):
        return site.header(db).get("ODS version")

    def test_gbak_from_3_0_to_4_0_then_encrypt_again(self):
        self.assertEqual((self.engine.series, self.target.series), ("3.0", "4.0"))
        db, shape = self.populated(30_000)
        self.site.crypt(db, encrypt=True)
        self.assertEncrypted(db)
        expected = sample.fingerprint(self.site, db)
        fbk = self.site.path("upgrade.fbk")
        self.site.run("gbak", "-b", "-user", "SYSDBA", db, fbk)

        # 4.0 refuses the 3.0 file itself, and leaves it alone.
        old = self.new.path("old")
        shutil.copyfile(self.site.file(db), self.new.file(old))
        before = fbsite.sha256(self.new.file(old))
        p = self.new.isql("select count(*) from customers;\n", old, check=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertRegex(p.stderr, r"unsupported on-disk structure .*found 12\.\d+, support 13\.\d+")
        self.assertEqual(fbsite.sha256(self.new.file(old)), before, "4.0 changed the 3.0 file")

        moved = self.new.path("upgrade.fbk")
        shutil.copyfile(self.site.file(fbk), self.new.file(moved))
        restored = self.new.path("restored")
        self.new.run("gbak", "-c", "-user", "SYSDBA", moved, restored)
        self.assertTrue(self.ods(self.new, restored).startswith("13."), self.ods(self.new, restored))
        attrs = self.new.attributes(restored)
        self.assertNotIn("encrypted", attrs, "the restore is plain: a backup does not carry encryption")
        self.assertEqual(self.new.crypt_state(restored), 0)
        self.assertEqual(sample.fingerprint(self.new, restored), expected)

        self.new.crypt(restored, encrypt=True)
        attrs = self.new.attributes(restored)
        self.assertIn("encrypted", attrs)
        self.assertIn("plugin velkor", attrs)
        self.assertEqual(self.new.header(restored).get("Key hash"), KEY_HASH)
        self.assertEqual(self.new.crypt_state(restored), 1)
        self.assertEqual(sample.fingerprint(self.new, restored), expected)
        self.assertEqual(sample.check(self.new, restored, shape), [])
        self.assertEqual(self.new.validate(restored), (0, ""))
        self.report(f"{self.engine.release} ODS {self.ods(self.site, db)} encrypted -> gbak -> "
                    f"{self.target.release} ODS {self.ods(self.new, restored)} plain -> encrypted; data equal")


if __name__ == "__main__":
    main()
