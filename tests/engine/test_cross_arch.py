"""One database file across CPUs, with Debian 12's Firebird 3.0.11 on arm64
(under emulation) and on x86-64 (this machine's, with the x86-64 module).
The engine stamps the CPU a database was created on into its header, and
the two engines do not treat each other's files alike:
- a database created and encrypted on x86-64 opens on arm64 as it is: every
  row reads back, it takes writes, decrypts, and gfix -v -full is clean;
- x86-64 refuses one created on arm64 ("unsupported on-disk structure ...
  found 12.0, support 12.2") and leaves it byte for byte as it was; it moves
  through gbak (backup on arm64, restore on x86-64: a plain database, which
  velkor then encrypts there).
VELKOR_ENGINE names the arm64 engine, VELKOR_OTHER_ENGINE the x86-64 one,
and VELKOR_OTHER_MODULE the x86-64 build of the module."""

import os
import shutil

from enginetest import EngineTest, KEY_HASH, main, pages, sample, sites


class CrossArch(EngineTest):
    def setUp(self):
        super().setUp()
        module = os.environ["VELKOR_OTHER_MODULE"]
        self.assertTrue(os.path.exists(module), f"no {module}: build the dev preset first")
        self.x86 = sites.Site(self.config.engine(os.environ["VELKOR_OTHER_ENGINE"]), "cross-arch", self.config.but(module=module))
        self.addCleanup(self.x86.cleanup)

    def move(self, source, db, target, name):
        moved = target.path(name)
        shutil.copyfile(source.file(db), target.file(moved))
        return moved

    def test_encrypted_databases_between_arm64_and_x86_64(self):
        shape = sample.shape(self.scaled(100_000))

        # Created and encrypted on x86-64, opened on arm64.
        made = self.x86.db("made-on-x86-64")
        sample.populate(self.x86, made, shape)
        self.x86.crypt(made, encrypt=True)
        expected = sample.fingerprint(self.x86, made)
        arrived = self.move(self.x86, made, self.site, "from-x86-64")
        self.assertEncrypted(arrived)
        self.assertEqual(sample.fingerprint(self.site, arrived), expected)
        self.site.isql("insert into customers values (-1, 'written on arm64', null);\ncommit;\n"
                       "delete from customers where id = -1;\ncommit;\n", arrived)
        self.site.crypt(arrived, encrypt=False)
        self.assertPlain(arrived)
        self.assertIntact(arrived, shape)

        # Created and encrypted on arm64: refused on x86-64, moved by gbak.
        db, _ = self.populated(shape.rows)
        self.site.crypt(db, encrypt=True)
        self.assertEncrypted(db)
        expected = sample.fingerprint(self.site, db)
        copy = self.move(self.site, db, self.x86, "from-arm64")
        before = pages.sha256(self.x86.file(copy))
        p = self.x86.isql("select count(*) from customers;\n", copy, check=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertRegex(p.stderr, r"unsupported on-disk structure for file .*; found 12\.0, support 12\.\d")
        self.assertEqual(pages.sha256(self.x86.file(copy)), before, "x86-64 changed the arm64 file")
        fbk = self.site.path("arm64.fbk")
        self.site.run("gbak", "-b", "-user", "SYSDBA", db, fbk)
        restored = self.x86.db("restored")
        self.x86.run("gbak", "-c", "-user", "SYSDBA", self.move(self.site, fbk, self.x86, "arm64.fbk"), restored)
        self.assertNotIn("encrypted", self.x86.attributes(restored))
        self.x86.crypt(restored, encrypt=True)
        self.assertIn("encrypted", self.x86.attributes(restored))
        self.assertEqual(self.x86.header(restored).get("Key hash"), KEY_HASH)
        self.assertEqual(sample.fingerprint(self.x86, restored), expected)
        self.assertEqual(self.x86.validate(restored), (0, ""))
        self.report(f"{shape.rows} rows: encrypted on x86-64, opened, written and decrypted on arm64; encrypted on "
                    f"arm64, refused as it is by x86-64 ({' '.join(p.stderr.split())[:90]}), moved by gbak and "
                    "encrypted there")


if __name__ == "__main__":
    main()
