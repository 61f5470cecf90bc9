"""What a run of fbrun is given: the crypt plug-in module a private root
gets, the name it registers, where private roots are made, whether they are
kept, and where the engines are. Library code takes a Config; only
from_environment() reads environment variables, for the programs that are
configured that way (the engine tests, under ctest)."""

import dataclasses
import os
import tempfile

from . import catalogue, firebird


@dataclasses.dataclass
class Config:
    module: str = None  # the crypt plug-in module copied into each private root (None: none)
    plugin: str = "velkor"  # the name the module registers, for its plugins.conf block
    work: str = None  # folder private roots are made in (None: the system's temporary folder)
    keep: bool = False  # leave private roots behind
    engines_dir: str = firebird.DEFAULT_ENGINES_DIR
    installed_root: str = None  # the Firebird root a SERIES-installed engine names
    fbinfo: str = None  # tests/engine/fbinfo: database information through the client library
    shim: str = None  # faults/iofault.c built (iofault.py): a slow or failing disk on purpose

    @property
    def work_dir(self):
        return self.work or tempfile.gettempdir()

    @property
    def module_stem(self):
        """What plugins.conf's Module names: the file without lib and .so (the loader adds them back)."""
        return os.path.splitext(os.path.basename(self.module))[0].removeprefix("lib")

    def engine(self, name):
        return firebird.engine(name, self.engines_dir, self.installed_root)

    def but(self, **changes):
        return dataclasses.replace(self, **changes)

    @classmethod
    def from_environment(cls, env=os.environ):
        """VELKOR_MODULE, VELKOR_WORK, VELKOR_KEEP, VELKOR_ENGINES, VELKOR_ENGINE_ROOT, VELKOR_FBINFO, VELKOR_SHIM; and
        VELKOR_CATALOGUE and VELKOR_ENGINE_TARBALLS, for the catalogue."""
        catalogue.use(env.get("VELKOR_CATALOGUE"))
        catalogue.use_tarballs(env.get("VELKOR_ENGINE_TARBALLS"))
        return cls(module=env.get("VELKOR_MODULE"), work=env.get("VELKOR_WORK"), keep=bool(env.get("VELKOR_KEEP")),
                   engines_dir=env.get("VELKOR_ENGINES") or firebird.DEFAULT_ENGINES_DIR,
                   installed_root=env.get("VELKOR_ENGINE_ROOT") or None, fbinfo=env.get("VELKOR_FBINFO"),
                   shim=env.get("VELKOR_SHIM") or None)
