"""fbcrypt-check --engine in each real engine: velkor64 passes every step,
and a module whose decrypt gets one bit wrong passes the steps up to
encryption and fails where the engine reads its pages back. A plug-in that
needs a key fails to encrypt without a key holder, and passes with the
test key holder (--key-holder, --key), and so does a correct plug-in written
the stock way (Firebird's status wrapper, an XOR with the key), with
--encrypting. The checker and the modules run where the engine is (inside the
chroot for 4.0 and forky)."""

import os
import re
import shutil
import subprocess
import tempfile
import xml.etree.ElementTree as ElementTree

from enginetest import EngineTest, main

STEPS = ["engine", "engine-database", "engine-encrypt", "engine-header", "engine-pages", "engine-rows",
         "engine-decrypt", "engine-decrypted"]


class CheckerInEngine(EngineTest):
    def setUp(self):
        super().setUp()
        self.bin = tempfile.mkdtemp(prefix="checker-", dir=self.site.dir)
        for f in ("VELKOR_CHECKER", "VELKOR_MODULE", "VELKOR_FAULTY_FLIPS", "VELKOR_FAULTY_KEYED", "VELKOR_KEY_HOLDER",
                  "VELKOR_STOCK"):
            shutil.copy(os.environ[f], self.bin)

    def in_bin(self, variable):
        return self.site.view(os.path.join(self.bin, os.path.basename(os.environ[variable])))

    def check(self, module, *args):
        """Runs the checker; returns (exit status, {check: (outcome, message)}, output)."""
        exe = self.site.view(os.path.join(self.bin, "fbcrypt-check"))
        argv = [exe, self.site.view(os.path.join(self.bin, os.path.basename(module))), "--engine", self.engine.root,
                *args]
        if self.engine.chroot:
            argv = ["chroot", self.engine.chroot, *argv]
        p = subprocess.run(argv, capture_output=True, text=True, timeout=900)
        lines = {m.group(2): (m.group(1), m.group(3)) for m in re.finditer(r"^\s+(PASS|FAIL|SKIP)  (\S+)\s+(.*)$",
                                                                           p.stdout, re.M)}
        return p.returncode, lines, p.stdout + p.stderr

    def test_velkor_passes_every_step(self):
        report = os.path.join(self.bin, "report.xml")
        code, lines, out = self.check(os.environ["VELKOR_MODULE"], "--identity", "--junit", self.site.view(report))
        self.assertEqual(code, 0, out)
        self.assertNotIn("\r", out, "progress written to a log that is no terminal")
        suite = ElementTree.parse(report).getroot().find("testsuite")
        self.assertEqual(suite.find("properties/property[@name='engine']").get("value"),
                         f"Firebird {self.engine.release}")
        self.assertEqual([c.get("name") for c in suite.iter("testcase")][-len(STEPS):], STEPS)
        for step in STEPS:
            self.assertEqual(lines.get(step, ("missing",))[0], "PASS", f"{step}\n{out}")
        self.assertIn(f"Firebird {self.engine.release}", lines["engine"][1])
        self.assertRegex(lines["engine-pages"][1], r"every data, index and blob page carries the encrypted flag")
        self.report(" | ".join(f"{s}: {lines[s][1]}" for s in STEPS[1:4]))

    def test_a_wrong_decrypt_fails_when_pages_come_back(self):
        code, lines, out = self.check(os.environ["VELKOR_FAULTY_FLIPS"])
        self.assertEqual(code, 1, out)
        for step in STEPS[:5]:
            self.assertEqual(lines[step][0], "PASS", f"{step}\n{out}")
        self.assertEqual(lines["engine-rows"][0], "FAIL", out)
        for step in STEPS[6:]:
            self.assertEqual(lines[step], ("SKIP", "not run after engine-rows failed"), out)
        self.report(f"engine-rows: {lines['engine-rows'][1]}")

    def test_plugins_that_need_a_key_get_it_from_the_key_holder(self):
        keyed = os.environ["VELKOR_FAULTY_KEYED"]
        code, lines, out = self.check(keyed)
        self.assertEqual(code, 1, out)
        self.assertEqual(lines["engine-encrypt"][0], "FAIL", out)
        self.assertIn("no key holder offered the key", lines["engine-encrypt"][1])

        code, lines, out = self.check(keyed, "--key-holder", self.in_bin("VELKOR_KEY_HOLDER") + ":fbcrypt-test-holder",
                                      "--key", "FBCRYPT_TEST_KEY")
        self.assertEqual(code, 0, out)
        for step in STEPS:
            self.assertEqual(lines[step][0], "PASS", f"{step}\n{out}")
        self.assertIn('KEY "FBCRYPT_TEST_KEY"', lines["engine-encrypt"][1])
        self.report(f"without a key holder engine-encrypt fails; with it: {lines['engine-encrypt'][1]}")

        code, lines, out = self.check(os.environ["VELKOR_STOCK"], "--encrypting", "--key-holder",
                                      self.in_bin("VELKOR_KEY_HOLDER") + ":fbcrypt-test-holder", "--key", "FBCRYPT_TEST_KEY")
        self.assertEqual(code, 0, out)
        self.assertEqual(lines["encrypting"][0], "PASS", out)
        for step in STEPS:
            self.assertEqual(lines[step][0], "PASS", f"{step}\n{out}")
        self.report(f"the stock-style module: {lines['engine-pages'][1]}")


if __name__ == "__main__":
    main()
