"""The crypt thread and LINGER, through a server. The crypt thread runs only
while an attachment holds the database open, and starts when the database
is opened. With LINGER set, an ENCRYPT from a lone client that detaches
leaves the database open with no thread: short polls keep it lingering,
and the run stays at its first page. Once nothing has attached for longer
than the linger time, the next attachment opens the database afresh and
the run completes."""

import time

from enginetest import ServerTest, main

LINGER = 5  # seconds
POLLING = 12  # seconds of short polls, each well inside the linger time


class CryptAndLinger(ServerTest):
    def test_polls_keep_a_lingering_database_from_encrypting(self):
        db, shape = self.populated(200_000)
        total = self.site.page_count(db)
        self.site.isql(f"alter database set linger to {LINGER};\ncommit;\n", db)
        self.site.isql('alter database encrypt with "velkor";\ncommit;\n', db)  # then detaches

        t = time.monotonic()
        seen = set()
        while time.monotonic() - t < POLLING:
            seen.add(self.site.query(db, "select mon$crypt_page from mon$database")[0])
            self.assertIn("crypt process", self.site.attributes(db))
            time.sleep(1)
        self.assertLessEqual(max(seen), 1, f"the run moved while the database lingered: {sorted(seen)}")

        time.sleep(LINGER + 2)  # nothing attached: the database closes
        t = time.monotonic()
        self.site.crypt_resume(db, encrypt=True, timeout=120)
        resumed = time.monotonic() - t
        self.assertEncrypted(db)
        self.assertIntact(db, shape)
        self.report(f"{total} pages: MON$CRYPT_PAGE {sorted(seen)} through {POLLING} s of polls; "
                    f"after {LINGER + 2} s without attachments, done {resumed:.1f} s after the next attach")


if __name__ == "__main__":
    main()
