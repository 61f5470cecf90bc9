"""A server whose root has lost libvelkor64.so: a remote attach to the
encrypted database fails at the client with the engine's own message, the
server goes on serving its other databases, and the file is left byte for
byte as it was. With the module back, all is well."""

import os

from enginetest import ServerTest, main, pages


class ServerWithoutTheModule(ServerTest):
    def test_attach_fails_clearly_and_the_server_serves_the_rest(self):
        db, shape = self.populated(30_000)
        self.site.crypt(db, encrypt=True)
        plain = self.site.db("plain")
        self.site.isql(f"create database '{plain}';\ncreate table t (i integer);\ninsert into t values (7);\ncommit;\n")
        self.site.stop()
        before = pages.sha256(self.site.file(db))

        os.rename(self.site.module_file, self.site.module_file + ".away")
        self.site.start()
        p = self.site.isql("select count(*) from customers;\n", db, check=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("Crypt plugin velkor failed to load", p.stderr)
        self.assertEqual(self.site.query(plain, "select i from t"), [7], "the server stopped serving")
        self.assertIsNone(self.site.process.poll(), "the server ended")
        self.site.stop()
        self.assertEqual(pages.sha256(self.site.file(db)), before, "the database file changed")

        os.rename(self.site.module_file + ".away", self.site.module_file)
        self.site.start()
        self.assertEncrypted(db)
        self.assertIntact(db, shape)
        self.report(f"without the module: {' '.join(p.stderr.split())!r} at the client; "
                    "other databases served; file unchanged")


if __name__ == "__main__":
    main()
