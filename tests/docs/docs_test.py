"""Docs that cannot rot: every relative link in README.md and docs/ leads to
a file that exists, and to a heading that exists in it; each recipe the DBA
guide shows is, byte for byte, the file in docs/recipes/ that the engine
tests run (tests/engine/test_recipes.py), and each the install guide shows
the file in docs/install/ that tests/docs runs, with no file left unshown;
the supported releases are the engine catalogue's; and the presets the docs
name are the ones CMakePresets.json has and scripts/test runs."""

import json
import os
import re
import sys
import unittest

TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from fbrun import catalogue  # PYTHONPATH: the source tree

catalogue.use(os.environ.get("VELKOR_CATALOGUE"))
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
        # The DBA guide's recipes (tests/engine/test_recipes.py runs them) and
        # the install guide's (tests/docs/install_recipe_test.sh).
        for guide, mark, folder in (("dba-recipes.md", "recipe", "recipes"), ("install.md", "install", "install")):
            with open(os.path.join(DOCS, guide)) as f:
                text = f.read()
            shown = re.findall(rf"<!-- {mark}: (\S+) -->\n```\w*\n(.*?)```\n", text, re.S)
            files = sorted(n for n in os.listdir(os.path.join(DOCS, folder)))
            self.assertEqual(sorted(name for name, _ in shown), files, f"a file in docs/{folder} that {guide} does not show")
            for name, block in shown:
                with open(os.path.join(DOCS, folder, name)) as f:
                    self.assertEqual(block, f.read(), f"{guide}'s {name} differs from docs/{folder}/{name}")

    def test_the_supported_releases_are_the_catalogue_s(self):
        with open(os.path.join(DOCS, "install.md")) as f:
            text = f.read()
        table = text[text.index("## Supported releases"):]
        table = table[:table.index("\n#")]
        rows = [line.split("|")[1].strip() for line in table.splitlines() if line.startswith("| ") and "---" not in line]
        for r in catalogue.releases():
            arch = "" if r.arch == catalogue.host_arch() else f", {r.arch}"
            self.assertTrue(any(re.search(rf"(^|\W){re.escape(r.version)}(\W|$)", row) and arch in row for row in rows[1:]),
                            f"docs/install.md#supported-releases has no row for {r.version}{arch} ({r.name}): {rows[1:]}")
        # Where the tarballs come from is the catalogue's to say: no doc names one or its sum.
        for page in pages():
            with open(page) as f:
                body = f.read()
            for r in catalogue.releases():
                for fact in (r.tarball.get("file"), r.tarball.get("sha256")):
                    self.assertFalse(fact and fact in body, f"{os.path.relpath(page, TOP)} names {fact}: say it in the catalogue")

    def test_the_presets_named_are_the_presets_there_are(self):
        with open(os.path.join(TOP, "CMakePresets.json")) as f:
            presets = {p["name"] for p in json.load(f)["configurePresets"] if not p.get("hidden")}
        with open(os.path.join(DOCS, "development.md")) as f:
            development = f.read()
        table = development[development.index("| preset |"):]
        table = table[:table.index("\n\n")]
        named = {n for line in table.splitlines()[2:] for n in re.findall(r"`([a-z0-9]+)`", line.split("|")[1])}
        self.assertEqual(named, presets, "docs/development.md's table of presets")
        with open(os.path.join(TOP, "scripts", "test")) as f:
            run = re.search(r"^for preset in ([a-z0-9 ]+); do", f.read(), re.M).group(1).split()
        said = re.search(r"in these presets, in this order: ((?:`[a-z0-9]+`(?:, | and )?)+)", development)
        self.assertTrue(said, "docs/development.md does not say which presets scripts/test runs")
        self.assertEqual(re.findall(r"`([a-z0-9]+)`", said.group(1)), run, "the presets scripts/test runs")
        with open(os.path.join(DOCS, "install.md")) as f:
            listed = re.search(r"^Presets: (.*?)\n\n", f.read(), re.M | re.S)
        if listed:
            self.assertEqual(set(re.findall(r"`([a-z0-9]+)`", listed.group(1))), presets, "docs/install.md's Presets line")


if __name__ == "__main__":
    unittest.main(verbosity=2, argv=sys.argv[:1])
