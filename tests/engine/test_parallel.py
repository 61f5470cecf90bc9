"""Parallel workers (5.0 on) on a velkor-encrypted database: gbak -par 4
backup and restore, gfix -sweep -par 4, and CREATE INDEX with
ParallelWorkers = 4, embedded in Classic mode and under a SuperServer.
The database's page cache is small (64 pages), so that the workers'
reads come through decrypt. Nothing is lost: the rows by count and checksum, the new index against a
natural scan, and gfix -v -full clean. The module's probe build shows how
many instances the engine made and from how many threads it called them."""

import collections
import os

from enginetest import EngineTest, ServerTest, main, probe_calls, sample

WORKERS = 4


class Parallel:
    module = os.environ.get("VELKOR_PROBE_MODULE")

    def start_probe(self):
        self.probe = os.path.join(self.site.dir, "probe.log")
        self.site.env["VELKOR_PROBE"] = self.site.view(self.probe)

    def probe_seen(self, since=0):
        """(instances made, threads that called encrypt or decrypt) from line `since` of the probe's log."""
        with open(self.probe) as f:
            lines = f.readlines()
        part = self.probe + ".part"
        with open(part, "w") as f:
            f.writelines(lines[since:])
        calls = probe_calls(part)
        threads = collections.Counter(c for seen in calls.values() for c in seen if c.startswith("thread "))
        return len(calls), len(threads), len(lines)

    def test_parallel_workers(self):
        self.site.set_conf(ParallelWorkers=WORKERS, MaxParallelWorkers=2 * WORKERS)
        self.start_probe()
        self.restart()
        db, shape = self.populated(300_000, page_size=4096)
        self.site.crypt(db, encrypt=True)
        self.assertEncrypted(db)
        expected = sample.fingerprint(self.site, db)
        # A small page cache, so that the workers' reads come through decrypt.
        self.site.run("gfix", "-buffers", "64", "-user", "SYSDBA", db)
        seen, mark = [], 0

        def step(what):
            nonlocal mark
            instances, threads, mark = self.probe_seen(mark)
            seen.append(f"{what}: {instances} instance(s), {threads} thread(s)")

        step("populate and encrypt")
        fbk = self.site.path("parallel.fbk")
        self.site.run("gbak", "-b", "-par", str(WORKERS), "-user", "SYSDBA", db, fbk)
        restored = self.site.db("restored")
        self.site.run("gbak", "-c", "-par", str(WORKERS), "-user", "SYSDBA", fbk, restored)
        self.assertEqual(sample.fingerprint(self.site, restored), expected)
        self.assertEqual(sample.check(self.site, restored, shape), [])
        step(f"gbak -b and -c -par {WORKERS}")

        # Garbage for the sweep: every fifth order updated, and back.
        self.site.isql("update orders set amount = amount + 1 where mod(id, 5) = 0;\ncommit;\n"
                       "update orders set amount = amount - 1 where mod(id, 5) = 0;\ncommit;\n", db)
        self.site.run("gfix", "-sweep", "-par", str(WORKERS), "-user", "SYSDBA", db)
        self.assertEqual(sample.fingerprint(self.site, db), expected)
        step(f"gfix -sweep -par {WORKERS}")

        self.site.isql("create index orders_amount on orders (amount);\ncommit;\n", db)
        by_index, by_scan = self.site.query(db, """select
          (select count(*) from orders where amount >= 0 plan (orders index (orders_amount))),
          (select count(*) from orders where amount + 0 >= 0 plan (orders natural)) from rdb$database""")
        self.assertEqual((by_index, by_scan), (shape.orders, shape.orders))
        step(f"CREATE INDEX, ParallelWorkers = {WORKERS}")

        self.assertEncrypted(db)
        self.assertEqual(sample.fingerprint(self.site, db), expected)
        self.assertIntact(db, shape)
        dirty = [c for calls in probe_calls(self.probe).values() for c in calls if c.startswith("dirty")]
        self.assertEqual(dirty, [], "the engine handed encrypt or decrypt a status holding an error")
        self.report("; ".join(seen))


class ParallelClassic(Parallel, EngineTest):
    def restart(self):
        pass  # each tool is an engine of its own, started with the site's settings


class ParallelSuperServer(Parallel, ServerTest):
    def restart(self):
        self.site.stop()
        self.site.start()


if __name__ == "__main__":
    main()
