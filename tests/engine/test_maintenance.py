"""A DBA's maintenance while encryption is half done: validation, sweep,
a full shutdown and back online. The run then resumes and completes, and
every row is intact."""

import time

from enginetest import EngineTest, main


class MaintenanceDuringCrypt(EngineTest):
    def gfix(self, *args):
        return self.site.run("gfix", *args, "-user", "SYSDBA")

    def stop_half_way(self, db):
        """Starts encryption and detaches once the saved position is past a
        third of the file: the crypt thread stops there, the header says
        "crypt process"."""
        total = self.site.page_count(db)
        disk = self.slow_disk(db)
        holder = self.site.attach(db, 'alter database encrypt with "velkor";\ncommit;\n')
        deadline = time.monotonic() + 120
        while self.site.crypt_page(db) < total // 3:
            self.assertLess(time.monotonic(), deadline, "the crypt thread did not get a third of the way")
            time.sleep(0.005)
        self.site.close(holder)
        disk.disarm()
        return total

    def test_validate_sweep_shutdown_online_during_encryption(self):
        db, shape = self.populated(200_000, documents=10_000)
        total = self.stop_half_way(db)
        seen = []
        for args in (["-v", "-full", db], ["-sweep", db], ["-shut", "full", "-force", "0", db], ["-online", db]):
            attrs, page = self.site.attributes(db), self.site.crypt_page(db)
            self.assertIn("crypt process", attrs, f"the run ended before gfix {' '.join(args[:-1])}")
            p = self.gfix(*args)
            self.assertEqual((p.stdout + p.stderr).strip(), "", f"gfix {' '.join(args[:-1])}")
            seen.append(f"gfix {' '.join(args[:-1])} at page {page}")
        self.assertNotIn("shutdown", " ".join(self.site.attributes(db)))

        self.site.crypt_resume(db, encrypt=True)
        self.assertEncrypted(db)
        self.assertIntact(db, shape)
        self.report(f"{total} pages; " + ", ".join(seen) + "; then the run completed")


if __name__ == "__main__":
    main()
