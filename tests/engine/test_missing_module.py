"""An encrypted database whose module is gone: a clear error, and the file
is left alone; with the module back, everything works again."""

import os

from enginetest import EngineTest, main, pages


class MissingModule(EngineTest):
    def test_attach_without_the_module_fails_and_changes_nothing(self):
        db, shape = self.populated(30_000)
        self.site.crypt(db, encrypt=True)
        before = pages.sha256(self.site.file(db))

        os.rename(self.site.module_file, self.site.module_file + ".away")
        p = self.site.isql("select count(*) from customers;\n", db, check=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("Crypt plugin velkor failed to load", p.stderr)
        self.assertEqual(pages.sha256(self.site.file(db)), before, "the database file changed")

        os.rename(self.site.module_file + ".away", self.site.module_file)
        self.assertEncrypted(db)
        self.assertIntact(db, shape)
        self.report(f"without the module: {p.stderr.strip().splitlines()[-1]!r}; file unchanged")


if __name__ == "__main__":
    main()
