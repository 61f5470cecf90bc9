"""Writers for the load tests: isql clients that insert and update in
batches, each batch a transaction of its own, and say so after each commit.
Every loop is bounded: BATCHES batches of ROWS rows per client, or fewer
when the test stops them."""

import re
import subprocess
import threading

BATCHES = 150
ROWS = 40  # per batch
LEAD = 3  # batches a client is given beyond those it has reported committed

TABLE = ("create table load_rows (client integer not null, seq integer not null, val bigint,"
         " primary key (client, seq));\ncommit;\n")
HEAD = "set list on;\nset term ^;\n"
TAIL = "set term ;^\n"


def batch(client, b):
    """Batch `b` of `client`: ROWS rows, an update, the commit and its marker."""
    first = b * ROWS
    return f"""execute block as declare s integer = {first}; begin
  while (s < {first + ROWS}) do begin
    insert into load_rows (client, seq, val) values ({client}, :s, :s * 3 + {client});
    s = s + 1;
  end
  update load_rows set val = val + 1 where client = {client} and seq = {first};
end^
commit^
select 'committed {client} {b}' as marker from rdb$database^
"""


def expected_sum(client, batches):
    rows = batches * ROWS
    return sum(s * 3 + client for s in range(rows)) + batches


class Writers:
    """isql clients `clients` (numbers) on `db`, started at once; each one's
    commits are counted as they are reported."""

    def __init__(self, site, db, clients, batches=BATCHES):
        self.committed = {k: 0 for k in clients}
        self.errors = {k: "" for k in clients}
        self.processes = {}
        self.threads = []
        self._stop = threading.Event()
        self._progress = threading.Condition()
        for k in clients:
            p = subprocess.Popen(site.command("isql", "-q", "-b", "-user", "SYSDBA", db), stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            self.processes[k] = p
            # Daemon threads: a run stopped by a signal exits without waiting for them.
            self.threads += [threading.Thread(target=self._feed, args=(k, p, batches), daemon=True),
                             threading.Thread(target=self._count, args=(k, p), daemon=True),
                             threading.Thread(target=self._errors, args=(k, p), daemon=True)]
        for t in self.threads:
            t.start()

    def _feed(self, k, p, batches):
        """Gives client `k` its batches, LEAD ahead of its commits, so that
        stop() ends it soon; a client that reports nothing for a second gets
        its next batch all the same."""
        try:
            p.stdin.write(HEAD)
            for b in range(batches):
                with self._progress:
                    self._progress.wait_for(lambda: self._stop.is_set() or self.committed[k] >= b - LEAD, timeout=1)
                if self._stop.is_set():
                    break
                p.stdin.write(batch(k, b))
                p.stdin.flush()
            p.stdin.write(TAIL)
        except BrokenPipeError:
            pass  # the client died; its exit status says so
        try:
            p.stdin.close()
        except BrokenPipeError:
            pass  # what was left unwritten goes with it

    def _count(self, k, p):
        for line in p.stdout:
            if re.search(rf"committed {k} \d+", line):
                with self._progress:
                    self.committed[k] += 1
                    self._progress.notify_all()

    def _errors(self, k, p):
        self.errors[k] = p.stderr.read()

    def running(self):
        """Some client is still writing."""
        return any(p.poll() is None for p in self.processes.values())

    def all_committed_once(self):
        return all(n > 0 for n in self.committed.values())

    def stop(self):
        """No client is given another batch: each ends once it has run (and
        committed) those it has, at most LEAD + 1."""
        self._stop.set()
        with self._progress:
            self._progress.notify_all()

    def join(self, timeout=600):
        """Waits for every client; returns {client: committed batches}.
        Raises when a client failed or reported an error."""
        for p in self.processes.values():
            p.wait(timeout)
        for t in self.threads:
            t.join(timeout)
        self._close()
        bad = {k: (p.returncode, self.errors[k].strip()) for k, p in self.processes.items()
               if p.returncode != 0 or self.errors[k].strip()}
        if bad:
            raise AssertionError(f"clients failed: {bad}")
        return dict(self.committed)

    def kill(self):
        self.stop()
        for p in self.processes.values():
            if p.poll() is None:
                p.kill()
            p.wait()
        for t in self.threads:
            t.join(10)
        self._close()

    def _close(self):
        """Closes the pipes once nothing reads them any more."""
        if not any(t.is_alive() for t in self.threads):
            for p in self.processes.values():
                p.stdout.close()
                p.stderr.close()


def assert_committed(test, site, db, committed):
    """Every committed batch of every client is there, by count and checksum."""
    for k, batches in committed.items():
        count, total = site.query(db, f"select count(*), sum(val) from load_rows where client = {k}")
        test.assertEqual(count, batches * ROWS, f"client {k}")
        test.assertEqual(total, expected_sum(k, batches), f"client {k}")
