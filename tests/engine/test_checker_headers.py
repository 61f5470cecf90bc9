"""The module and fbcrypt-check built with an engine's own headers (the
include/ folder of the 5.0.4 and 6.0 roots), as a plug-in author on that
release builds them, and run in that engine. velkor64 passes with
--identity. The stand-in's key holders hand out key callbacks in the form
of those headers: with 6.0's, a plug-in gives back (dispose) each callback
it took from keyHandle, and the checker says so; the stock-style module does
and passes, while one that never gives them back gets a WARN. With --engine
and the test key holder built the same way, the stock-style module passes
every step in the engine."""

import os
import re
import shutil
import subprocess
import tempfile

from enginetest import CONFIG, EngineTest, main

HERE = os.path.dirname(os.path.abspath(__file__))
TARGETS = ("velkor64", "fbcrypt-check", "stock_crypt", "faulty_keyed", "key_holder")


class CheckerWithEngineHeaders(EngineTest):
    def setUp(self):
        super().setUp()
        self.include = os.path.join(self.engine.root, "include")
        self.build = tempfile.mkdtemp(prefix="velkor-headers-", dir=CONFIG.work)
        self.addCleanup(shutil.rmtree, self.build, True)
        subprocess.run(["cmake", "-S", os.path.join(HERE, "..", ".."), "-B", self.build,
                        f"-DFIREBIRD_INCLUDE_DIR={self.include}", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                       check=True, capture_output=True, timeout=300)
        p = subprocess.run(["cmake", "--build", self.build, "-j", str(os.cpu_count()), "--target", *TARGETS],
                           capture_output=True, text=True, timeout=1200)
        self.assertEqual(p.returncode, 0, p.stdout[-3000:] + p.stderr[-3000:])

    def built(self, path):
        return os.path.join(self.build, path)

    def check(self, module, *args):
        p = subprocess.run([self.built("tools/fbcrypt-check"), self.built(module), *args], capture_output=True,
                           text=True, timeout=900)
        lines = {m.group(2): (m.group(1), m.group(3))
                 for m in re.finditer(r"^\s+(PASS|WARN|FAIL|SKIP)  (\S+)\s+(.*)$", p.stdout, re.M)}
        return p.returncode, lines, p.stdout + p.stderr

    def test_built_with_the_engines_headers(self):
        disposable = self.engine.major >= 6
        code, lines, out = self.check("src/libvelkor64.so", "--identity")
        self.assertEqual(code, 0, out)
        self.assertEqual({name for name, (verdict, _) in lines.items() if verdict != "PASS"},
                         {"encrypting", "no-key"}, out)

        code, lines, out = self.check("tests/checker/libstock_crypt.so", "--encrypting")
        self.assertEqual(code, 0, out)
        self.assertEqual(lines["key-holders"][0], "PASS", out)
        self.assertEqual("every key callback given back (dispose)" in lines["key-holders"][1], disposable, out)

        code, lines, out = self.check("tests/checker/libfaulty_keyed.so")
        self.assertEqual(code, 0, out)
        self.assertEqual(lines["key-holders"][0], "WARN" if disposable else "PASS", out)

        holder = self.built("tests/checker/libkey_holder.so") + ":fbcrypt-test-holder"
        code, lines, out = self.check("tests/checker/libstock_crypt.so", "--encrypting", "--engine", self.engine.root,
                                      "--key-holder", holder, "--key", "FBCRYPT_TEST_KEY")
        self.assertEqual(code, 0, out)
        for step in ("engine", "engine-encrypt", "engine-pages", "engine-rows", "engine-decrypted"):
            self.assertEqual(lines[step][0], "PASS", f"{step}\n{out}")
        self.assertIn(f"Firebird {self.engine.release}", lines["engine"][1])
        self.report(f"built with {self.include}; stock-style module in the engine: {lines['engine-encrypt'][1]}; "
                    f"key-holders: {lines['key-holders'][0]}")


if __name__ == "__main__":
    main()
