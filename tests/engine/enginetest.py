"""The base of the end-to-end tests: one private site per test, on the engine
that VELKOR_ENGINE names (a release of engines/catalogue.json, or
SERIES-installed with VELKOR_ENGINE_ROOT). A missing engine fails the test.
ctest gives every setting through the environment (tests/engine/CMakeLists.txt),
and PYTHONPATH, so that fbrun is found."""

import collections
import os
import re
import time
import unittest

from fbrun import config as fbconfig
from fbrun import firebird, iofault, load, pages, sample, servers, sites  # noqa: F401

CONFIG = fbconfig.Config.from_environment()
# What the tests import from here besides the bases.
__all__ = ["CONFIG", "FAST_ENOUGH", "KEY_HASH", "OVERLAP", "EngineTest", "ServerTest", "firebird", "load", "main",
           "overlap_sampler", "pages", "probe_calls", "sample", "servers", "sites"]

KEY_HASH = "zifLFBCY/rAHFOdYZGvj6ZwYW3E="  # base64 of SHA-1 of the engine's fixed key check text
SLOW_WRITE = 1000  # microseconds a page write takes on the slow disk: about 1,000 pages a second
FAST_ENOUGH = 300  # microseconds a page write takes: a saved position every 0.3 s or so, to kill between
OVERLAP = 2  # seconds writers write beside the crypt thread before the slow disk goes


class _NoShim:
    def disarm(self):
        pass


def overlap_sampler(disk, writers, seen):
    """An on_sample for wait_crypt: the times the crypt thread ran while
    `writers` wrote go into `seen`, and the slow `disk` is disarmed once they
    have overlapped OVERLAP seconds."""
    def sample(t, page, attrs):
        if "crypt process" in attrs and writers.running():
            seen.append(t)
            if t - seen[0] >= OVERLAP:
                disk.disarm()
    return sample


class EngineTest(unittest.TestCase):
    engine = None
    module = None  # the module file the site's root gets; None: velkor64 (VELKOR_MODULE)

    @classmethod
    def setUpClass(cls):
        cls.config = CONFIG.but(module=cls.module) if cls.module else CONFIG
        cls.engine = cls.config.engine(os.environ.get("VELKOR_ENGINE", "4.0-trixie"))  # fails when it is missing

    def setUp(self):
        self.site = sites.Site(self.engine, self.id().split(".")[-1], self.config)
        self.started = time.monotonic()

    def tearDown(self):
        self.site.cleanup()

    def make_site(self, name, **kwargs):
        """Another site of this test's engine and kind, removed after the test."""
        site = sites.Site(self.engine, name, self.config, **kwargs)
        self.addCleanup(site.cleanup)
        return site

    def slow_disk(self, db, microseconds=SLOW_WRITE):
        """From now until disarm() on what it gives, every write of `db` takes
        `microseconds` more (faults/iofault.c, in every process the site
        starts from now on; a server is restarted with it): a crypt run lasts
        long enough to be met half-way on any disk, the tmpfs scripts/test
        runs these tests on among them. A build without the shim (a cross
        build, whose emulated engine is slow anyway) keeps the disk's speed."""
        if not self.config.shim:
            return _NoShim()
        shim = iofault.slow_disk(self.site, self.config.shim, db, microseconds)
        self.addCleanup(shim.remove)
        return shim

    def scaled(self, rows):
        """`rows`, or a tenth of them in an engine that runs under emulation."""
        return rows // 10 if self.engine.emulated else rows

    def since(self, major):
        """Whether the engine is release `major` or later."""
        return self.engine.major >= major

    def report(self, text):
        """A line for the log: what a run saw, with its engine."""
        print(f"[{self.engine.release} {self.engine.name}] {self.id().split('.')[-1]}: {text}", flush=True)

    def populated(self, rows, page_size=8192, documents=None, name="test"):
        db = self.site.db(name)
        shape = sample.shape(rows, documents)
        t = time.monotonic()
        sample.populate(self.site, db, shape, page_size)
        self.populate_time = time.monotonic() - t
        return db, shape

    def assertIntact(self, db, shape):
        self.assertEqual(sample.check(self.site, db, shape), [])
        code, out = self.site.validate(db)
        self.assertEqual((code, out), (0, ""), "gfix -v -full found errors")

    def assertEncrypted(self, db):
        attrs = self.site.attributes(db)
        self.assertIn("encrypted", attrs)
        self.assertIn("plugin velkor", attrs)
        self.assertNotIn("crypt process", attrs)
        self.assertEqual(self.site.header(db).get("Key hash"), KEY_HASH)
        if self.since(4):
            self.assertEqual(self.site.crypt_state(db), 1)
            self.assertEqual(self.page_counts(db, "non-crypted"), 0)

    def assertPlain(self, db):
        attrs = self.site.attributes(db)
        self.assertNotIn("encrypted", attrs)
        self.assertNotIn("crypt process", attrs)
        if self.since(4):
            self.assertEqual(self.site.crypt_state(db), 0)
            self.assertEqual(self.page_counts(db, "encrypted"), 0)

    def page_counts(self, db, column):
        """Sum over page types of gstat -e's `column` (4.0 on)."""
        out = self.site.run("gstat", "-e", db).stdout
        counts = re.findall(r"pages: total (\d+), encrypted (\d+), non-crypted (\d+)", out)
        self.assertTrue(counts, out)
        index = {"total": 0, "encrypted": 1, "non-crypted": 2}[column]
        return sum(int(c[index]) for c in counts)


def probe_calls(path):
    """The calls the probe build wrote down: {(pid, address, n): [call, ...]},
    n counting the instances made at one address (freed memory is reused)."""
    made = collections.Counter()
    calls = collections.defaultdict(list)
    with open(path) as f:
        for line in f:
            pid, address, call = line.rstrip("\n").split(" ", 2)
            if call == "create":
                made[(pid, address)] += 1
            calls[(pid, address, made[(pid, address)])].append(call)
    return calls


class ServerTest(EngineTest):
    """The same, with sites that are servers on loopback (servers.ServerSite)
    in `mode`; when a test fails, the servers' logs are printed with it."""

    mode = "Super"

    def setUp(self):
        self.servers = []
        self.site = self.make_site(self.id().split(".")[-1])
        self.started = time.monotonic()

    def make_site(self, name, **kwargs):
        site = servers.ServerSite(self.engine, name, self.config, mode=self.mode, **kwargs)
        self.servers.append(site)
        return site

    def tearDown(self):
        self.logs = [f"--- server of {s.dir}:\n{s.log_tail()}" for s in self.servers]
        for site in self.servers:
            site.cleanup()

    def run(self, result=None):
        result = result or self.defaultTestResult()
        problems = len(result.failures) + len(result.errors)
        self.logs = []
        super().run(result)
        if len(result.failures) + len(result.errors) > problems:
            print("\n".join(self.logs), flush=True)
        return result


def main():
    unittest.main(verbosity=2)
