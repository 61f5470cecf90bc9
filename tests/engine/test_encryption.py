"""Online encryption and decryption of a populated database, in a real engine."""

import collections
import shutil
import time

from enginetest import EngineTest, main, pages

# Pages the engine itself rewrites while it encrypts: the rest must keep
# their bodies byte for byte.
REWRITTEN = {1, 3}  # header, transaction inventory


class PluginName(EngineTest):
    def test_unquoted_name_is_folded_to_upper_case_and_fails(self):
        db = self.site.db()
        self.site.isql(f"create database '{db}';\ncreate table t (i integer);\ncommit;\n")
        p = self.site.isql("alter database encrypt with velkor;\ncommit;\n", db, check=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("Crypt plugin VELKOR failed to load", p.stderr)
        self.assertNotIn("encrypted", self.site.attributes(db))
        self.site.crypt(db, encrypt=True)
        self.assertEncrypted(db)


class OnlineEncryption(EngineTest):
    def run_page_size(self, page_size, rows):
        db, shape = self.populated(rows, page_size)
        # 6.0's first attachment after the creating one rewrites a page of
        # RDB$PAGES and the index root pages (the indexes' selectivity), with
        # or without encryption: compare with a copy taken after one.
        self.site.query(db, "select count(*) from rdb$database")
        before = self.site.file(db) + ".before"
        shutil.copyfile(self.site.file(db), before)
        count = self.site.page_count(db)

        t = time.monotonic()
        samples = self.site.crypt(db, encrypt=True)
        encrypt_time = time.monotonic() - t
        self.assertEncrypted(db)
        compared = self.assertSameBodies(before, self.site.file(db))
        self.assertIntact(db, shape)

        # Reading and validating may clean up pages: compare decryption with
        # a copy taken just before it.
        shutil.copyfile(self.site.file(db), before)
        t = time.monotonic()
        self.site.crypt(db, encrypt=False)
        decrypt_time = time.monotonic() - t
        self.assertPlain(db)
        self.assertIntact(db, shape)
        self.assertSameBodies(before, self.site.file(db))

        self.report(f"{shape.rows} rows, {count} pages of {page_size} B; populate {self.populate_time:.2f} s, "
                    f"encrypt {encrypt_time:.2f} s ({len(samples)} polls), decrypt {decrypt_time:.2f} s; "
                    f"identical bodies: {dict(compared)}")

    def assertSameBodies(self, before, after):
        """Every page body after the 16-byte header is as it was, except on
        the pages the engine rewrites. Returns how many pages of each type
        were compared."""
        old = list(pages.pages(before))
        new = list(pages.pages(after))
        self.assertEqual(len(old), len(new), "the file changed size")
        compared = collections.Counter()
        for (n, kind, _, body), (_, new_kind, _, new_body) in zip(old, new):
            self.assertEqual(kind, new_kind, f"page {n} changed type")
            if kind in REWRITTEN:
                continue
            self.assertEqual(body, new_body, f"page {n} ({pages.PAGE_TYPES.get(kind, kind)}) body changed")
            compared[pages.PAGE_TYPES.get(kind, kind)] += 1
        for kind in ("data", "index", "blob"):
            self.assertGreater(compared[kind], 0, f"no {kind} pages compared")
        return compared

    def test_8k_pages(self):
        self.run_page_size(8192, self.scaled(100_000))

    def test_4k_pages(self):
        self.run_page_size(4096, self.scaled(100_000))

    def test_16k_pages(self):
        self.run_page_size(16384, self.scaled(100_000))


if __name__ == "__main__":
    main()
