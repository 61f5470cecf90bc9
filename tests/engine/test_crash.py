"""SIGKILL of the engine process in the middle of encryption and of
decryption: the next attachment resumes, and nothing is lost."""

import signal
import time

from enginetest import EngineTest, FAST_ENOUGH, main

CHECKPOINT = 1024  # the crypt thread saves its position every 1,024 pages


class CrashDuringCrypt(EngineTest):
    def kill_midway(self, db, encrypt):
        """Starts the crypt thread and kills its process once the saved
        position is past the first checkpoint and well short of the end.
        Returns the saved position at the kill."""
        total = self.site.page_count(db)
        statement = 'alter database encrypt with "velkor"' if encrypt else "alter database decrypt"
        disk = self.slow_disk(db, FAST_ENOUGH)
        holder = self.site.attach(db, f"{statement};\ncommit;\n")
        deadline = time.monotonic() + 120
        while True:
            page = self.site.crypt_page(db)
            if total // 3 <= page < total - 4 * CHECKPOINT:
                holder.send_signal(signal.SIGKILL)
                holder.wait()
                break
            self.assertIsNone(holder.poll(), "the crypt thread's process ended by itself")
            self.assertLess(time.monotonic(), deadline, f"crypt position stuck at {page}")
            time.sleep(0.005)
        disk.disarm()
        at_kill = self.site.crypt_page(db)
        self.assertIn("crypt process", self.site.attributes(db))
        self.assertTrue(CHECKPOINT <= at_kill < total, at_kill)
        return total, at_kill

    def resume(self, db, encrypt):
        first = []
        self.site.crypt_resume(db, encrypt, timeout=300,
                               on_sample=lambda t, page, attrs: first.append(page) if len(first) < 1 else None)
        return first[0]

    def test_kill_during_encryption_and_decryption(self):
        db, shape = self.populated(100_000, documents=10_000)
        seen = []
        for encrypt in (True, False):
            total, at_kill = self.kill_midway(db, encrypt)
            resumed_at = self.resume(db, encrypt)
            self.assertGreaterEqual(resumed_at, at_kill, "resumed before the saved position")
            if encrypt:
                self.assertEncrypted(db)
            else:
                self.assertPlain(db)
            self.assertIntact(db, shape)
            seen.append(f"{'encryption' if encrypt else 'decryption'} killed at saved page {at_kill} of {total}, "
                        f"first seen after re-attach at {resumed_at}")
        self.report("; ".join(seen))


if __name__ == "__main__":
    main()
