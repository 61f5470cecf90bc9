"""The engine faults seen with attachments made before an ALTER DATABASE
ENCRYPT or DECRYPT, and with a restore under load, counted per release.
scripts/engine-faults runs it (after building the module); it is a report,
not a test: no outcome is expected, each run is bounded in time, and the
matrix says what happened.

Cases:
  classic-encrypt   embedded Classic, 4 isql writers attached before ENCRYPT
  superclassic-decrypt  SuperClassic, 8 remote writers attached before DECRYPT
  restore-under-load    SuperServer (4.0 on): a gbak -crypt backup restored with
                        -crypt while 4 remote writers work on the source database

Each acknowledged row (a batch whose commit the writer saw succeed) is
counted three ways, by a natural scan, through the primary key and through
a secondary index, so that a row missing only from an index is told apart
from a row missing from the table."""

import argparse
import os
import re
import signal
import time

from fbrun import catalogue, config, engines, load, sample, servers, sites

TABLE = ("create table load_rows (client integer not null, seq integer not null, val bigint,"
         " constraint load_pk primary key (client, seq));\ncreate index load_val on load_rows (val);\ncommit;\n")
WAYS = {"natural": "plan (load_rows natural)", "primary key": "plan (load_rows index (load_pk))",
        "index": "plan (load_rows index (load_val))"}
STALL = 60  # seconds without progress of the crypt thread and of every writer


class Run:
    """One run of a case: what was seen, for the matrix."""

    def __init__(self):
        self.stalled = False
        self.overlap = False  # the writers wrote while the crypt thread ran
        self.writer_errors = []
        self.lost = dict.fromkeys(WAYS, 0)  # acknowledged rows not found, per way of counting
        self.validation = ""
        self.internal = False
        self.other = ""


def count_rows(site, db, clients):
    """{way: {client: rows}}, each counted in a query of its own."""
    got = {}
    for way, plan in WAYS.items():
        cond = "val >= 0" if way == "index" else "client >= 0"
        rows = site.isql(f"set list on;\nselect client, count(*) as n from load_rows where {cond} group by client "
                         f"{plan};\n", db, check=False).stdout
        pairs = re.findall(r"CLIENT\s+(-?\d+)\s+N\s+(\d+)", rows)
        got[way] = {int(c): int(n) for c, n in pairs}
    return got


def finish(site, db, writers, run, acked):
    """Counts the acknowledged rows, validates, and reads the log."""
    for k, err in writers.errors.items():
        if err.strip() or writers.processes[k].returncode not in (0, None, -signal.SIGKILL):  # we kill them at the end
            run.writer_errors.append(f"{k} (exit {writers.processes[k].returncode}): {' '.join(err.split())[:160]}")
    counted = count_rows(site, db, acked)
    for way, per_client in counted.items():
        run.lost[way] = sum(max(0, n * load.ROWS - per_client.get(k, 0)) for k, n in acked.items())
        short = {k: f"{per_client.get(k, 0)} of {n * load.ROWS}" for k, n in acked.items()
                 if per_client.get(k, 0) < n * load.ROWS}
        if short:
            run.other += f" {way}: client {short};"
    code, out = site.validate(db)
    if code or out:
        run.validation = " ".join(out.split())[:200] or f"exit {code}"
    run.internal = "consistency check" in site.log_tail(400) or any("consistency check" in e for e in run.writer_errors)


def crypt_with_writers(site, db, clients, encrypt, run):
    """Writers attached and writing, then the ALTER; waits for the crypt
    thread, calling a stall when neither it nor any writer moves for STALL s."""
    writers = load.Writers(site, db, clients, batches=400)
    deadline = time.monotonic() + 120
    while not writers.all_committed_once() and time.monotonic() < deadline and writers.running():
        time.sleep(0.01)
    holder = site.attach(db, ('alter database encrypt with "velkor"' if encrypt else "alter database decrypt") +
                         ";\ncommit;\n")
    last, moved = None, time.monotonic()
    try:
        while True:
            attrs = site.attributes(db)
            state = (site.crypt_page(db), sum(writers.committed.values()))
            if state != last:
                if last and "crypt process" in attrs and state[1] > last[1]:
                    run.overlap = True
                last, moved = state, time.monotonic()
            if "crypt process" not in attrs and ("encrypted" in attrs) == encrypt and not writers.running():
                break
            if time.monotonic() - moved > STALL:
                run.stalled = True
                break
            time.sleep(0.2)
    finally:
        writers.kill()
        if run.stalled:
            holder.kill()
        else:
            site.close(holder)
    return writers


def attached_before(site, rows, clients, encrypt):
    """Writers attached before the ALTER (ENCRYPT, or DECRYPT of an encrypted database)."""
    try:
        db = site.db()
        sample.populate(site, db, sample.shape(rows))
        site.isql(TABLE, db)
        if not encrypt:
            site.crypt(db, encrypt=True)
        run = Run()
        writers = crypt_with_writers(site, db, range(clients), encrypt, run)
        if not run.stalled:
            finish(site, db, writers, run, dict(writers.committed))
        return run
    finally:
        site.cleanup()


def restore_under_load(engine, module, rows):
    site = servers.ServerSite(engine, "faults", config.Config(module=module))
    try:
        db = site.db()
        shape = sample.shape(rows)
        sample.populate(site, db, shape)
        site.isql(TABLE, db)
        site.crypt(db, encrypt=True)
        fbk = site.path("faults.fbk")
        site.run("gbak", "-b", "-crypt", "velkor", db, fbk)
        run = Run()
        writers = load.Writers(site, db, range(4), batches=400)
        restored = site.db("restored")
        p = site.run("gbak", "-c", "-crypt", "velkor", fbk, restored, check=False, timeout=600)
        writers.kill()
        if p.returncode:
            run.other = f"gbak -c exit {p.returncode}: {' '.join((p.stderr + p.stdout).split())[-160:]}"
        attrs = site.attributes(restored) if os.path.exists(site.file(restored)) else ["no file"]
        if any("maintenance" in a or "shutdown" in a for a in attrs):
            run.other += f" restored database left {', '.join(attrs)}"
        if not p.returncode:
            problems = sample.check(site, restored, shape)
            if problems:
                run.other += " restored data: " + "; ".join(problems)
        finish(site, db, writers, run, dict(writers.committed))
        return run
    finally:
        site.cleanup()


CASES = {
    "classic-encrypt": lambda engine, module, rows: attached_before(
        sites.Site(engine, "faults", config.Config(module=module)), rows, clients=4, encrypt=True),
    "superclassic-decrypt": lambda engine, module, rows: attached_before(
        servers.ServerSite(engine, "faults", config.Config(module=module), mode="SuperClassic"), rows, clients=8, encrypt=False),
    "restore-under-load": restore_under_load,
}


def row(case, engine, runs):
    n = len(runs)
    lost = {way: sum(1 for r in runs if r.lost[way]) for way in WAYS}
    rows = {way: sum(r.lost[way] for r in runs) for way in WAYS}
    return (f"| {case} | {engine} | {n} | {sum(r.overlap for r in runs)} | {sum(r.stalled for r in runs)} | "
            f"{sum(1 for r in runs if r.writer_errors)} | "
            + " | ".join(f"{lost[w]} ({rows[w]})" for w in WAYS)
            + f" | {sum(1 for r in runs if r.validation)} | {sum(r.internal for r in runs)} | "
            f"{sum(1 for r in runs if r.other)} |")


def main():
    ap = argparse.ArgumentParser(prog="scripts/engine-faults", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--module", required=True)
    ap.add_argument("--runs", type=int, default=3, help="runs per case and engine (default 3)")
    ap.add_argument("--minutes", type=float, default=90, help="stop starting runs after this long (default 90)")
    ap.add_argument("--rows", type=int, default=60_000, help="sample rows per database (default 60000)")
    ap.add_argument("--engine", action="append", help="an engine (repeatable; default: every one there is)")
    ap.add_argument("--case", action="append", choices=sorted(CASES), help="a case (repeatable; default: all)")
    ap.add_argument("--out", required=True, help="the report (markdown)")
    args = ap.parse_args()
    names = args.engine or [r.name for r in catalogue.releases(arch=catalogue.host_arch())]
    present = []
    for name in names:
        try:
            present.append(engines.engine(name))
        except engines.EngineMissing as e:
            print(f"engine-faults: {name} left out: {e}", flush=True)
    stop = time.monotonic() + args.minutes * 60
    results, details = {}, []
    for case in args.case or list(CASES):
        for engine in present:
            if case == "restore-under-load" and engine.major < 4:
                continue  # gbak -crypt came with 4.0
            runs = results.setdefault((case, engine.describe()), [])
            for i in range(args.runs):
                if time.monotonic() > stop:
                    break
                t = time.monotonic()
                try:
                    r = CASES[case](engine, args.module, args.rows)
                except Exception as e:  # a run that could not even be set up is reported, not counted
                    print(f"[{engine.describe()}] {case} run {i + 1}: not run: {e}", flush=True)
                    continue
                runs.append(r)
                what = ["stalled" if r.stalled else "", "" if r.overlap or case == "restore-under-load" else
                        "the writers never wrote during the crypt run",
                        f"lost {r.lost}" if any(r.lost.values()) else "",
                        f"writer errors {r.writer_errors[:2]}" if r.writer_errors else "",
                        f"validation: {r.validation}" if r.validation else "",
                        "internal consistency check" if r.internal else "", r.other]
                line = f"[{engine.describe()}] {case} run {i + 1} ({time.monotonic() - t:.0f} s): " + \
                    ("; ".join(w for w in what if w) or "nothing wrong")
                print(line, flush=True)
                details.append(line)
    head = ("| case | engine | runs | runs with writes during the crypt run | stalls | runs with writer errors | "
            + " | ".join(f"runs losing acknowledged rows, {w} (rows)" for w in WAYS)
            + " | runs with validation errors | runs with an internal consistency check | other |\n"
            + "|---" * (9 + len(WAYS)) + "|\n")
    table = head + "\n".join(row(c, e, runs) for (c, e), runs in results.items()) + "\n"
    with open(args.out, "w") as f:
        f.write(f"# Engine faults: {args.runs} run(s) per case and engine, {args.rows} sample rows\n\n"
                + table + "\n## Each run\n\n" + "\n".join(f"- {d}" for d in details) + "\n")
    print("\n" + table)
    print(f"report: {args.out}")


if __name__ == "__main__":
    main()
