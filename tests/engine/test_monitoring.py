"""Every place where the crypt state shows, before, during and after an
encryption and a decryption run: isql's SHOW DATABASE, MON$DATABASE,
fbstat -h and -e, and the database information items read through the
client library. The report prints what each showed, for the README."""

import re
import time

from enginetest import EngineTest, main


class Monitoring(EngineTest):
    def show_database(self, db):
        out = self.site.isql("show database;\n", db).stdout
        return next(line.strip() for line in out.splitlines() if "encrypted" in line)

    def mon(self, db):
        columns = "mon$crypt_page" + (", mon$crypt_state" if self.v4 else "")
        return self.site.query(db, f"select {columns} from mon$database")

    def pages(self, db):
        """fbstat -e summed over page types: (total, encrypted, non-crypted)."""
        out = self.site.run("fbstat", "-e", db).stdout
        rows = re.findall(r"pages: total (\d+), encrypted (\d+), non-crypted (\d+)", out)
        self.assertTrue(rows, out)
        return tuple(sum(int(r[i]) for r in rows) for i in range(3))

    def look(self, db):
        return {"SHOW DATABASE": self.show_database(db), "MON$DATABASE": self.mon(db),
                "fbstat -h": ", ".join(self.site.attributes(db)), "fbstat -e": self.pages(db),
                "info": self.site.info(db)}

    def during(self, db, statement):
        """Everything, read while the crypt thread is half-way through."""
        holder = self.site.attach(db, statement + ";\ncommit;\n")
        try:
            deadline = time.monotonic() + 60
            while self.site.crypt_page(db) == 0:
                self.assertLess(time.monotonic(), deadline, "the crypt thread never saved a position")
                time.sleep(0.005)
            seen = self.look(db)
            self.assertIn("crypt process", self.site.attributes(db),
                          "the run ended while the places were read: the database is too small")
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
            self.assertEqual(seen[state]["MON$DATABASE"], [0, 0] if self.v4 else [0])
            self.assertNotIn("encrypted", seen[state]["fbstat -h"])
            self.assertEqual(seen[state]["fbstat -e"][1], 0)
            self.assertEqual(seen[state]["info"]["crypt_state"], 0)
        encrypting, decrypting, done = seen["encrypting"], seen["decrypting"], seen["encrypted"]
        self.assertEqual(encrypting["SHOW DATABASE"], "Database encrypted, crypt thread not complete")
        self.assertEqual(decrypting["SHOW DATABASE"], "Database not encrypted, crypt thread not complete")
        self.assertEqual(done["SHOW DATABASE"], "Database encrypted")
        for state, mon_state in ((encrypting, 3), (decrypting, 2)):
            self.assertGreater(state["MON$DATABASE"][0], 0, "MON$CRYPT_PAGE during the run")
            if self.v4:
                self.assertEqual(state["MON$DATABASE"][1], mon_state)
            total, encrypted, plain = state["fbstat -e"]
            self.assertTrue(encrypted > 0 and plain > 0 and encrypted + plain == total, state["fbstat -e"])
        self.assertEqual(done["MON$DATABASE"], [0, 1] if self.v4 else [0])
        self.assertEqual(encrypting["fbstat -h"], "force write, encrypted, crypt process, plugin velkor")
        self.assertEqual(decrypting["fbstat -h"], "force write, crypt process, plugin velkor")
        self.assertEqual(done["fbstat -h"], "force write, encrypted, plugin velkor")
        self.assertEqual(done["fbstat -e"][2], 0)
        # fb_info_crypt_state: 1 encrypted, 2 crypt process.
        self.assertEqual(encrypting["info"]["crypt_state"], 3)
        self.assertEqual(decrypting["info"]["crypt_state"], 2)
        self.assertEqual(done["info"]["crypt_state"], 1)
        for state in seen.values():
            self.assertEqual(state["info"]["crypt_key"], "")
        if self.v4:
            self.assertEqual(done["info"]["crypt_plugin"], "velkor")
            self.assertEqual(encrypting["info"]["crypt_plugin"], "velkor")
        else:
            self.assertIsNone(done["info"]["crypt_plugin"], "3.0 has no fb_info_crypt_plugin")


if __name__ == "__main__":
    main()
