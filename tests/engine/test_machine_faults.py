"""The machine failing during ENCRYPT, as scripts/engine-faults runs it, on
one release: the disk full under embedded Classic, and writes failing with
EIO under SuperServer. What is asserted is what the matrix in
docs/engine-limitations.md found: the engine's words name the fault, the
run completes once the fault is gone (space freed; the storage healed and
the engine restarted), no acknowledged row is missing by any of the three
counts, and gfix -v -full finds no error (after a full disk it may count
page warnings, as it does without a crypt run). ctest runs it in a mount
namespace of its own, so that the small file system goes with the test
however it ends."""

import os
import re
import unittest

from enginetest import CONFIG, main

from fbrun import faults


def validation_errors(validation):
    """What gfix -v -full counted, but for warnings: after a full disk it may
    count pointer-page or index-page warnings (pages allocated whose write
    failed), with and without a crypt run; errors are something else."""
    counts = re.findall(r"Number of (.+?) : (\d+)", validation)
    if validation and not counts:
        return [validation]
    return [f"{what}: {n}" for what, n in counts if "warning" not in what and int(n)]


class MachineFaults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.engine = CONFIG.engine(os.environ.get("VELKOR_ENGINE", "4.0-trixie"))
        cls.shim = os.environ["VELKOR_SHIM"]

    def report(self, run):
        print(f"[{self.engine.release}] {self.id().split('.')[-1]}: {run.outcome}; {run.other}", flush=True)

    def assertRecovered(self, run):
        self.assertTrue(run.completed, run.other)
        self.assertEqual(run.lost, dict.fromkeys(faults.WAYS, 0), f"of {run.acknowledged} acknowledged rows")
        self.assertIsNotNone(run.validation, "gfix -v -full did not run")
        self.assertEqual(validation_errors(run.validation), [], "gfix -v -full")
        self.assertNotIn("data:", run.other)

    def test_disk_full_during_encrypt(self):
        run = faults.CASES["disk-full"].run(self.engine, CONFIG, "classic", True, faults.Tools(shim=self.shim))
        self.report(run)
        # The engine met the full disk: a write failed, or extending the file did.
        self.assertRegex(run.engine_said, r"No space left on device|Error extending file")
        self.assertGreater(run.acknowledged, 0)
        self.assertRecovered(run)
        self.assertEqual(faults.leftover_mounts(), [])

    def test_write_errors_during_encrypt(self):
        run = faults.CASES["write-eio-encrypt"].run(self.engine, CONFIG, "super", True, faults.Tools(shim=self.shim))
        self.report(run)
        self.assertRegex(run.outcome, r"^[1-9]\d* write\(s\) failed")
        self.assertIn("Input/output error", run.engine_said)
        self.assertRecovered(run)


if __name__ == "__main__":
    main()
