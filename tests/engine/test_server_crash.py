"""SIGKILL of the server in the middle of encryption and of decryption: after
a restart the crypt thread resumes from the saved position once a client
attaches, completes, and every row is intact."""

import time

from enginetest import ServerTest, FAST_ENOUGH, main, sample

CHECKPOINT = 1024  # the crypt thread saves its position every 1,024 pages


class ServerKilledDuringCrypt(ServerTest):
    def test_kill_server_during_encryption_and_decryption(self):
        db, shape = self.populated(200_000, documents=10_000)
        total = self.site.page_count(db)
        seen = []
        for encrypt in (True, False):
            disk = self.slow_disk(db, FAST_ENOUGH)
            holder = self.site.attach(db, ('alter database encrypt with "velkor"' if encrypt
                                           else "alter database decrypt") + ";\ncommit;\n")
            deadline = time.monotonic() + 120
            while not total // 3 <= self.site.crypt_page(db) < total - 4 * CHECKPOINT:
                self.assertLess(time.monotonic(), deadline, f"crypt position stuck at {self.site.crypt_page(db)}")
                time.sleep(0.005)
            self.site.kill()
            disk.disarm()
            at_kill = self.site.crypt_page(db)
            self.site.close(holder)
            self.assertIn("crypt process", self.site.attributes(db))

            self.site.start()
            first = []
            self.site.crypt_resume(db, encrypt, timeout=300,
                                   on_sample=lambda t, page, attrs: first.append(page) if not first else None)
            self.assertGreaterEqual(first[0], at_kill, "resumed before the saved position")
            if encrypt:
                self.assertEncrypted(db)
            else:
                self.assertPlain(db)
            self.assertEqual(sample.check(self.site, db, shape), [])
            seen.append(f"{'encryption' if encrypt else 'decryption'} killed at saved page {at_kill} of {total}, "
                        f"resumed at {first[0]}")
        # A killed server may leave orphan or pointer-page warnings, plug-in or
        # not: validation is the test of the rows above, not of the crash.
        self.report("; ".join(seen) + f"; gfix -v -full after: {self.site.validate(db)}")


if __name__ == "__main__":
    main()
