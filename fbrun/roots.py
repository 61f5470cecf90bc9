"""A private Firebird root: copies of an engine's configuration, plug-ins
and character sets, the crypt plug-in module under test and its plugins.conf
block, in a folder made for one run. The engine's own tools run against it
with FIREBIRD, FIREBIRD_LOCK and FIREBIRD_TMP pointing into it; nothing in
the engine's own folders is read but its stock configuration, and nothing
there is written.

The rules of what a root holds (plug-ins and character sets as real files,
never the engine's sample plug-ins; settings of ours before the stock ones)
are the catalogue's and the engine notes': the checker's engine mode builds
its roots by the same rules."""

import os
import re
import shutil

from . import catalogue


class PrivateRoot:
    """The folder `dir` holds root/ (the Firebird root), db/, lock/ and tmp/."""

    def __init__(self, engine, dir, config, conf):
        self.engine = engine
        self.config = config
        self.dir = dir
        self.root = os.path.join(dir, "root")
        self.dbdir = os.path.join(dir, "db")
        for d in ("root/plugins", "root/intl", "db", "lock", "tmp"):
            os.makedirs(os.path.join(dir, d))
        self._plugin_blocks = ""
        self._make(conf)

    def view(self, host_path):
        """The engine's path of a host path inside the root."""
        return self.engine.view(host_path)

    @property
    def env(self):
        return {"FIREBIRD": self.view(self.root), "FIREBIRD_LOCK": self.view(self.dir + "/lock"),
                "FIREBIRD_TMP": self.view(self.dir + "/tmp")}

    @property
    def module_file(self):
        return os.path.join(self.root, "plugins", os.path.basename(self.config.module)) if self.config.module else None

    def set_conf(self, **settings):
        """Sets firebird.conf entries. The engine takes the first line that
        sets a key (4.0's includes service-port.conf half-way): a setting's
        own line is changed in place, a new one goes first."""
        path = os.path.join(self.root, "firebird.conf")
        with open(path) as f:
            lines = f.read().splitlines()
        for key, value in settings.items():
            line = f"{key} = {value}"
            at = [i for i, text in enumerate(lines) if re.match(rf"\s*{key}\s*=", text, re.I)]
            if at:
                lines[at[0]] = line
            else:
                lines.insert(0, line)
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")

    def set_plugin_blocks(self, text):
        """plugins.conf: the engine's own, then `text` (the module's blocks)."""
        self._plugin_blocks = text
        with open(os.path.join(self.root, "plugins.conf"), "w") as f:
            f.write(self._stock_plugins + "\n" + text + "\n")

    def add_plugin(self, module, name, lines=(), after=""):
        """A copy of another plug-in module in the root, registered as `name` in
        plugins.conf, with more `lines` in its block, and `after` it."""
        shutil.copy(module, os.path.join(self.root, "plugins"))
        stem = os.path.splitext(os.path.basename(module))[0].removeprefix("lib")
        block = "".join(f"\t{line}\n" for line in [f"Module = {self.view(self.root + '/plugins')}/{stem}", *lines])
        self.set_plugin_blocks(self._plugin_blocks + f"\nPlugin = {name} {{\n{block}}}\n{after}")

    def write_file(self, name, text):
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def _make(self, conf):
        eng, rules = self.engine, catalogue.data()["root"]["private"]
        for name in rules["config"]:
            if os.path.exists(eng.host(eng.location(name))):
                shutil.copy(eng.host_file(eng.location(name)), os.path.join(self.root, name))
        self.set_conf(**conf)
        for name in rules["links"] + rules["linked_folders"]:
            if eng.location(name) and os.path.exists(eng.host(eng.location(name))):
                os.symlink(eng.location(name), os.path.join(self.root, name))
        never = catalogue.data()["root"]["never_copy"]
        for sub in rules["real_files"]:
            folder = eng.location(sub)
            for entry in os.listdir(eng.host(folder)):
                src = eng.host_file(f"{folder}/{entry}")
                if os.path.isfile(src) and not re.search(never, entry):
                    _link_or_copy(src, os.path.join(self.root, sub, entry))
        for tree in rules["trees"]:
            if os.path.isdir(eng.host(eng.location(tree))):
                shutil.copytree(eng.host(eng.location(tree)), os.path.join(self.root, tree))
        with open(os.path.join(self.root, "plugins.conf")) as f:
            self._stock_plugins = f.read()
        if self.config.module:
            shutil.copy(self.config.module, self.module_file)
            self.set_plugin_blocks("Plugin = %s {\n\tModule = %s/%s\n}" % (
                self.config.plugin, self.view(self.root + "/plugins"), self.config.module_stem))
        else:
            self.set_plugin_blocks("")

    # The engine's log: 3.0 from Debian writes /var/log/firebird/firebird3.0.log
    # whatever the root, 4.0 from Debian firebird4.0.log in the root, Firebird's
    # own layout firebird.log in the root; a server's output goes to server.out.
    def log_files(self):
        return [os.path.join(self.root, name) for name in self.engine.log_names] + [os.path.join(self.dir, "server.out")]


def _link_or_copy(src, dst):
    try:
        os.link(src, dst)
    except OSError:
        shutil.copy2(src, dst)
