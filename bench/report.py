"""Turns one run of scripts/bench into bench/results/results.md (the summary
table first, then every number) and bench/results/ratios.png (gnuplot), and
prints the summary table."""

import argparse
import json
import math
import os
import platform
import statistics
import subprocess

LENGTHS = [16, 48, 4080, 8176, 16368, 32752]
LAYOUTS = {"separate": "separate buffers (page write)", "inPlace": "in place (page read)",
           "overlap": "overlapping by one byte"}
TARGET = 1.01


def load(paths):
    out = []
    for path in paths:
        with open(path) as f:
            out.append(json.load(f))
    return out


def micro_medians(path):
    """{(function, layout, length, threads): median CPU ns per call in each thread}."""
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for b in data["benchmarks"]:
        # The per-repetition rows, or, with --benchmark_report_aggregates_only, the medians.
        if b.get("error_occurred") or (b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median"):
            continue
        parts = b["run_name"].split("/")  # moduleCall/separate/8176/threads:1, emptyCall/threads:2, distance/module/16
        if parts[0] == "distance":
            key = ("distance", parts[1], int(parts[2]), 1)
        else:
            threads = int(parts[-1].split(":")[1])
            key = ("emptyCall", None, None, threads) if parts[0] == "emptyCall" else (parts[0], parts[1], int(parts[2]), threads)
        runs.setdefault(key, []).append(b["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]])
    return {k: statistics.median(v) for k, v in runs.items()}


def machine():
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}"


def summary(counted, servers):
    rows = ["| engine | case | what is compared | velkor / plain | spread or 95% CI | meets 1.01 |",
            "|---|---|---|---:|---|---|"]
    for e in counted:
        for case, words in (("scan", "instructions per page read, full scan, 64-page cache"),
                            ("insert", "instructions per page written, bulk insert + commit")):
            v, p = e[case]["velkor"], e[case]["plain"]
            rows.append(f"| {e['engine']} | {case} | {words} | **{v['ratio']:.4f}** | "
                        f"{max(v['spread'], p['spread']):.4%} | {'yes' if v['ratio'] <= TARGET else 'NO'} |")
        c = e["encrypt"]
        rows.append(f"| {e['engine']} | online encryption | instructions per page: {c['per_page']:.0f}, of which "
                    f"in the module {c['module_per_page']:.0f} | | {c['spread']:.4%} | |")
    for e in servers:
        for key, words in (("insert_4", "4 writers"), ("insert_16", "16 writers"), ("scan_4", "4 scanning clients")):
            c = e.get(key)
            if c:
                r = c["cpu_ratio"]
                rows.append(f"| {e['engine']} | server, {words} | server CPU time per unit of work "
                            f"({r['pairs']} pairs) | **{r['geomean']:.4f}** | {r['ci95'][0]:.4f} - {r['ci95'][1]:.4f} "
                            f"| {verdict(r['ci95'])} |")
    return rows


def pairs_needed(spread, resolve):
    """Pairs for a 95% interval of half-width resolve, given one pair's spread (normal approximation)."""
    return max(2, math.ceil((1.96 * spread / resolve) ** 2))


def verdict(ci):
    """Whether a timed ratio meets the target: only an interval wholly on one side of it says."""
    return "yes" if ci[1] <= TARGET else "NO" if ci[0] > TARGET else "not resolved"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--micro")
    ap.add_argument("--instructions", action="append", default=[])
    ap.add_argument("--engine", action="append", default=[])
    ap.add_argument("--server", action="append", default=[])
    ap.add_argument("--command", default="scripts/bench")
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    counted, engines, servers = load(args.instructions), load(args.engine), load(args.server)

    table = summary(counted, servers)
    md = ["# velkor64 benchmark results", "",
          f"Machine: {machine()}. Command: `{args.command}`.", "",
          "## Summary", "",
          "Instruction counts (callgrind) do not move with the machine's load; server CPU time is the server "
          "process's user + system time. Target: velkor / plain at most 1.01; a server case meets it only if its "
          "whole 95% interval does, and is not resolved while the interval holds 1.01.", ""] + table

    for e in counted:
        md += ["", f"## {e['engine']}: what the engine executes per page (callgrind)", "",
               f"Embedded, {e['cache_pages']}-page cache, pages of {e['page_size']} B, {e['runs']} runs of each case. "
               "In the module: the instructions of the engine's calls into libvelkor64.so, the memmove they make "
               "included; explained: that share of the extra instructions per page.", "",
               "| case | pages | plain per page | velkor per page | velkor / plain | spread (plain, velkor) "
               "| in the module per page (memmove) | explained |", "|---|---:|---:|---:|---:|---|---:|---:|"]
        for case in ("scan", "insert"):
            p, v = e[case]["plain"], e[case]["velkor"]
            explained = f"{v['explained_by_module']:.0%}" if v.get("explained_by_module") is not None else "-"
            md.append(f"| {case} | {v['pages']} | {p['per_page']:.0f} | {v['per_page']:.0f} | {v['ratio']:.5f} | "
                      f"{p['spread']:.5%}, {v['spread']:.5%} | {v['module_per_page']:.0f} ({v['memmove_per_page']:.0f}) "
                      f"| {explained} |")
        c = e["encrypt"]
        md.append(f"| online encryption | {c['pages']} | | {c['per_page']:.0f} | | {c['spread']:.5%} | "
                  f"{c['module_per_page']:.0f} ({c['memmove_per_page']:.0f}) | |")

    for e in servers:
        md += ["", f"## {e['engine']} as a SuperServer, remote clients (bench/server_load)", "",
               f"{e['pages']} pages; forced writes off, 64-page cache; pairs of {e['seconds']} s runs, plain and "
               f"velkor in alternating order, until the CPU-time interval's half-width was at most "
               f"{e['resolve']:.1%} (at most {e['max_pairs']} pairs). Ratios velkor / plain per pair: geometric "
               "mean and 95% confidence interval; spread: standard deviation of one pair's log ratio.", "",
               f"Pairs needed: how many pairs, at this spread, bring the CPU-time interval within "
               f"±{e['resolve']:.1%}.", "",
               "| case | pairs | server CPU per unit: velkor / plain | 95% CI | spread | pairs needed "
               "| throughput: velkor / plain | 95% CI | spread |", "|---|---:|---:|---|---:|---:|---:|---|---:|"]
        for key, words in (("insert_4", "4 writers, 100-row transactions"), ("insert_16", "16 writers"),
                           ("scan_4", "4 clients, full scans of 2 tables")):
            c = e.get(key)
            if c:
                r, t = c["cpu_ratio"], c["throughput_ratio"]
                md.append(f"| {words} | {r['pairs']} | **{r['geomean']:.4f}** | {r['ci95'][0]:.4f} - {r['ci95'][1]:.4f} "
                          f"| {r['spread']:.2%} | {pairs_needed(r['spread'], e['resolve'])} | {t['geomean']:.4f} | {t['ci95'][0]:.4f} - {t['ci95'][1]:.4f} | "
                          f"{t['spread']:.2%} |")
        enc = e.get("encryption_s")
        if enc:
            md.append(f"\nOnline encryption of {e['pages']} pages: {enc['idle']['median']:.2f} s idle, "
                      f"{enc['under_load']['median']:.2f} s with 4 writers (median of {len(enc['idle']['runs'])}).")

    for e in engines:
        md += ["", f"## {e['engine']}: online encryption, embedded ({e['rows']} rows, {e['pages']} pages of "
               f"{e['page_size']} B, {e['megabytes']:.0f} MB; {e['runs']} runs)", "",
               "| case | median | min | max |", "|---|---:|---:|---:|"]
        for fw in ("off", "on"):
            o = e[f"online_fw_{fw}"]
            enc, cp = o["encrypt_s"], o["copy_s"]
            md.append(f"| encryption, forced writes {fw} | {enc['median']:.2f} s ({e['pages'] / enc['median']:.0f} "
                      f"pages/s) | {enc['min']:.2f} s | {enc['max']:.2f} s |")
            md.append(f"| decryption, forced writes {fw} | {o['decrypt_s']['median']:.2f} s | "
                      f"{o['decrypt_s']['min']:.2f} s | {o['decrypt_s']['max']:.2f} s |")
            md.append(f"| file copy (dd, {'oflag=dsync' if fw == 'on' else 'buffered'}) | {cp['median']:.2f} s | "
                      f"{cp['min']:.2f} s | {cp['max']:.2f} s |")

    if args.micro:
        m = micro_medians(args.micro)
        md += ["", "## The page path: the module through its dispatch table against std::memmove", "",
               "Google Benchmark, median of the repetitions, CPU nanoseconds per call in each thread; "
               "ratio = module / memmove. With 2 threads both share one instance.", "",
               "| case | length | threads | module ns | memmove ns | ratio |", "|---|---:|---:|---:|---:|---:|"]
        for layout, words in LAYOUTS.items():
            for n in LENGTHS:
                for t in (1, 2):
                    mod, mem = m.get(("moduleCall", layout, n, t)), m.get(("plainMemmove", layout, n, t))
                    if mod is not None and mem is not None:
                        md.append(f"| {words} | {n} | {t} | {mod:.1f} | {mem:.1f} | {mod / mem:.2f} |")
        md += ["", "| in-place decrypt minus an empty call through the same dispatch table | threads | ns |",
               "|---|---:|---:|"]
        for n in (8176,):
            for t in (1, 2):
                mod, empty = m.get(("moduleCall", "inPlace", n, t)), m.get(("emptyCall", None, None, t))
                if mod is not None and empty is not None:
                    md.append(f"| {n} bytes | {t} | {mod - empty:+.1f} |")
        md += ["", "The same page write (8176 bytes, separate buffers) at other distances between source and "
               "destination, (dst - src) mod 4096. The engine's own page buffers are page-aligned, which gives 0 "
               "(or 1024, 3072); CPUs that alias 4 KiB strides slow a copy down at a small distance, module and "
               "memmove alike:", "", "| distance mod 4096 | module ns | memmove ns | ratio |", "|---:|---:|---:|---:|"]
        for d in (0, 16, 32, 48, 64, 1024, 3072):
            mod, mem = m.get(("distance", "module", d, 1)), m.get(("distance", "memmove", d, 1))
            if mod is not None and mem is not None:
                md.append(f"| {d} | {mod:.1f} | {mem:.1f} | {mod / mem:.2f} |")

    md += ["", "![ratios](ratios.png)", ""]
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write("\n".join(md))
    chart(counted, servers, args.out)
    print("\n".join(table))


def chart(counted, servers, out):
    """Each ratio with its spread or interval, against the 1.01 target."""
    dat = os.path.join(out, "ratios.dat")
    with open(dat, "w") as f:
        i = 0
        for e in counted:
            for case in ("scan", "insert"):
                v = e[case]["velkor"]
                f.write(f'{i} "{e["engine"].split()[1]} {case}" {v["ratio"]:.5f} {v["ratio"]:.5f} {v["ratio"]:.5f}\n')
                i += 1
        for e in servers:
            for key in ("insert_4", "insert_16", "scan_4"):
                if key in e:
                    r = e[key]["cpu_ratio"]
                    f.write(f'{i} "{e["engine"].split()[1]} server {key.replace("_", " ")}" {r["geomean"]:.5f} '
                            f'{r["ci95"][0]:.5f} {r["ci95"][1]:.5f}\n')
                    i += 1
    script = f"""set terminal pngcairo size 1200,560 font ",10"
set output "{os.path.join(out, 'ratios.png')}"
set title "velkor64: velkor / plain, instructions per page (callgrind) and server CPU time (95% CI)"
set ylabel "velkor / plain"
set xtics rotate by -35
set grid ytics
set yrange [0.95:1.05]
set xrange [-0.7:{i - 0.3}]
set bmargin 7
set key top left
plot "{dat}" using 1:3:4:5:xtic(2) with yerrorbars pointtype 7 title "ratio", {TARGET} with lines dashtype 2 title "target 1.01", 1 with lines lc rgb "gray" notitle
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.remove(dat)


if __name__ == "__main__":
    main()
