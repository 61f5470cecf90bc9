"""SQL dialect 1 has no quoted names: ENCRYPT WITH "velkor" is a syntax
error there, and the unquoted name asks for VELKOR. The installed
velkor.conf maps VELKOR to the module's plug-in (RegisterName), so that
the unquoted name encrypts in any dialect; the database then opens,
decrypts and validates as any other."""

import os
import re

from enginetest import EngineTest, KEY_HASH, main


def installed_blocks(plugins_dir):
    """conf/velkor.conf.in as the install writes it, for a module in `plugins_dir`."""
    with open(os.environ["VELKOR_CONF_TEMPLATE"]) as f:
        text = f.read()
    return re.sub(r"@[A-Z_]+@", "", text.replace("@VELKOR_MODULE_DIR@", plugins_dir))


class Dialect1(EngineTest):
    def test_unquoted_name_through_register_name(self):
        db = self.site.db()
        self.site.isql(f"set sql dialect 1;\ncreate database '{db}';\n"
                       "create table t (i integer, s varchar(20));\ninsert into t values (1, 'one');\ncommit;\n")
        self.assertEqual(self.site.header(db).get("Database dialect"), "1")

        p = self.site.isql('alter database encrypt with "velkor";\ncommit;\n', db, check=False)
        self.assertIn("Token unknown", p.stderr, "a quoted name is a syntax error in dialect 1")
        p = self.site.isql("alter database encrypt with velkor;\ncommit;\n", db, check=False)
        self.assertIn("Crypt plugin VELKOR failed to load", p.stderr, "without the VELKOR block")

        self.site.set_plugin_blocks(installed_blocks(self.site.view(self.site.root + "/plugins")))
        holder = self.site.attach(db, "alter database encrypt with velkor;\ncommit;\n")
        try:
            self.site.wait_crypt(db, True, timeout=120)
        finally:
            self.site.close(holder)
        attrs = self.site.attributes(db)
        self.assertIn("encrypted", attrs)
        self.assertIn("plugin VELKOR", attrs)
        self.assertEqual(self.site.header(db).get("Key hash"), KEY_HASH)
        self.assertEqual(self.site.query(db, "select count(*), max(s) from t"), [1, "one"])

        holder = self.site.attach(db, "alter database decrypt;\ncommit;\n")
        try:
            self.site.wait_crypt(db, False, timeout=120)
        finally:
            self.site.close(holder)
        self.assertPlain(db)
        self.assertEqual(self.site.validate(db), (0, ""))
        self.assertEqual(self.site.query(db, "select count(*), max(s) from t"), [1, "one"])


if __name__ == "__main__":
    main()
