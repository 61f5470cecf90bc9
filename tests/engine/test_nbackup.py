"""nbackup of a velkor-encrypted database: a level 0 and a level 1 backup
restored as a chain, lock/copy/unlock with a fix-up of the copy, the
engine's two refusals, and what works without the module."""

import os
import shutil
import time

from enginetest import EngineTest, main, pages, sample

CHANGES = {"changes": "id || '|' || v"}


class Nbackup(EngineTest):
    def nbackup(self, *args, check=True):
        return self.site.run("nbackup", "-user", "SYSDBA", *args, check=check)

    def make_changes(self, db):
        self.site.isql("create table changes (id integer primary key, v varchar(40));\ncommit;\n"
                       "set term ^;\nexecute block as declare i integer = 0; begin\n"
                       "  while (i < 5000) do begin insert into changes values (:i, 'change ' || :i); i = i + 1; end\n"
                       "end^\nset term ;^\ncommit;\n", db)

    def test_level_0_then_level_1_restore_as_a_chain(self):
        db, shape = self.populated(30_000)
        self.site.crypt(db, encrypt=True)
        level0, level1 = self.site.path("level0.nbk"), self.site.path("level1.nbk")
        self.nbackup("-B", "0", db, level0)
        self.make_changes(db)
        self.nbackup("-B", "1", db, level1)
        expected = sample.fingerprint(self.site, db, {**sample.ROW_TEXT, **CHANGES})

        restored = self.site.path("restored")
        self.nbackup("-R", restored, level0, level1)
        self.assertEncrypted(restored)
        self.assertEqual(sample.fingerprint(self.site, restored, {**sample.ROW_TEXT, **CHANGES}), expected)
        self.assertIntact(restored, shape)

    def test_lock_copy_unlock_then_fix_up_the_copy(self):
        db, shape = self.populated(30_000)
        self.site.crypt(db, encrypt=True)
        self.nbackup("-L", db)
        copy = self.site.path("copy")
        shutil.copyfile(self.site.file(db), self.site.file(copy))
        self.make_changes(db)  # goes to the delta file while the database is locked
        self.nbackup("-N", db)
        self.nbackup("-F", copy)
        self.assertEncrypted(copy)
        self.assertIntact(copy, shape)
        self.assertEqual(self.site.query(copy, "select count(*) from rdb$relations where rdb$relation_name = 'CHANGES'"),
                         [0], "the copy has what was written after the lock")
        self.assertEqual(self.site.query(db, "select count(*) from changes"), [5000])

    def test_the_engine_refuses_backup_during_a_crypt_run_and_crypt_during_a_lock(self):
        db, shape = self.populated(200_000)
        disk = self.slow_disk(db)
        holder = self.site.attach(db, 'alter database encrypt with "velkor";\ncommit;\n')
        deadline = time.monotonic() + 60
        while "crypt process" not in self.site.attributes(db):
            self.assertLess(time.monotonic(), deadline, "the ALTER never started the crypt thread")
            time.sleep(0.01)
        p = self.nbackup("-B", "0", db, self.site.path("level0.nbk"), check=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("Cannot begin backup: please wait for crypt thread completion", p.stdout + p.stderr)
        # 4.0 (Classic) leaves the crypt thread stalled after this refusal
        # until every attachment has gone: start it afresh.
        disk.disarm()
        self.site.close(holder)
        self.site.crypt_resume(db, encrypt=True)
        self.assertEncrypted(db)

        self.nbackup("-L", db)
        p = self.site.isql("alter database decrypt;\ncommit;\n", db, check=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("Cannot crypt: please wait for nbackup completion", p.stderr)
        self.nbackup("-N", db)
        self.assertEncrypted(db)
        self.assertIntact(db, shape)

    def test_without_the_module(self):
        """Restoring and fixing up work on files alone; anything that attaches fails."""
        db, shape = self.populated(30_000)
        self.site.crypt(db, encrypt=True)
        level0 = self.site.path("level0.nbk")
        self.nbackup("-B", "0", db, level0)
        self.nbackup("-L", db)
        copy = self.site.path("copy")
        shutil.copyfile(self.site.file(db), self.site.file(copy))
        self.nbackup("-N", db)
        before = {f: pages.sha256(self.site.file(f)) for f in (db, level0)}

        os.rename(self.site.module_file, self.site.module_file + ".away")
        works = {}
        restored = self.site.path("restored")
        works["nbackup -R"] = self.nbackup("-R", restored, level0, check=False)
        works["nbackup -F"] = self.nbackup("-F", copy, check=False)
        works["gstat -h"] = self.site.run("gstat", "-h", db, check=False)
        works["gstat -e"] = self.site.run("gstat", "-e", db, check=False)
        for what, p in works.items():
            self.assertEqual(p.returncode, 0, f"{what} without the module: {p.stdout}{p.stderr}")
        fails = {
            "nbackup -L": self.nbackup("-L", db, check=False),
            "nbackup -B 0": self.nbackup("-B", "0", db, self.site.path("again.nbk"), check=False),
            "isql": self.site.isql("select count(*) from customers;\n", db, check=False),
        }
        for what, p in fails.items():
            self.assertNotEqual(p.returncode, 0, what)
            self.assertIn("Crypt plugin velkor failed to load", p.stdout + p.stderr, what)
        self.assertEqual({f: pages.sha256(self.site.file(f)) for f in before}, before, "a file changed")
        self.assertFalse(os.path.exists(self.site.file(self.site.path("again.nbk"))))

        os.rename(self.site.module_file + ".away", self.site.module_file)
        for f in (db, restored, copy):
            self.assertEncrypted(f)
            self.assertIntact(f, shape)
        self.report("without the module, " + ", ".join(works) + " work; " + ", ".join(fails) +
                    " fail with \"Crypt plugin velkor failed to load\"; no file changed")


if __name__ == "__main__":
    main()
