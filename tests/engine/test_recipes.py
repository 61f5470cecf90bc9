"""The DBA recipes of docs/dba-recipes.md, run as they stand in the guide
(docs/recipes/, which the guide shows verbatim: tests/docs checks that), in
each engine, with the engine's tools under their plain names (isql, gstat,
gfix, gbak, nbackup, fbsvcmgr; Debian calls two of them isql-fb and fbstat)
on the PATH, and the guide's variables set. Each recipe does what the guide
says it does."""

import os
import re
import stat
import subprocess

from enginetest import EngineTest, KEY_HASH, main, sample

RECIPES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "recipes")
TOOLS = ("isql", "gstat", "gfix", "gbak", "nbackup", "fbsvcmgr")


class Recipes(EngineTest):
    def setUp(self):
        super().setUp()
        self.bin = os.path.join(self.site.dir, "bin")
        os.makedirs(self.bin)
        for tool in TOOLS:  # the engine's tool, run as the site runs it
            path = os.path.join(self.bin, tool)
            with open(path, "w") as f:
                f.write("#!/bin/sh\nexec " + " ".join(f"'{a}'" for a in self.site.command(tool)) + ' "$@"\n')
            os.chmod(path, os.stat(path).st_mode | stat.S_IEXEC)
        self.db, self.shape = self.populated(self.scaled(20_000))
        self.vars = {"DB": self.db, "BACKUP": self.site.path("backup.fbk"), "RESTORED": self.site.db("restored")}

    def recipe(self, name, **more):
        with open(os.path.join(RECIPES, name)) as f:
            script = f.read()
        env = {**os.environ, **self.vars, **more, "PATH": self.bin + ":" + os.environ["PATH"]}
        if name.endswith(".sql"):
            argv, stdin = ["isql", "-user", "SYSDBA", self.db], script
        else:
            argv, stdin = ["sh", "-eu", "-c", script], None
        p = subprocess.run(argv, input=stdin, env=env, capture_output=True, text=True, timeout=600)
        return p.returncode, p.stdout + p.stderr

    def test_the_recipes(self):
        code, out = self.recipe("encrypt.sh")
        self.assertEqual(code, 0, out)
        self.assertRegex(out, r"Attributes\s+force write, encrypted, plugin velkor")
        self.assertIn(KEY_HASH, out)
        self.assertEncrypted(self.db)

        code, out = self.recipe("monitoring.sql")
        self.assertIn("Database encrypted", out)
        if self.since(6):
            # A table of one's own named MON$DATABASE shadows the system's for
            # the unqualified name; the 6.0 recipe names the schema.
            self.site.isql("create table mon$database (mon$crypt_page int, mon$crypt_state int);\n"
                           "insert into mon$database values (99, 99);\ncommit;\n", self.db)
            code, out = self.recipe("monitoring.sql")
            self.assertRegex(out, r"MON\$CRYPT_PAGE\s+=+\s+99\b", "the user's table did not shadow the system's")
            code, out = self.recipe("monitoring-6.0.sql")
            self.assertEqual(code, 0, out)
            self.assertRegex(out, r"MON\$CRYPT_PAGE\s+MON\$CRYPT_STATE\s+=+\s+=+\s+0\s+1\b")
            self.site.isql("drop table mon$database;\ncommit;\n", self.db)
        else:
            self.assertRegex(out, r"MON\$CRYPT_PAGE\s+=+\s+0\b")
            if self.since(4):
                self.assertRegex(out, r"MON\$CRYPT_STATE\s+=+\s+1\b")

        code, out = self.recipe("statistics.sh")
        if not self.site.died_after_stats(code, out):
            self.assertEqual(code, 0, out)
        self.assertRegex(out, r"Data pages: total \d+, encrypted \d+, non-crypted 0")
        self.assertGreaterEqual(len(re.findall(r"encrypted, plugin velkor", out)), 2, out)  # gstat and the service

        code, out = self.recipe("gbak.sh")
        self.assertEqual(code, 0, out)
        self.assertNotIn("encrypted", out)
        self.assertEqual(sample.check(self.site, self.vars["RESTORED"], self.shape), [])
        os.remove(self.site.file(self.vars["RESTORED"]))

        if self.since(4):
            self.site.add_plugin(os.environ["VELKOR_KEY_HOLDER"], "fbcrypt-test-holder")
            code, out = self.recipe("gbak-crypt.sh", HOLDER="fbcrypt-test-holder", KEY="fbcrypt_test_key")
            self.assertEqual((code, out.strip()), (0, ""))
            self.assertEncrypted(self.vars["RESTORED"])
            self.assertEqual(sample.check(self.site, self.vars["RESTORED"], self.shape), [])
            os.remove(self.site.file(self.vars["RESTORED"]))

        code, out = self.recipe("nbackup.sh")
        self.assertEqual(code, 0, out)
        self.assertRegex(out, r"Attributes\s+force write, encrypted, plugin velkor")
        self.assertEqual(sample.check(self.site, self.vars["RESTORED"], self.shape), [])

        code, out = self.recipe("decrypt.sh")
        self.assertEqual(code, 0, out)
        self.assertPlain(self.db)
        self.assertIntact(self.db, self.shape)


if __name__ == "__main__":
    main()
