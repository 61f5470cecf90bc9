"""Docs that cannot rot: every relative link in README.md and docs/ leads to
a file that exists, and to a heading that exists in it; and each recipe the
DBA guide shows is, byte for byte, the file in docs/recipes/ that the engine
tests run (tests/engine/test_recipes.py), with no recipe file left unshown."""

import os
import re
import sys
import unittest

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DOCS = os.path.join(TOP, "docs")
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^```.*?^```", re.M | re.S)


def anchor(heading):
    """A heading's anchor, as GitHub makes it."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def anchors(path):
    with open(path) as f:
        text = FENCE.sub("", f.read())
    return {anchor(m.group(1)) for m in re.finditer(r"^#+ (.*)$", text, re.M)}


def pages():
    yield os.path.join(TOP, "README.md")
    for name in sorted(os.listdir(DOCS)):
        if name.endswith(".md"):
            yield os.path.join(DOCS, name)


class Docs(unittest.TestCase):
    def test_every_relative_link_leads_somewhere(self):
        checked = 0
        for page in pages():
            with open(page) as f:
                text = FENCE.sub("", f.read())
            for target in LINK.findall(text):
                if re.match(r"[a-z]+:", target):
                    continue  # http:, mailto:
                path, _, fragment = target.partition("#")
                file = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
                where = f"{os.path.relpath(page, TOP)}: ({target})"
                self.assertTrue(os.path.exists(file), f"{where}: no such file")
                if fragment:
                    self.assertTrue(file.endswith(".md"), f"{where}: an anchor in a file that is no guide")
                    self.assertIn(fragment, anchors(file), f"{where}: no such heading")
                checked += 1
        self.assertGreater(checked, 20)
        print(f"{checked} links checked")

    def test_the_recipes_are_the_files_the_tests_run(self):
        with open(os.path.join(DOCS, "dba-recipes.md")) as f:
            guide = f.read()
        shown = re.findall(r"<!-- recipe: (\S+) -->\n```\w*\n(.*?)```\n", guide, re.S)
        files = sorted(n for n in os.listdir(os.path.join(DOCS, "recipes")))
        self.assertEqual(sorted(name for name, _ in shown), files, "a recipe file the guide does not show")
        for name, block in shown:
            with open(os.path.join(DOCS, "recipes", name)) as f:
                self.assertEqual(block, f.read(), f"the guide's {name} differs from docs/recipes/{name}")


if __name__ == "__main__":
    unittest.main(verbosity=2, argv=sys.argv[:1])
