"""faults/iofault.c, an LD_PRELOAD shim of ours around the engine's reads,
writes and flushes, put under a site: its settings (VELKOR_FAULT_*) go into
the environment of every process the site starts from then on, and it acts
only on one database file, only while armed (a file the run makes and
removes), so that a run chooses the moment its fault begins and ends."""

import os
import shutil

from . import servers


class Shim:
    """faults/iofault.c preloaded into every process of the site that opens
    the database: armed and disarmed by a file the case makes and removes."""

    def __init__(self, site, library, database_file):
        self.site = site
        self.dir = os.path.join(site.dir, "shim")
        os.makedirs(self.dir, exist_ok=True)
        if not os.path.exists(os.path.join(self.dir, "libiofault.so")):  # a server may have it mapped
            shutil.copy(library, os.path.join(self.dir, "libiofault.so"))
        self.arm_file = os.path.join(self.dir, "armed")
        self.log = os.path.join(self.dir, "faults.log")
        self.shadow = os.path.join(self.dir, "shadow.fdb")
        self.env = {"LD_PRELOAD": site.view(os.path.join(self.dir, "libiofault.so")),
                    "VELKOR_FAULT_FILE": os.path.basename(database_file),
                    "VELKOR_FAULT_ARM": site.view(self.arm_file), "VELKOR_FAULT_LOG": site.view(self.log)}

    def set(self, **settings):
        """VELKOR_FAULT_<NAME> settings for what is started from now on."""
        self.env.update({f"VELKOR_FAULT_{k.upper()}": str(v) for k, v in settings.items()})
        self.site.env.update(self.env)

    def shadow_from(self, database_file):
        """The power-loss image starts as the file is now."""
        shutil.copyfile(database_file, self.shadow)
        self.set(shadow=self.site.view(self.shadow))

    def arm(self):
        open(self.arm_file, "w").close()

    def disarm(self):
        if os.path.exists(self.arm_file):
            os.remove(self.arm_file)

    def injected(self):
        """How many faults were injected, by call."""
        if not os.path.exists(self.log):
            return {}
        counts = {}
        with open(self.log) as f:
            for line in f:
                call = line.split()[1]
                counts[call] = counts.get(call, 0) + 1
        return counts

    def remove(self):
        self.disarm()
        for k in self.env:
            self.site.env.pop(k, None)


def slow_disk(site, library, db, microseconds=2000):
    """The shim's delay on every write of the database, armed: crypt runs last
    long enough to meet. A server is restarted with it, unless the process
    running now was started with these very settings."""
    shim = Shim(site, library, site.file(db))
    shim.set(write_delay=microseconds)
    shim.arm()
    if isinstance(site, servers.ServerSite) and getattr(site, "shim_started", None) != (site.process, shim.env):
        site.stop()
        site.start()
        site.shim_started = (site.process, dict(shim.env))
    return shim
