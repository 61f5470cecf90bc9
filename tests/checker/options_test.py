"""The checker's three descriptions of itself agree: the options of
`fbcrypt-check --help`, of its man page (tools/fbcrypt-check.1) and of the
options table of docs/checker.md are the same; and every check and engine
step `--list-checks` names has a row in the guide's table of checks and an
entry in the man page.
    options_test.py CHECKER SOURCE"""

import re
import subprocess
import sys
import unittest

CHECKER, SOURCE = sys.argv[1], sys.argv[2]


def run(*args):
    return subprocess.run([CHECKER, *args], capture_output=True, text=True, check=True).stdout


def read(path):
    with open(f"{SOURCE}/{path}") as f:
        return f.read()


class Descriptions(unittest.TestCase):
    def test_the_options_are_the_same_everywhere(self):
        help_options = set(re.findall(r"^  (--[a-z-]+)", run("--help"), re.M))
        man = read("tools/fbcrypt-check.1")
        options = man[man.index(".SH OPTIONS"):]
        options = options[:options.index("\n.SH ", 1)]
        man_options = {o.replace("\\-", "-") for o in re.findall(r"^\.B[RI]? (\\-\\-[a-z\\-]+)", options, re.M)}
        guide = read("docs/checker.md")
        table = guide[guide.index("| option | meaning |"):]
        table = table[:table.index("\n\n")]
        guide_options = {m for m in re.findall(r"^\| `(--[a-z-]+)", table, re.M)}
        self.assertGreater(len(help_options), 15)
        self.assertEqual(man_options, help_options, "the man page's OPTIONS against --help")
        self.assertEqual(guide_options, help_options, "docs/checker.md's table of options against --help")

    def test_every_check_is_described(self):
        checks = [line.split()[0] for line in run("--list-checks").splitlines()]
        self.assertIn("round-trip", checks)
        self.assertIn("engine-moved", checks)
        guide = read("docs/checker.md")
        man = read("tools/fbcrypt-check.1").replace("\\-", "-")
        for check in checks:
            self.assertRegex(guide, rf"\n\| `{re.escape(check)}` \|", f"docs/checker.md has no row for {check}")
            self.assertRegex(man, rf"\n\.B {re.escape(check)}\b|\n\.B [a-z, -]*\b{re.escape(check)}\b",
                             f"the man page does not describe {check}")


if __name__ == "__main__":
    unittest.main(verbosity=2, argv=sys.argv[:1])
