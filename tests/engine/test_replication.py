"""Asynchronous replication (Firebird 4.0) from a velkor-encrypted primary
to a read-only replica that is encrypted too, each database under a
server of its own: journal and archive folders, inserts, updates, deletes
and DDL reach the replica. Without the module on the replica's server the
segments wait in the archive and nothing is lost; with it back they are
applied."""

import os
import shutil
import time

from enginetest import ServerTest, main, pages, sample

NEW_TABLE = {"added": "id || '|' || s"}


class Replication(ServerTest):
    def setUp(self):
        if not self.since(4):
            self.skipTest("replication exists from Firebird 4.0 on")
        self.servers = []
        self.primary = self.make_site("primary", start=False)
        self.replica = self.make_site("replica", start=False)
        p = self.primary
        self.journal = os.path.join(p.dir, "journal")
        self.archive = os.path.join(p.dir, "archive")
        os.makedirs(self.journal)
        os.makedirs(self.archive)
        p.write_root_file("replication.conf", f"""database = {p.path('primary')}
{{
    journal_directory = {p.view(self.journal)}/
    journal_archive_directory = {p.view(self.archive)}/
    journal_archive_timeout = 1
}}
""")
        self.replica.write_root_file("replication.conf", f"""database = {self.replica.path('replica')}
{{
    journal_source_directory = {p.view(self.archive)}/
    apply_idle_timeout = 1
    apply_error_timeout = 2
}}
""")

    def wait_for(self, what, condition, timeout=120):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                self.fail(f"{what} not seen in {timeout} s\n{self.replication_log()}")
            time.sleep(0.2)

    def replication_log(self):
        path = os.path.join(self.replica.root, "replication.log")
        if not os.path.exists(path):
            return ""
        with open(path, errors="replace") as f:
            return f.read()

    def segments(self):
        return sorted(f for f in os.listdir(self.archive) if not f.startswith("{"))

    def added_rows(self, site, db):
        return site.query(db, "select count(*) from added")[0]

    def test_encrypted_primary_to_encrypted_replica(self):
        p, r = self.primary, self.replica
        p.start()
        primary = p.db("primary")
        shape = sample.shape(30_000)
        sample.populate(p, primary, shape)
        p.crypt(primary, encrypt=True)
        p.isql("alter database enable publication;\nalter database include all to publication;\ncommit;\n", primary)

        # The replica: a locked copy of the encrypted primary (nbackup -L and
        # -N need local access; through the server they are SQL), fixed up
        # and made a read-only replica.
        p.isql("alter database begin backup;\n", primary)
        shutil.copyfile(p.file(primary), r.file(r.path("replica")))
        p.isql("alter database end backup;\n", primary)
        r.run("nbackup", "-F", r.path("replica"))
        r.run("gfix", "-replica", "read_only", r.path("replica"))
        r.start()
        replica = r.db("replica")
        self.assertIn("encrypted", r.attributes(replica))

        holder = p.attach(primary)  # archiving runs while the primary is open
        p.isql("""create table added (id integer not null primary key, s varchar(40));
commit;
set term ^;
execute block as declare i integer = 0; begin
  while (i < 2000) do begin insert into added values (:i, 'added ' || :i); i = i + 1; end
end^
set term ;^
update customers set city = 'moved ' || id where id < 500;
delete from orders where id < 300;
alter table documents add note varchar(20);
commit;
update documents set note = 'noted' where id < 10;
commit;
""", primary)
        expected = sample.fingerprint(p, primary, {**sample.ROW_TEXT, **NEW_TABLE})
        self.wait_for("the changes on the replica", lambda: self.has_table(r, replica) and self.added_rows(r, replica) == 2000)
        self.wait_for("the same data on the replica",
                      lambda: sample.fingerprint(r, replica, {**sample.ROW_TEXT, **NEW_TABLE}) == expected, 60)
        self.assertEqual(r.query(replica, "select count(*) from documents where note = 'noted'"), [10])
        attrs = r.attributes(replica)
        self.assertIn("encrypted", attrs)
        self.assertIn("plugin velkor", attrs)

        # Without the module on the replica's side: the segments wait.
        r.stop()
        os.rename(r.module_file, r.module_file + ".away")
        r.start()
        before = pages.sha256(r.file(replica))
        p.isql("""set term ^;
execute block as declare i integer = 2000; begin
  while (i < 3000) do begin insert into added values (:i, 'added ' || :i); i = i + 1; end
end^
set term ;^
commit;
""", primary)
        self.wait_for("segments waiting in the archive", lambda: self.segments())
        self.wait_for("the replica's server giving up on the module",
                      lambda: "Crypt plugin velkor failed to load" in self.replication_log())
        waiting = self.segments()
        self.assertTrue(waiting)
        r.stop()
        self.assertEqual(pages.sha256(r.file(replica)), before, "the replica changed without the module")

        os.rename(r.module_file + ".away", r.module_file)
        r.start()
        expected = sample.fingerprint(p, primary, {**sample.ROW_TEXT, **NEW_TABLE})
        self.wait_for("the waiting changes on the replica", lambda: self.added_rows(r, replica) == 3000)
        self.assertEqual(sample.fingerprint(r, replica, {**sample.ROW_TEXT, **NEW_TABLE}), expected)
        self.wait_for("the archive drained", lambda: not set(waiting) & set(self.segments()), 60)
        p.close(holder)
        self.report(f"replica equal after inserts, updates, deletes and DDL; without the module "
                    f"{len(waiting)} segment(s) waited in the archive, applied once it was back")

    def has_table(self, site, db):
        return site.query(db, "select count(*) from rdb$relations where rdb$relation_name = 'ADDED'")[0] == 1


if __name__ == "__main__":
    main()
