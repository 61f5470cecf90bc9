"""Online encryption in a real Firebird, timed: ALTER DATABASE ENCRYPT (and
DECRYPT) of a >= 300 MB database with 8 KiB pages, forced writes off and on,
against the floor of copying the same file once with the same sync policy.
Each runs RUNS times, reported as median, minimum and maximum. (What the
crypt path costs per page is counted, not timed: bench/instructions.py.)
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

sys.dont_write_bytecode = True  # nothing of ours is cached in the source tree

from fbrun import config, sample, sites

PAGE = 8192


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--engine", required=True, help="3.0-bookworm, 4.0-trixie, ...")
    ap.add_argument("--module", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--documents", type=int, default=22_000)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()

    conf = config.Config(module=args.module)
    engine = conf.engine(args.engine)
    site = sites.Site(engine, "bench", conf)
    result = {"engine": engine.describe(), "page_size": PAGE, "runs": args.runs}
    try:
        plain = site.db("plain")
        shape = sample.shape(args.rows, args.documents)
        sample.populate(site, plain, shape, PAGE)
        pages = site.page_count(plain)
        size = os.path.getsize(site.file(plain))
        result.update(rows=shape.rows, pages=pages, megabytes=size / 1e6)
        print(f"[{args.engine}] {shape.rows} rows, {pages} pages, {size / 1e6:.0f} MB", flush=True)

        # Online encryption against a file copy, forced writes off and on.
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
    finally:
        site.cleanup()
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
