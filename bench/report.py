"""Turns one run of scripts/bench into bench/results/results.md and
bench/results/ratios.png (gnuplot)."""

import argparse
import json
import os
import platform
import statistics
import subprocess

LENGTHS = [16, 48, 4080, 8176, 16368, 32752]
PAGE_OF = {4080: 4096, 8176: 8192, 16368: 16384, 32752: 32768}
LAYOUTS = {"separate": "separate buffers (page write)", "inPlace": "in place (page read)",
           "overlap": "overlapping by one byte"}


def micro_medians(path):
    """{(function, layout, length, threads): median real time in ns}."""
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for b in data["benchmarks"]:
        # The per-repetition rows, or, with --benchmark_report_aggregates_only, the medians.
        if b.get("error_occurred") or (b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median"):
            continue
        name = b["run_name"]  # moduleCall/separate/8176/threads:1, emptyCall/threads:2, distance/module/16
        parts = name.split("/")
        if parts[0] == "distance":
            key = ("distance", parts[1], int(parts[2]), 1)
        else:
            threads = int(parts[-1].split(":")[1])
            key = ("emptyCall", None, None, threads) if parts[0] == "emptyCall" else (parts[0], parts[1], int(parts[2]), threads)
        # CPU time per call in each thread (real_time of a threaded run is per call of all threads).
        ns = b["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]
        runs.setdefault(key, []).append(ns)
    return {k: statistics.median(v) for k, v in runs.items()}, data.get("context", {})


def machine():
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--micro", required=True)
    ap.add_argument("--engine", action="append", default=[])
    ap.add_argument("--server", action="append", default=[])
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)

    m, _ = micro_medians(args.micro)
    engines, servers = [], []
    for path in args.engine:
        with open(path) as f:
            engines.append(json.load(f))
    for path in args.server:
        with open(path) as f:
            servers.append(json.load(f))

    md = ["# velkor64 benchmark results", "",
          f"Machine: {machine()}. Engines: {', '.join(e['engine'] for e in engines) or 'none run'}.",
          "Regenerate with `scripts/bench` (about 25 minutes); absolute times on this shared machine vary, "
          "so every comparison is measured side by side in one run.", "",
          "## The page path: the module through its dispatch table against std::memmove", "",
          "Median of 5 interleaved repetitions, CPU nanoseconds per call in each thread; ratio = module / memmove. "
          "With 2 threads both share one instance.", ""]
    md.append("| case | length | threads | module ns | memmove ns | ratio |")
    md.append("|---|---:|---:|---:|---:|---:|")
    chart = {}
    for layout, words in LAYOUTS.items():
        for n in LENGTHS:
            for t in (1, 2):
                mod, mem = m.get(("moduleCall", layout, n, t)), m.get(("plainMemmove", layout, n, t))
                if mod is None or mem is None:
                    continue
                md.append(f"| {words} | {n} | {t} | {mod:.1f} | {mem:.1f} | {mod / mem:.2f} |")
                if t == 1 and n in PAGE_OF and layout != "inPlace":
                    chart.setdefault(PAGE_OF[n], {})[f"{layout}: module / memmove"] = mod / mem
    md += ["", "In place the engine's page read copies nothing; the floor is an empty call through the same "
           "dispatch table (setInfo, which only resets the status):", "",
           "| length | threads | in-place decrypt ns | empty call ns | difference ns |", "|---:|---:|---:|---:|---:|"]
    for n in LENGTHS:
        for t in (1, 2):
            mod, empty = m.get(("moduleCall", "inPlace", n, t)), m.get(("emptyCall", None, None, t))
            if mod is not None and empty is not None:
                md.append(f"| {n} | {t} | {mod:.1f} | {empty:.1f} | {mod - empty:+.1f} |")
                if t == 1 and n in PAGE_OF:
                    chart.setdefault(PAGE_OF[n], {})["in place: module / empty call"] = mod / empty

    md += ["", "The same page write (8176 bytes, separate buffers) at other distances between source and "
           "destination, (dst - src) mod 4096. The engine's own page buffers are page-aligned, which gives 0 "
           "(or 1024, 3072); CPUs that alias 4 KiB strides slow a copy down at a small distance, module and "
           "memmove alike:", "", "| distance mod 4096 | module ns | memmove ns | ratio |", "|---:|---:|---:|---:|"]
    for d in (0, 16, 32, 48, 64, 1024, 3072):
        mod, mem = m.get(("distance", "module", d, 1)), m.get(("distance", "memmove", d, 1))
        if mod is not None and mem is not None:
            md.append(f"| {d} | {mod:.1f} | {mem:.1f} | {mod / mem:.2f} |")

    for e in servers:
        md += ["", f"## {e['engine']} as a SuperServer, remote clients (bench/server_load)", "",
               f"{e['pages']} pages; forced writes off, 64-page cache; {e['pairs']} pairs of {e['seconds']} s runs "
               "per case, plain and velkor in alternating order. Ratio = velkor / plain throughput per pair: "
               "geometric mean, 95% confidence interval, minimum and maximum.", "",
               "| case | plain, median per s | velkor / plain | 95% CI | min | max |", "|---|---:|---:|---|---:|---:|"]
        for key, words in (("insert_4", "4 writers, 100-row transactions (rows/s)"),
                           ("insert_16", "16 writers, 100-row transactions (rows/s)"),
                           ("scan_4", "4 clients, full scans of 2 tables (scans/s)")):
            c = e.get(key)
            if c:
                r = c["ratio"]
                md.append(f"| {words} | {statistics.median(c['plain_per_s']):.0f} | **{r['geomean']:.4f}** | "
                          f"{r['ci95'][0]:.4f} - {r['ci95'][1]:.4f} | {r['min']:.3f} | {r['max']:.3f} |")
        enc = e.get("encryption_s")
        if enc:
            md.append(f"| online encryption of {e.get('encryption_pages', e['pages'])} pages, idle / with 4 writers "
                      f"(median s of {len(enc['idle']['runs'])}) | | {enc['idle']['median']:.2f} / "
                      f"{enc['under_load']['median']:.2f} | | | |")

    for e in engines:
        v = e["engine"]
        md += ["", f"## {v}: {e['rows']} rows, {e['pages']} pages of {e['page_size']} B, "
               f"{e['megabytes']:.0f} MB; {e['runs']} runs each, interleaved", ""]
        md += ["| case | median | min | max |", "|---|---:|---:|---:|"]
        for fw in ("off", "on"):
            o = e[f"online_fw_{fw}"]
            enc, cp = o["encrypt_s"], o["copy_s"]
            md.append(f"| online encryption, forced writes {fw} | {enc['median']:.2f} s "
                      f"({e['pages'] / enc['median']:.0f} pages/s, {e['megabytes'] / enc['median']:.0f} MB/s) "
                      f"| {enc['min']:.2f} s | {enc['max']:.2f} s |")
            md.append(f"| online decryption, forced writes {fw} | {o['decrypt_s']['median']:.2f} s "
                      f"| {o['decrypt_s']['min']:.2f} s | {o['decrypt_s']['max']:.2f} s |")
            md.append(f"| file copy (dd, {e['page_size']} B blocks, {'oflag=dsync' if fw == 'on' else 'buffered'}) "
                      f"| {cp['median']:.2f} s | {cp['min']:.2f} s | {cp['max']:.2f} s |")
            md.append(f"| encryption time / copy time, forced writes {fw} | {enc['median'] / cp['median']:.2f} | | |")
        for case, words in (("scan", "full scan, 64-page cache"), ("bulk_insert", "bulk insert of 1,000,000 rows + commit")):
            c = e[case]
            for label in ("plain", "velkor"):
                s = c[f"{label}_s"]
                md.append(f"| {words}, {label} | {s['median']:.3f} s | {s['min']:.3f} s | {s['max']:.3f} s |")
            md.append(f"| {words}: throughput encrypted / plain | **{c['throughput_ratio']:.3f}** | | |")
            chart.setdefault(e["page_size"], {})[f"{case.replace('_', ' ')} {v.split()[-1][:4]}: enc / plain"] = \
                c["throughput_ratio"]
        prof = e.get("profile_fw_off")
        if prof:
            md += ["", "Where the crypt thread's process spends its time while encrypting (forced writes off; "
                   "perf, software clock, share of samples by shared object):", "",
                   ", ".join(f"{k} {v:.1f}%" for k, v in sorted(prof.items(), key=lambda kv: -kv[1])) +
                   ". libvelkor64.so does not reach 0.5%: its copy is the libc memmove."]

    md += ["", "![ratios](ratios.png)", ""]
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write("\n".join(md))

    series = sorted({s for row in chart.values() for s in row})
    dat = os.path.join(args.out, "ratios.dat")
    with open(dat, "w") as f:
        f.write("page " + " ".join(f'"{s}"' for s in series) + "\n")
        for page in sorted(chart):
            f.write(f"{page} " + " ".join(f"{chart[page][s]:.4f}" if s in chart[page] else "?" for s in series) + "\n")
    script = f"""set terminal pngcairo size 1100,560 font ",10"
set output "{os.path.join(args.out, 'ratios.png')}"
set title "velkor64: cost ratios per case and page size (1.00 = no cost)"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set key outside right top
set ylabel "ratio"
set xlabel "page size (bytes)"
set yrange [0:*]
set grid ytics
set datafile missing "?"
plot for [i=2:{len(series) + 1}] "{dat}" using i:xtic(1) title columnheader(i)
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.remove(dat)
    print("\n".join(md))


if __name__ == "__main__":
    main()
