"""Every place where the crypt state shows, before, during and after an
encryption and a decryption run: isql's SHOW DATABASE, MON$DATABASE,
gstat -h and -e, and the database information items read through the
client library. The report prints what each showed, for the README.

And which statistics a DBA still has on an encrypted database: gstat -h
and -e, and the statistics service's header pages; gstat -a, -d, -i, -r and
-t, and the service's data and index pages, refuse it ("no encrypted
database support"), even with the plug-in loaded."""

import re
import time

from enginetest import EngineTest, main


class Monitoring(EngineTest):
    def show_database(self, db):
        out = self.site.isql("show database;\n", db).stdout
        return next(line.strip() for line in out.splitlines() if "encrypted" in line)

    def mon(self, db):
        columns = "mon$crypt_page" + (", mon$crypt_state" if self.since(4) else "")
        return self.site.query(db, f"select {columns} from mon$database")

    def pages(self, db):
        """gstat -e summed over page types: (total, encrypted, non-crypted)."""
        out = self.site.run("gstat", "-e", db).stdout
        rows = re.findall(r"pages: total (\d+), encrypted (\d+), non-crypted (\d+)", out)
        self.assertTrue(rows, out)
        return tuple(sum(int(r[i]) for r in rows) for i in range(3))

    def look(self, db):
        return {"SHOW DATABASE": self.show_database(db), "MON$DATABASE": self.mon(db),
                "gstat -h": ", ".join(self.site.attributes(db)), "gstat -e": self.pages(db),
                "info": self.site.info(db)}

    def during(self, db, statement):
        """Everything, read while the crypt thread is half-way through (on a slow disk until then)."""
        disk = self.slow_disk(db)
        holder = self.site.attach(db, statement + ";\ncommit;\n")
        try:
            deadline = time.monotonic() + 60
            while self.site.crypt_page(db) == 0:
                self.assertLess(time.monotonic(), deadline, "the crypt thread never saved a position")
                time.sleep(0.005)
            seen = self.look(db)
            self.assertIn("crypt process", self.site.attributes(db),
                          "the run ended while the places were read: the database is too small")
            disk.disarm()
            self.site.wait_crypt(db, "encrypt" in statement)
        finally:
            self.site.close(holder)
        return seen

    def test_every_place_before_during_and_after(self):
        db, _ = self.populated(200_000, documents=20_000)
        seen = {"plain": self.look(db)}
        seen["encrypting"] = self.during(db, 'alter database encrypt with "velkor"')
        seen["encrypted"] = self.look(db)
        seen["decrypting"] = self.during(db, "alter database decrypt")
        seen["decrypted"] = self.look(db)
        for state, places in seen.items():
            self.report(f"{state}: {places}")

        for state in ("plain", "decrypted"):
            self.assertEqual(seen[state]["SHOW DATABASE"], "Database not encrypted")
            self.assertEqual(seen[state]["MON$DATABASE"], [0, 0] if self.since(4) else [0])
            self.assertNotIn("encrypted", seen[state]["gstat -h"])
            self.assertEqual(seen[state]["gstat -e"][1], 0)
            self.assertEqual(seen[state]["info"]["crypt_state"], 0)
        encrypting, decrypting, done = seen["encrypting"], seen["decrypting"], seen["encrypted"]
        self.assertEqual(encrypting["SHOW DATABASE"], "Database encrypted, crypt thread not complete")
        self.assertEqual(decrypting["SHOW DATABASE"], "Database not encrypted, crypt thread not complete")
        self.assertEqual(done["SHOW DATABASE"], "Database encrypted")
        for state, mon_state in ((encrypting, 3), (decrypting, 2)):
            self.assertGreater(state["MON$DATABASE"][0], 0, "MON$CRYPT_PAGE during the run")
            if self.since(4):
                self.assertEqual(state["MON$DATABASE"][1], mon_state)
            total, encrypted, plain = state["gstat -e"]
            self.assertTrue(encrypted > 0 and plain > 0 and encrypted + plain == total, state["gstat -e"])
        self.assertEqual(done["MON$DATABASE"], [0, 1] if self.since(4) else [0])
        self.assertEqual(encrypting["gstat -h"], "force write, encrypted, crypt process, plugin velkor")
        self.assertEqual(decrypting["gstat -h"], "force write, crypt process, plugin velkor")
        self.assertEqual(done["gstat -h"], "force write, encrypted, plugin velkor")
        self.assertEqual(done["gstat -e"][2], 0)
        # fb_info_crypt_state: 1 encrypted, 2 crypt process.
        self.assertEqual(encrypting["info"]["crypt_state"], 3)
        self.assertEqual(decrypting["info"]["crypt_state"], 2)
        self.assertEqual(done["info"]["crypt_state"], 1)
        for state in seen.values():
            self.assertEqual(state["info"]["crypt_key"], "")
        if self.since(4):
            self.assertEqual(done["info"]["crypt_plugin"], "velkor")
            self.assertEqual(encrypting["info"]["crypt_plugin"], "velkor")
        else:
            self.assertIsNone(done["info"]["crypt_plugin"], "3.0 has no fb_info_crypt_plugin")


class Statistics(EngineTest):
    REFUSED = "no encrypted database support, only -e and -h can be used"

    def test_what_statistics_an_encrypted_database_gets(self):
        db, _ = self.populated(5_000)
        self.site.crypt(db, encrypt=True)
        works, refused = [], []
        for args in (["-h"], ["-e"], ["-a"], ["-d"], ["-i"], ["-r"], ["-t", "CUSTOMERS"]):
            p = self.site.run("gstat", *args, db, check=False)
            done = p.returncode == 0 or self.site.died_after_stats(p.returncode, p.stdout + p.stderr)
            (works if done else refused).append(f"gstat {' '.join(args)}")
            if not done:
                self.assertIn(self.REFUSED, p.stdout + p.stderr, f"gstat {' '.join(args)}: exit {p.returncode}")
        for option in ("sts_hdr_pages", "sts_data_pages", "sts_idx_pages"):
            p = self.site.run("fbsvcmgr", "service_mgr", "-user", "SYSDBA", "action_db_stats", "dbname", db,
                              option, check=False)
            done = p.returncode == 0 or self.site.died_after_stats(p.returncode, p.stdout + p.stderr)
            (works if done else refused).append(f"service {option}")
            if not done:
                self.assertIn(self.REFUSED, p.stdout + p.stderr, f"service {option}: exit {p.returncode}")
            else:
                self.assertIn("encrypted, plugin velkor", p.stdout)
        self.assertEqual(works, ["gstat -h", "gstat -e", "service sts_hdr_pages"])
        self.report(f"work: {', '.join(works)}; refused: {', '.join(refused)}")


if __name__ == "__main__":
    main()
