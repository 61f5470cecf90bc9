"""Server benchmarks of velkor64: a SuperServer on 127.0.0.1 from a private
root, two copies of one database (plain, and encrypted with velkor), and a
light load client (bench/server_load: one process, one thread per
connection, Firebird's own client library). Forced writes are off and the
page cache small (64 pages for the scans), so that what differs between the
two is the crypt path, not the disk.

Each case runs as pairs, plain and velkor in alternating order. Two things
are measured per run: throughput (work done per second, what the client
sees), and the server process's CPU time (user + system, from
/proc/PID/stat) per unit of work (an inserted row, a scan). Per pair, each
gives a ratio velkor / plain; the result is its geometric mean with a 95%
confidence interval (t distribution over the log ratios). Pairs go on until
the CPU-time interval's half-width is at most --resolve (0.5%: a 1%
difference shows), or --max-pairs. Online encryption is timed with 4
writers running against the same run without load; the writers attach once
the ALTER has taken effect (attachments made before it may fail with
"Missing crypt plugin, but page appears encrypted": see
docs/engine-limitations.md).
--max-pairs 0 times the encryption alone. Writes one JSON document."""

import argparse
import concurrent.futures
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing of ours is cached in the source tree

from fbrun import config, sample, servers

# Two-sided 95% t quantiles by degrees of freedom.
T95 = {1: 12.71, 2: 4.303, 3: 3.182, 4: 2.776, 5: 2.571, 6: 2.447, 7: 2.365, 8: 2.306, 9: 2.262, 10: 2.228,
       11: 2.201, 12: 2.179, 13: 2.160, 14: 2.145, 15: 2.131, 16: 2.120, 17: 2.110, 18: 2.101, 19: 2.093,
       20: 2.086, 25: 2.060, 30: 2.042, 40: 2.021}
CASES = [("insert", 4), ("insert", 16), ("scan", 4)]


def t95(df):
    return T95.get(df) or T95[max(k for k in T95 if k <= df)]


def ratio_stats(ratios):
    logs = [math.log(r) for r in ratios]
    mean = statistics.mean(logs)
    half = t95(len(logs) - 1) * statistics.stdev(logs) / math.sqrt(len(logs)) if len(logs) > 1 else float("inf")
    return {"geomean": math.exp(mean), "ci95": [math.exp(mean - half), math.exp(mean + half)],
            "half_width": math.exp(half) - 1, "spread": statistics.stdev(logs) if len(logs) > 1 else None,
            "min": min(ratios), "max": max(ratios), "pairs": len(ratios), "ratios": ratios}


class Bench:
    def __init__(self, site, load_exe):
        self.site = site
        self.exe = os.path.join(site.dir, "server_load")
        shutil.copy(load_exe, self.exe)

    def cpu(self):
        """The server process's user + system CPU time so far, in seconds."""
        with open(f"/proc/{self.site.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def load(self, db, work, connections, seconds):
        """(work per second, server CPU seconds per unit of work) of one run."""
        before = self.cpu()
        p = subprocess.run(self.site.command(self.site.view(self.exe), db, servers.PASSWORD, work, str(connections),
                                             str(seconds)), capture_output=True, text=True, timeout=seconds + 120)
        if p.returncode != 0:
            raise RuntimeError(f"server_load failed: {p.stderr}")
        got = json.loads(p.stdout)
        return got["per_second"], (self.cpu() - before) / got["done"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--engine", required=True, help="3.0-bookworm, 4.0-trixie, ...")
    ap.add_argument("--module", required=True)
    ap.add_argument("--load", required=True, help="the built bench/server_load")
    ap.add_argument("--min-pairs", type=int, default=6)
    ap.add_argument("--max-pairs", type=int, default=40)
    ap.add_argument("--resolve", type=float, default=0.005, help="stop at this CPU-time CI half-width (default 0.005)")
    ap.add_argument("--seconds", type=int, default=4)
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()

    conf = config.Config(module=args.module)
    engine = conf.engine(args.engine)
    site = servers.ServerSite(engine, "server-bench", conf)
    bench = Bench(site, args.load)
    result = {"engine": engine.describe(), "max_pairs": args.max_pairs, "resolve": args.resolve, "seconds": args.seconds}
    try:
        plain, velkor = site.db("plain"), site.db("velkor")
        shape = sample.shape(args.rows)
        sample.populate(site, plain, shape)
        site.isql("create table load_t (conn integer, val integer, note varchar(100));\ncommit;\n", plain)
        site.stop()  # copy the file while no server holds it
        shutil.copyfile(site.file(plain), site.file(velkor))
        for db in (plain, velkor):
            site.run("gfix", "-write", "async", "-user", "SYSDBA", site.local(db))
            site.run("gfix", "-buffers", "64", "-user", "SYSDBA", site.local(db))
        site.start()
        site.crypt(velkor, True)
        result["pages"] = site.page_count(plain)
        print(f"[{engine.name}] {shape.rows} rows, {result['pages']} pages; {args.min_pairs} to {args.max_pairs} "
              f"pairs of {args.seconds} s runs per case", flush=True)

        for work, connections in CASES if args.max_pairs else ():
            throughput, cpu, runs = [], [], {"plain": [], "velkor": []}
            for i in range(args.max_pairs):
                order = [("plain", plain), ("velkor", velkor)]
                got = {}
                for label, db in (order if i % 2 == 0 else order[::-1]):
                    got[label] = bench.load(db, work, connections, args.seconds)
                    runs[label].append(got[label])
                throughput.append(got["velkor"][0] / got["plain"][0])
                cpu.append(got["velkor"][1] / got["plain"][1])
                if len(cpu) >= args.min_pairs and ratio_stats(cpu)["half_width"] <= args.resolve:
                    break
            t, c = ratio_stats(throughput), ratio_stats(cpu)
            result[f"{work}_{connections}"] = {"throughput_ratio": t, "cpu_ratio": c, "resolved": c["half_width"] <= args.resolve,
                                               "plain": runs["plain"], "velkor": runs["velkor"]}
            print(f"[{engine.name}] {work}, {connections} connections, {c['pairs']} pairs: server CPU per unit "
                  f"velkor / plain {c['geomean']:.4f} (95% CI {c['ci95'][0]:.4f}-{c['ci95'][1]:.4f}); throughput "
                  f"{t['geomean']:.4f} ({t['ci95'][0]:.4f}-{t['ci95'][1]:.4f})", flush=True)

        # Online encryption of the plain copy, with 4 writers and without.
        times = {"idle": [], "under_load": []}
        pool = concurrent.futures.ThreadPoolExecutor(max_workers=1)
        for i in range(3):
            for case in ("idle", "under_load") if i % 2 == 0 else ("under_load", "idle"):
                writers = None
                t = time.monotonic()
                holder = site.attach(plain, 'alter database encrypt with "velkor";\ncommit;\n')
                if case == "under_load":
                    deadline = t + 60
                    while "encrypted" not in site.attributes(plain):  # the ALTER has taken effect
                        if time.monotonic() > deadline:
                            raise RuntimeError("the ALTER never took effect")
                        time.sleep(0.01)
                    # A writer's failure fails the benchmark: result() raises it.
                    writers = pool.submit(bench.load, plain, "insert", 4, 10)
                site.wait_crypt(plain, True)
                elapsed = time.monotonic() - t
                site.close(holder)
                if writers:
                    writers.result()
                times[case].append(elapsed)
                site.crypt(plain, False)
        result["encryption_s"] = {k: {"median": statistics.median(v), "min": min(v), "max": max(v), "runs": v}
                                  for k, v in times.items()}
        print(f"[{engine.name}] online encryption of {result['pages']} pages: idle "
              f"{statistics.median(times['idle']):.2f} s, with 4 writers {statistics.median(times['under_load']):.2f} s",
              flush=True)
    finally:
        site.cleanup()
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
