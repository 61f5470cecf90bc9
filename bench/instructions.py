"""What the engine executes per page, counted by callgrind (instructions, not
seconds: repeatable whatever else the machine does). The embedded engine
runs inside isql, under valgrind --tool=callgrind, in a private root whose
page cache is 64 pages, so that every page of a scan is read, and decrypted,
again:
  scan       a full scan of a table: instructions per page read;
  insert     a bulk insert and its commit: instructions per data page written
             (each goes through encrypt into a separate buffer);
  encrypt    the crypt thread's run over the database after ALTER DATABASE
             ENCRYPT (its own thread's profile): per database page.
Scan and insert run on two copies of one database, plain and velkor-
encrypted, and report encrypted / plain; each case runs RUNS times, after one
unmeasured attachment, and the spread is (max - min) / min of the runs.
valgrind schedules the engine's threads fairly (--fair-sched=yes), so that
threads that wait do so alike in every run.
From the same profiles: the instructions inside libvelkor64.so (the calls the
engine makes into it, the memmove they make included) per page, and how much
of the encrypted / plain difference they explain. Writes one JSON document."""

import argparse
import collections
import json
import os
import re
import shutil
import statistics
import subprocess
import sys

sys.dont_write_bytecode = True

from fbrun import config, pages, sites

PAGE = 8192
MODULE = "libvelkor64.so"
TABLE = "create table t (id integer not null, s varchar(200));\ncommit;\n"
# Incompressible rows (no runs for the engine's compression): about 40 to a page.
FILL = ("set term ^;\nexecute block as declare i integer = 0; begin while (i < {n}) do begin\n"
        "  insert into {table} values (:i, rpad(:i || ' ', 180, '0123456789abcdef')); i = i + 1; end end^\n"
        "set term ;^\ncommit;\n")
SCAN = "select count(*), max(s) from t;\n"


def data_pages(site, db, table):
    """The table's data pages, counted in the file (a data page names its relation at offset 20)."""
    relation = site.query(db, f"select rdb$relation_id from rdb$relations where rdb$relation_name = '{table.upper()}'")[0]
    return sum(1 for _, kind, _, body in pages.pages(site.file(db))
               if kind == 5 and int.from_bytes(body[4:6], "little") == relation)


def profile(path):
    """(all instructions, instructions in calls into the module, of which in memmove) of a callgrind file."""
    names = {}
    total = into = moved = 0
    ob = cob = None
    call = False
    with open(path) as f:
        for line in f:
            m = re.match(r"(c?ob)=(?:\((\d+)\))? ?(.*)$", line.rstrip("\n"))
            if m:
                key, ident, name = m.groups()
                if name:
                    names[ident] = name
                value = names.get(ident, name) if ident else name
                if key == "ob":
                    ob = value
                else:
                    cob = value
                continue
            if line.startswith("fn="):
                cob = None
            elif line.startswith("calls="):
                call = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                cost = int(line.split()[1])
                if call:
                    target = cob or ob
                    if target.endswith(MODULE) and not ob.endswith(MODULE):
                        into += cost
                    elif ob.endswith(MODULE) and not target.endswith(MODULE):
                        moved += cost  # what the module calls: memmove
                    call, cob = False, None
                else:
                    total += cost
    return total, into, moved


class Runner:
    def __init__(self, site):
        self.site = site
        self.n = 0

    def callgrind(self, db, sql=None, holder=None):
        """One isql under callgrind on `db` running `sql`, after an unmeasured
        attachment; or, with `holder`, an isql that runs `holder` and stays
        attached until the crypt thread is done. Returns profile()."""
        self.site.query(db, "select count(*) from rdb$database")
        self.n += 1
        out = os.path.join(self.site.dir, f"callgrind.{self.n}")
        via = ["valgrind", "--tool=callgrind", "--fair-sched=yes", "--callgrind-out-file=" + self.site.view(out)]
        if holder:
            p = subprocess.Popen(self.site.command("isql", "-q", "-user", "SYSDBA", db, via=via), stdin=subprocess.PIPE,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, text=True)
            p.stdin.write(holder)
            p.stdin.flush()
            try:
                self.site.wait_crypt(db, "encrypt" in holder, timeout=1800)
            finally:
                p.stdin.close()
                p.wait(600)
        else:
            p = subprocess.run(self.site.command("isql", "-q", "-b", "-user", "SYSDBA", db, via=via), input=sql,
                               capture_output=True, text=True, timeout=3600)
            if p.returncode:
                raise RuntimeError(f"isql under callgrind: {p.stderr}")
        return profile(out)


def summarise(measured, pages, plain=None):
    totals = [m[0] for m in measured]
    into = statistics.median(m[1] for m in measured)
    moved = statistics.median(m[2] for m in measured)
    result = {"pages": pages, "instructions": totals, "per_page": statistics.median(totals) / pages,
              "spread": (max(totals) - min(totals)) / min(totals), "module_per_page": into / pages,
              "memmove_per_page": moved / pages}
    if plain:
        result["ratio"] = statistics.median(totals) / statistics.median(plain["instructions"])
        extra = statistics.median(totals) - statistics.median(plain["instructions"])
        result["extra_per_page"] = extra / pages
        result["explained_by_module"] = into / extra if extra > 0 else None
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--engine", required=True)
    ap.add_argument("--module", required=True)
    ap.add_argument("--rows", type=int, default=240_000, help="rows of the scanned table (default 240000)")
    ap.add_argument("--insert", type=int, default=40_000, help="rows the insert case writes (default 40000)")
    ap.add_argument("--runs", type=int, default=2)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()

    conf = config.Config(module=args.module)
    engine = conf.engine(args.engine)
    site = sites.Site(engine, "instructions", conf)
    site.set_conf(DefaultDbCachePages=64)
    run = Runner(site)
    result = {"engine": engine.describe(), "page_size": PAGE, "cache_pages": 64, "runs": args.runs}
    try:
        plain = site.db("plain")
        site.isql(f"create database '{plain}' page_size {PAGE};\n" + TABLE + FILL.format(n=args.rows, table="t"))
        site.run("gfix", "-write", "async", "-user", "SYSDBA", plain)
        velkor = site.db("velkor")
        shutil.copyfile(site.file(plain), site.file(velkor))
        site.crypt(velkor, encrypt=True)
        for db in (plain, velkor):
            site.isql("create table t2 (id integer not null, s varchar(200));\ncommit;\n", db)
        scanned = data_pages(site, plain, "t")

        # Each insert into a fresh copy of its database, so that every run does the same work.
        measured = collections.defaultdict(list)
        work = site.db("work")
        for _ in range(args.runs):
            for label, db in (("velkor", velkor), ("plain", plain)):
                measured[("scan", label)].append(run.callgrind(db, SCAN))
                shutil.copyfile(site.file(db), site.file(work))
                measured[("insert", label)].append(run.callgrind(work, FILL.format(n=args.insert, table="t2")))
        written = data_pages(site, work, "t2")  # the last copy was the plain one
        for case, count in (("scan", scanned), ("insert", written)):
            base = summarise(measured[(case, "plain")], count)
            result[case] = {"plain": base, "velkor": summarise(measured[(case, "velkor")], count, base)}

        # The crypt thread's run, on a fresh copy of the plain database each time.
        runs = []
        for _ in range(args.runs):
            shutil.copyfile(site.file(plain), site.file(work))
            runs.append(run.callgrind(work, holder='alter database encrypt with "velkor";\ncommit;\n'))
        result["encrypt"] = summarise(runs, site.page_count(plain))
        for case in ("scan", "insert"):
            v = result[case]["velkor"]
            print(f"[{engine.describe()}] {case}: {v['pages']} pages, {result[case]['plain']['per_page']:.0f} -> "
                  f"{v['per_page']:.0f} instructions per page, velkor / plain {v['ratio']:.5f} (spread "
                  f"{v['spread']:.5%} velkor, {result[case]['plain']['spread']:.5%} plain); in the module "
                  f"{v['module_per_page']:.0f} per page", flush=True)
        e = result["encrypt"]
        print(f"[{engine.describe()}] encrypt: {e['pages']} pages, {e['per_page']:.0f} instructions per page "
              f"(spread {e['spread']:.5%}), of which in the module {e['module_per_page']:.0f}", flush=True)
    finally:
        site.cleanup()
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
