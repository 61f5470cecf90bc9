"""Engine-level benchmarks of velkor64 in a real Firebird (3.0 or 4.0).

Every case runs RUNS times, interleaved (plain, velkor, plain, ...), and is
reported as median, minimum and maximum:
  1. online encryption (and decryption) of a >= 300 MB database with 8 KiB
     pages, forced writes off and on, against the floor of copying the same
     file once with the same sync policy;
  2. a full scan with a 64-page cache, so that every page comes through
     decrypt from the OS cache: velkor-encrypted against the same database
     unencrypted;
  3. a bulk insert and the commit that writes its pages: encrypted against
     unencrypted.
Writes one JSON document to --out.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "engine"))

import fbsite  # noqa: E402
import sample  # noqa: E402

PAGE = 8192
SCAN = """select count(*), sum(char_length(name)) from customers;
select count(*), max(note) from orders;
select count(*) from documents where body containing 'no such text';
"""
BULK_ROWS = 1_000_000
BULK = f"""recreate table bulk (id integer, s varchar(100), n numeric(12,2));
commit;
set term ^;
execute block as declare i integer = 0; begin
  while (i < {BULK_ROWS}) do begin
    insert into bulk values (:i, rpad('bulk ' || :i, 80, '.'), :i * 0.01); i = i + 1;
  end
end^
set term ;^
commit;
"""


def stats(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values), "runs": values}


def timed(f):
    t = time.monotonic()
    f()
    return time.monotonic() - t


def copy_file(src, dst, sync):
    """The floor: dd reads the file once and writes it once, a page per
    system call; with `sync`, each write is synchronous (O_DSYNC), as
    forced writes ask the engine's to be."""
    subprocess.run(["dd", f"if={src}", f"of={dst}", f"bs={PAGE}", "status=none"] +
                   (["oflag=dsync"] if sync else []), check=True)


def profile_encryption(site, db):
    """Where the crypt thread's process spends its time, by shared object
    (perf with the software clock; hardware counters may be missing)."""
    if not shutil.which("perf"):
        return None
    data = os.path.join(site.dir, "perf.data")
    holder = site.attach(db, 'alter database encrypt with "velkor";\ncommit;\n',
                         prefix=("perf", "record", "-q", "-e", "cpu-clock", "-o", data, "--"))
    try:
        site.wait_crypt(db, True)
    finally:
        site.close(holder)
    out = subprocess.run(["perf", "report", "-i", data, "--stdio", "--sort", "dso", "-q"],
                         capture_output=True, text=True).stdout
    shares = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[0].endswith("%"):
            shares[os.path.basename(parts[1])] = float(parts[0].rstrip("%"))
    site.crypt(db, False)
    return shares


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--engine", required=True, help="3.0-bookworm, 4.0-trixie, ...")
    ap.add_argument("--module", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--documents", type=int, default=22_000)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()

    engine = fbsite.Engine(args.engine)
    site = fbsite.Site(engine, "bench", module=args.module)
    result = {"engine": engine.describe(), "page_size": PAGE, "runs": args.runs}
    try:
        plain = site.db("plain")
        shape = sample.shape(args.rows, args.documents)
        sample.populate(site, plain, shape, PAGE)
        pages = site.page_count(plain)
        size = os.path.getsize(site.file(plain))
        result.update(rows=shape.rows, pages=pages, megabytes=size / 1e6)
        print(f"[{args.engine}] {shape.rows} rows, {pages} pages, {size / 1e6:.0f} MB", flush=True)

        # 1. Online encryption against a file copy, forced writes off and on.
        work = site.db("work")
        shutil.copyfile(site.file(plain), site.file(work))
        copy_target = site.file(work) + ".copy"
        for fw in ("off", "on"):
            site.run("gfix", "-write", "sync" if fw == "on" else "async", "-user", "SYSDBA", work)
            enc, dec, cp = [], [], []
            for _ in range(args.runs):
                if os.path.exists(copy_target):
                    os.remove(copy_target)  # freeing the last copy is not part of the floor
                cp.append(timed(lambda: copy_file(site.file(plain), copy_target, fw == "on")))
                enc.append(timed(lambda: site.crypt(work, True)))
                dec.append(timed(lambda: site.crypt(work, False)))
            os.remove(copy_target)
            result[f"online_fw_{fw}"] = {"encrypt_s": stats(enc), "decrypt_s": stats(dec), "copy_s": stats(cp)}
            m = statistics.median(enc)
            print(f"[{args.engine}] online encryption, forced writes {fw}: {pages / m:.0f} pages/s, "
                  f"{size / 1e6 / m:.0f} MB/s; copy {statistics.median(cp):.2f} s, encryption {m:.2f} s",
                  flush=True)
        site.run("gfix", "-write", "async", "-user", "SYSDBA", work)
        result["profile_fw_off"] = profile_encryption(site, work)

        # 2 and 3 on two copies of one database: plain and encrypted. Forced
        # writes off and a 64-page cache, so that the crypt path is what differs.
        enc_db = site.db("velkor")
        for db in (plain, enc_db):
            if db is enc_db:
                shutil.copyfile(site.file(plain), site.file(enc_db))
                site.crypt(enc_db, True)
            site.run("gfix", "-write", "async", "-user", "SYSDBA", db)
            site.run("gfix", "-buffers", "64", "-user", "SYSDBA", db)
        for case, sql in (("scan", SCAN), ("bulk_insert", BULK)):
            times = {"plain": [], "velkor": []}
            for _ in range(args.runs):
                for label, db in (("plain", plain), ("velkor", enc_db)):
                    times[label].append(timed(lambda: site.isql(sql, db)))
            ratio = statistics.median(times["plain"]) / statistics.median(times["velkor"])
            result[case] = {"plain_s": stats(times["plain"]), "velkor_s": stats(times["velkor"]),
                            "throughput_ratio": ratio}
            print(f"[{args.engine}] {case}: plain {statistics.median(times['plain']):.3f} s, velkor "
                  f"{statistics.median(times['velkor']):.3f} s, encrypted/plain throughput {ratio:.3f}", flush=True)
    finally:
        site.cleanup()
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
