"""Client processes writing while the crypt thread runs: nothing is lost."""

import re
import subprocess
import threading
import time

from enginetest import EngineTest, main

CLIENTS = 4
BATCHES = 150
ROWS = 40  # per batch


def client_script(client):
    """Batches of inserts plus one update each, every batch its own
    transaction; after each commit the client says so."""
    out = ["set list on;", "set term ^;"]
    for b in range(BATCHES):
        first = b * ROWS
        out.append(f"""execute block as declare s integer = {first}; begin
  while (s < {first + ROWS}) do begin
    insert into load_rows (client, seq, val) values ({client}, :s, :s * 3 + {client});
    s = s + 1;
  end
  update load_rows set val = val + 1 where client = {client} and seq = {first};
end^""")
        out.append("commit^")
        out.append(f"select 'committed {client} {b}' as marker from rdb$database^")
    out.append("set term ;^")
    return "\n".join(out) + "\n"


def expected_sum(client, batches):
    rows = batches * ROWS
    return sum(s * 3 + client for s in range(rows)) + batches


class ConcurrentLoad(EngineTest):
    def run_clients_during(self, db, encrypt, first_client):
        """Starts the crypt thread, then CLIENTS writers. The writers attach
        once the ALTER has committed: in Classic mode a process attached
        before it can read a page the crypt thread has just written before
        its own engine has loaded the plug-in, and the engine then fails that
        transaction with "Missing crypt plugin, but page appears encrypted"
        (3.0 and 4.0 alike, whatever the plug-in)."""
        holder = self.site.attach(db, ('alter database encrypt with "velkor"' if encrypt
                                       else "alter database decrypt") + ";\ncommit;\n")
        deadline = time.monotonic() + 60
        while "crypt process" not in self.site.attributes(db):
            self.assertLess(time.monotonic(), deadline, "the ALTER never started the crypt thread")
            time.sleep(0.01)

        clients = {}
        for k in range(first_client, first_client + CLIENTS):
            clients[k] = subprocess.Popen(self.site.command("isql-fb", "-q", "-b", "-user", "SYSDBA", db),
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                          text=True)
        results = {}

        def write(k, p):
            results[k] = p.communicate(client_script(k))

        writers = [threading.Thread(target=write, args=(k, p)) for k, p in clients.items()]
        for th in writers:
            th.start()

        overlap = []

        def sample(t, page, attrs):
            if "crypt process" in attrs and all(p.poll() is None for p in clients.values()):
                overlap.append(page)

        t = time.monotonic()
        self.site.wait_crypt(db, encrypt, timeout=120, on_sample=sample)
        crypt_time = time.monotonic() - t
        for th in writers:
            th.join(600)
        self.site.close(holder)

        committed = {}
        for k, p in clients.items():
            out, err = results[k]
            self.assertEqual(p.returncode, 0, f"client {k}: {err}\n{out[-2000:]}")
            committed[k] = len(re.findall(rf"committed {k} \d+", out))
        self.assertTrue(overlap, "the clients never wrote while the crypt thread ran")
        return committed, crypt_time, len(overlap)

    def assertCommittedRowsPresent(self, db, committed):
        for k, batches in committed.items():
            count, total = self.site.query(db, f"select count(*), sum(val) from load_rows where client = {k}")
            self.assertEqual(count, batches * ROWS, f"client {k}")
            self.assertEqual(total, expected_sum(k, batches), f"client {k}")

    def test_writers_during_encryption_and_decryption(self):
        db, shape = self.populated(200_000, documents=4000)
        self.site.isql("create table load_rows (client integer not null, seq integer not null, val bigint,"
                       " primary key (client, seq));\ncommit;\n", db)
        pages = self.site.page_count(db)

        committed, enc_time, enc_overlap = self.run_clients_during(db, True, 0)
        self.assertEncrypted(db)
        self.assertCommittedRowsPresent(db, committed)
        self.assertIntact(db, shape)

        committed2, dec_time, dec_overlap = self.run_clients_during(db, False, CLIENTS)
        self.assertPlain(db)
        self.assertCommittedRowsPresent(db, {**committed, **committed2})
        self.assertIntact(db, shape)
        self.report(f"{pages} pages, {CLIENTS} clients; encryption {enc_time:.2f} s with "
                    f"{sum(committed.values())} batches committed ({enc_overlap} polls saw all writing), "
                    f"decryption {dec_time:.2f} s with {sum(committed2.values())} batches ({dec_overlap} polls)")


if __name__ == "__main__":
    main()
