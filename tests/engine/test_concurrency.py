"""Client processes writing while the crypt thread runs: nothing is lost."""

import time

from enginetest import EngineTest, load, main, overlap_sampler

CLIENTS = 4


class ConcurrentLoad(EngineTest):
    def run_clients_during(self, db, encrypt, first_client):
        """Starts the crypt thread, then CLIENTS writers. The writers attach
        once the ALTER has committed: in Classic mode a process attached
        before it can read a page the crypt thread has just written before
        its own engine has loaded the plug-in. The engine then fails that
        transaction ("Missing crypt plugin, but page appears encrypted"), and
        now and then worse: every process stalls for good, or a committed
        update is lost. The README warns of it; no test can expect an outcome."""
        disk = self.slow_disk(db)  # until the clients have written beside the crypt thread for a while
        holder = self.site.attach(db, ('alter database encrypt with "velkor"' if encrypt
                                       else "alter database decrypt") + ";\ncommit;\n")
        deadline = time.monotonic() + 60
        while "crypt process" not in self.site.attributes(db):
            self.assertLess(time.monotonic(), deadline, "the ALTER never started the crypt thread")
            time.sleep(0.01)

        writers = load.Writers(self.site, db, range(first_client, first_client + CLIENTS))
        overlap = []

        t = time.monotonic()
        try:
            self.site.wait_crypt(db, encrypt, timeout=120, on_sample=overlap_sampler(disk, writers, overlap))
            crypt_time = time.monotonic() - t
            writers.stop()  # they write on beside the end of the run, then stop
            committed = writers.join()
        finally:
            writers.kill()
            self.site.close(holder)
        self.assertTrue(overlap, "the clients never wrote while the crypt thread ran")
        return committed, crypt_time, len(overlap)

    def test_writers_during_encryption_and_decryption(self):
        db, shape = self.populated(200_000, documents=4000)
        self.site.isql(load.TABLE, db)
        pages = self.site.page_count(db)

        committed, enc_time, enc_overlap = self.run_clients_during(db, True, 0)
        self.assertEncrypted(db)
        load.assert_committed(self, self.site, db, committed)
        self.assertIntact(db, shape)

        committed2, dec_time, dec_overlap = self.run_clients_during(db, False, CLIENTS)
        self.assertPlain(db)
        load.assert_committed(self, self.site, db, {**committed, **committed2})
        self.assertIntact(db, shape)
        self.report(f"{pages} pages, {CLIENTS} clients; encryption {enc_time:.2f} s with "
                    f"{sum(committed.values())} batches committed ({enc_overlap} polls saw them writing), "
                    f"decryption {dec_time:.2f} s with {sum(committed2.values())} batches ({dec_overlap} polls)")


if __name__ == "__main__":
    main()
