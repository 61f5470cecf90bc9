"""One server, three velkor-encrypted databases, writers on all three at
once: each database gets instances of its own (seen by the module's probe
build), none is handed a status that already holds an error, and every row
is right."""

import collections
import os

from enginetest import ServerTest, load, main, probe_calls, sample

DATABASES = ("first", "second", "third")


class ManyDatabases(ServerTest):
    module = os.environ.get("VELKOR_PROBE_MODULE")

    def setUp(self):
        super().setUp()
        self.probe = os.path.join(self.site.dir, "probe.log")
        self.site.stop()
        self.site.env["VELKOR_PROBE"] = self.site.view(self.probe)
        self.site.start()

    def test_three_databases_at_once(self):
        shape = sample.shape(30_000)
        dbs = {}
        for name in DATABASES:
            dbs[name] = self.site.db(name)
            sample.populate(self.site, dbs[name], shape)
            self.site.isql(load.TABLE, dbs[name])
            self.site.crypt(dbs[name], encrypt=True)
        writers = {name: load.Writers(self.site, db, range(4 * i, 4 * i + 4), batches=50)
                   for i, (name, db) in enumerate(dbs.items())}
        committed = {name: w.join() for name, w in writers.items()}
        for name, db in dbs.items():
            self.assertEncrypted(db)
            load.assert_committed(self, self.site, db, committed[name])
            self.assertIntact(db, shape)

        seen = probe_calls(self.probe)
        self.assertEqual([c for calls in seen.values() for c in calls if c.startswith("dirty")], [],
                         "the server handed encrypt or decrypt a status holding an error")
        paths = {instance: {c[len("setInfo "):] for c in calls if c.startswith("setInfo ")}
                 for instance, calls in seen.items()}
        for instance, given in paths.items():
            self.assertEqual(len(given), 1, f"instance {instance} served {given}")
        per_database = collections.Counter(next(iter(p)) for p in paths.values())
        self.assertEqual(set(per_database), {self.site.local(db) for db in dbs.values()})
        self.assertEqual(len({key[0] for key in paths}), 1, "one server process")
        self.report(f"{self.mode}: instances per database {sorted(per_database.values())}, "
                    f"{sum(sum(c.values()) for c in committed.values())} batches committed")


if __name__ == "__main__":
    main()
