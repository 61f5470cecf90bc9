"""fbcrypt-check --engine in each real engine. velkor64 passes every step; a
module whose decrypt gets one bit wrong passes the steps up to encryption
and fails where the engine reads its pages back; a plug-in that needs a key
fails to encrypt without a key holder, and passes with the test key holder
(--key-holder, --key). Every correct plug-in of the checker's corpus
(tests/checker/corpus) passes every step, with --encrypting; the faults
that pass a stand-in alone fail here too: plaintext written when no key is
offered (engine-pages), output salted with the database's path
(engine-moved). The checker and the modules run where the engine is (inside
the chroot for Debian's later releases)."""

import json
import os
import shutil
import subprocess
import tempfile
import time
import xml.etree.ElementTree as ElementTree

from enginetest import EngineTest, main

STEPS = ["engine", "engine-database", "engine-encrypt", "engine-header", "engine-pages", "engine-rows",
         "engine-moved", "engine-decrypt", "engine-decrypted"]
HOLDER = "fbcrypt-test-holder"
KEY = ["--key", "FBCRYPT_TEST_KEY"]
# The corpus, and what each needs besides the test key holder.
CORPUS = {"count_left": [], "key32": ["--key-bytes", "32"], "own_config": ["--config-entry", "Salt=coarse"],
          "key_schedule": [], "uses_util": [], "throwing": []}


class CheckerInEngine(EngineTest):
    def setUp(self):
        super().setUp()
        self.bin = tempfile.mkdtemp(prefix="checker-", dir=self.site.dir)
        for f in ("VELKOR_CHECKER", "VELKOR_MODULE", "VELKOR_KEY_HOLDER"):
            shutil.copy(os.environ[f], self.bin)
        # The test key holder's 32-byte key, for key32: its Config block.
        with open(os.path.join(self.bin, "key32.conf"), "w") as f:
            f.write("Key = " + "".join(f"{b:02x}" for b in range(32)) + "\n")

    def view(self, name):
        return self.site.view(os.path.join(self.bin, name))

    def built(self, target):
        """A module of tests/checker, copied where the engine can load it."""
        path = os.path.join(os.environ["VELKOR_CHECKER_MODULES"], f"lib{target}.so")
        shutil.copy(path, self.bin)
        return os.path.basename(path)

    def holder(self):
        return ["--key-holder", self.view(os.path.basename(os.environ["VELKOR_KEY_HOLDER"])) + ":" + HOLDER]

    def check(self, module, *args):
        """Runs the checker with --json; returns (exit status, {check: (result, message)}, output, seconds)."""
        argv = [self.view("fbcrypt-check"), self.view(module), "--engine", self.engine.root, "--json", *args]
        if self.engine.chroot:
            argv = ["chroot", self.engine.chroot, *argv]
        t = time.monotonic()
        p = subprocess.run(argv, capture_output=True, text=True, timeout=900)
        took = time.monotonic() - t
        try:
            report = json.loads(p.stdout)
        except ValueError:
            self.fail(f"no JSON from the checker (exit {p.returncode}):\n{p.stdout}{p.stderr}")
        lines = {c["check"]: (c["result"], c["message"]) for plugin in report.get("plugins", [])
                 for c in plugin["checks"]}
        return p.returncode, lines, p.stdout + p.stderr, took

    def assertSteps(self, lines, out, result="PASS", steps=STEPS):
        for step in steps:
            self.assertEqual(lines.get(step, ("missing",))[0], result, f"{step}\n{out}")

    def test_velkor_passes_every_step(self):
        report = os.path.join(self.bin, "report.xml")
        code, lines, out, _ = self.check(os.path.basename(os.environ["VELKOR_MODULE"]), "--identity", "--junit",
                                         self.view("report.xml"))
        self.assertEqual(code, 0, out)
        self.assertNotIn("\r", out, "progress written to a log that is no terminal")
        suite = ElementTree.parse(report).getroot().find("testsuite")
        self.assertEqual(suite.find("properties/property[@name='engine']").get("value"),
                         f"Firebird {self.engine.release}")
        self.assertIn(f"Firebird {self.engine.release})", suite.get("name"))
        self.assertEqual([c.get("name") for c in suite.iter("testcase")][-len(STEPS):], STEPS)
        self.assertSteps(lines, out)
        self.assertIn(f"Firebird {self.engine.release}", lines["engine"][1])
        self.report(" | ".join(f"{s}: {lines[s][1]}" for s in STEPS[1:4]))

    def test_a_wrong_decrypt_fails_when_pages_come_back(self):
        code, lines, out, _ = self.check(self.built("faulty_decrypt_flips"))
        self.assertEqual(code, 1, out)
        self.assertSteps(lines, out, steps=STEPS[:5])
        self.assertEqual(lines["engine-rows"][0], "FAIL", out)
        for step in STEPS[6:]:
            self.assertEqual(lines[step], ("SKIP", "not run after engine-rows failed"), out)
        self.report(f"engine-rows: {lines['engine-rows'][1]}")

    def test_plugins_that_need_a_key_get_it_from_the_key_holder(self):
        keyed = self.built("faulty_keyed")
        code, lines, out, _ = self.check(keyed)
        self.assertEqual(code, 1, out)
        self.assertEqual(lines["engine-encrypt"][0], "FAIL", out)
        self.assertIn("no key holder offered the key", lines["engine-encrypt"][1])

        code, lines, out, _ = self.check(keyed, *self.holder(), *KEY)
        self.assertEqual(code, 0, out)
        self.assertSteps(lines, out)
        self.assertIn('KEY "FBCRYPT_TEST_KEY"', lines["engine-encrypt"][1])
        self.report(f"without a key holder engine-encrypt fails; with it: {lines['engine-encrypt'][1]}")

    def test_the_correct_corpus_passes_every_step(self):
        for name, extra in {"stock_crypt": [], **{f"corpus_{n}": a for n, a in CORPUS.items()}}.items():
            with self.subTest(name):
                args = [*self.holder(), *KEY, *extra]
                if name == "corpus_key32":
                    args += ["--key-holder-config", self.view("key32.conf")]
                code, lines, out, took = self.check(self.built(name), "--encrypting", *args)
                self.assertEqual(code, 0, out)
                self.assertSteps(lines, out)
                self.assertRegex(lines["engine-pages"][1], r"(\d+) of \1 page bodies changed")
                self.report(f"{name}: every step passes, --encrypting ({took:.1f} s)")

    def test_faults_a_stand_in_alone_would_not_see_in_an_engine(self):
        # No key holder: the plug-in writes plaintext, and the engine calls the database encrypted.
        code, lines, out, _ = self.check(self.built("faulty_plaintext_without_key"), "--encrypting")
        self.assertEqual(code, 1, out)
        self.assertEqual(lines["no-key"][0], "FAIL", out)
        self.assertEqual(lines["engine-encrypt"][0], "PASS", out)
        self.assertEqual(lines["engine-pages"][0], "FAIL", out)
        self.assertIn("the identity transform's", lines["engine-pages"][1])
        # An IV salted with the path: the moved copy does not attach.
        code, lines, out, _ = self.check(self.built("faulty_path_salted"))
        self.assertEqual(code, 1, out)
        self.assertEqual(lines["database-path"][0], "FAIL", out)
        self.assertSteps(lines, out, steps=STEPS[:6])
        self.assertEqual(lines["engine-moved"][0], "FAIL", out)
        self.report(f"plaintext: {lines['engine-moved'][1]}")

    def test_a_stalled_crypt_run_ends_within_a_minute(self):
        code, lines, out, took = self.check(self.built("faulty_chained"))
        self.assertEqual(code, 1, out)
        self.assertEqual(lines["engine-encrypt"][0], "FAIL", out)
        # The crypt thread stops (the checker sees no progress), or the ALTER itself never returns (nothing heard).
        self.assertRegex(lines["engine-encrypt"][1], r"^(no progress at page \d+ of \d+ for \d+ s: |the engine's process "
                                                     r"made no progress for 30 s and was killed in engine-encrypt: )")
        self.assertLess(took, 60, out)
        self.report(f"chained output: engine-encrypt FAILs after {took:.0f} s: {lines['engine-encrypt'][1][:120]}")


if __name__ == "__main__":
    main()
