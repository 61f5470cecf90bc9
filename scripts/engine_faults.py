"""What the engines do when the machine fails during a crypt run, under load,
and with the crypt-path faults of Firebird's tracker: each case of
fbrun/faults.py, on each release, in each mode it applies to, N times, and
each time once more without a crypt run (the control, which tells whether
velkor64 and the crypt path are involved at all). scripts/engine-faults runs
it after building what it needs; it is a report, not a test: no outcome is
expected, each run is bounded in time, and the matrix says what happened.

    scripts/engine-faults --list
    scripts/engine-faults --case disk-full --engine 5.0 [--mode classic] [--runs 3]

Each run prints one line: what the engine did, the acknowledged rows lost
(counted by a natural scan, the primary key and a secondary index), what
gfix -v -full said, whether the crypt run completed once the fault was
gone. The matrix goes to the report file (markdown), and each run, whole, to
a file beside it (.jsonl)."""

import argparse
import dataclasses
import json
import os
import re
import signal
import subprocess
import sys
import time

from fbrun import catalogue, config, faults, firebird


def failure(e):
    """Why a run could not be made, in a line: a program that did not end is named with its bound."""
    if isinstance(e, subprocess.TimeoutExpired):
        program = next((a for a in e.cmd if "=" not in a and a not in ("chroot", "/usr/bin/env")
                        and not os.path.isdir(a)), str(e.cmd))
        return f"{os.path.basename(program)} did not end within {e.timeout:.0f} s"
    return " ".join(f"{type(e).__name__}: {e}".split())[:300]


def line(run):
    lost = "/".join(str(run.lost[w]) for w in faults.WAYS)
    parts = [run.outcome or "-",
             f"acknowledged {run.acknowledged}, lost {lost}" if run.acknowledged else "",
             {None: "", "": "gfix clean"}.get(run.validation, f"gfix: {run.validation}"),
             {True: "the run completed", False: "the run did not complete", None: ""}[run.completed],
             "an internal consistency check" if run.internal else "", "stalled" if run.stalled else "",
             f"writer errors: {len(run.writer_errors)}" if run.writer_errors else "",
             f"the engine said: {run.engine_said}" if run.engine_said else "", run.other]
    return "; ".join(p for p in parts if p)


def cell(r):
    """One run, in a few words, for a table."""
    if r["text"].startswith("not run"):
        return r["text"][:160]
    lost = "/".join(str(r["lost"][w]) for w in faults.WAYS)
    parts = [r["outcome"] or "-",
             f"lost {lost} of {r['acknowledged']}" if r["acknowledged"] else "",
             {None: "", "": "gfix clean"}.get(r["validation"], f"gfix: {(r['validation'] or '')[:100]}"),
             {True: "completed", False: "**did not complete**", None: ""}[r["completed"]],
             "**an internal consistency check**" if r["internal"] else "", "**stalled**" if r["stalled"] else "",
             f"{len(r['writer_errors'])} writer(s) failed" if r["writer_errors"] else ""]
    return "; ".join(p for p in parts if p).replace("|", "/")


def tables(files):
    """The runs of some .jsonl files as one table per case: a row per release
    and mode, the crypt run beside the control."""
    runs = [json.loads(line) for f in files for line in open(f)]
    print(f"# Runs of scripts/engine-faults\n\n{len(runs)} runs, each case in each release and mode, with a crypt "
          "run and as a control without one (made by `scripts/engine-faults --tables` from the runs' .jsonl "
          "files). A cell is one run, or several separated by ` / `; lost rows are counted by a natural scan, "
          "the primary key and a secondary index.\n")
    for case in faults.CASES.values():
        mine = [r for r in runs if r["case"] == case.name]
        if not mine:
            continue
        tracker = f" (Firebird's tracker #{case.tracker})" if case.tracker else ""
        print(f"### {case.name}\n\n{case.what}{tracker}.\n\n| release | mode | crypt run | control |\n|---|---|---|---|")
        keys = sorted({(r["release"], r["mode"]) for r in mine},
                      key=lambda k: ([int(n) for n in re.findall(r"\d+", k[0])], list(faults.MODES).index(k[1])))
        for release, mode in keys:
            got = {c: " / ".join(cell(r) for r in mine if (r["release"], r["mode"], r["crypt"]) == (release, mode, c))
                   for c in (True, False)}
            print(f"| {release} | {faults.MODES[mode]} | {got[True] or '-'} | {got[False] or '-'} |")
        print()


def main():
    ap = argparse.ArgumentParser(prog="scripts/engine-faults", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--module", required=True)
    ap.add_argument("--shim", help="faults/libiofault.so")
    ap.add_argument("--keyed", help="a keyed test plug-in (tests/checker's faulty_keyed), for key-change")
    ap.add_argument("--key-holder", help="the test key holder, for key-change")
    ap.add_argument("--runs", type=int, default=1, help="runs per case, release and mode (default 1)")
    ap.add_argument("--minutes", type=float, default=240, help="stop starting runs after this long (default 240)")
    ap.add_argument("--engine", action="append", help="a release, by name or alias (repeatable; default: every one)")
    ap.add_argument("--case", action="append", help="a case (repeatable; default: all; --list names them)")
    ap.add_argument("--mode", action="append", choices=sorted(faults.MODES), help="a mode (default: every one the case has)")
    ap.add_argument("--no-control", action="store_true", help="no run without a crypt run")
    ap.add_argument("--list", action="store_true", help="list the cases")
    ap.add_argument("--tables", nargs="+", metavar="JSONL", help="print the runs of earlier reports as tables, one per case")
    ap.add_argument("--out", required=True, help="the report (markdown)")
    args = ap.parse_args()
    if args.tables:
        tables(args.tables)
        return
    if args.list:
        for c in faults.CASES.values():
            print(f"{c.name:24} {'#' + c.tracker if c.tracker else '':7} {', '.join(c.modes):20} {c.what}")
        return
    unknown = [c for c in args.case or [] if c not in faults.CASES]
    if unknown:
        sys.exit(f"engine-faults: no case {', '.join(unknown)} (--list names them)")
    # A run killed by SIGTERM still unmounts and stops what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    conf = config.Config.from_environment().but(module=args.module)
    tools = faults.Tools(shim=args.shim, keyed=args.keyed, key_holder=args.key_holder)
    names = args.engine or [r.name for r in catalogue.releases(arch=catalogue.host_arch())]
    present = []
    for name in names:
        try:
            present.append(conf.engine(catalogue.release(name).name))
        except (firebird.EngineMissing, KeyError) as e:
            print(f"engine-faults: {name} left out: {e}", flush=True)
    stop = time.monotonic() + args.minutes * 60
    report = open(args.out, "w")
    runs = open(os.path.splitext(args.out)[0] + ".jsonl", "w")  # each run, for tables
    report.write(f"# Engine faults: {args.runs} run(s) per case, release and mode\n\n"
                 "| case | tracker | release | mode | run | outcome |\n|---|---|---|---|---|---|\n")
    for case in [faults.CASES[c] for c in args.case or faults.CASES]:
        for engine in present:
            if not case.applies(engine):
                continue
            for mode in [m for m in case.modes if not args.mode or m in args.mode]:
                for crypt in (True,) if args.no_control else (True, False):
                    for i in range(args.runs):
                        if time.monotonic() > stop:
                            break
                        t = time.monotonic()
                        try:
                            run = case.run(engine, conf, mode, crypt, tools)
                            text = line(run)
                        except Exception as e:  # a run that could not be made is reported, not counted
                            run, text = None, f"not run: {failure(e)}"
                        what = "crypt run" if crypt else "control"
                        print(f"[{engine.describe()}, {faults.MODES[mode]}] {case.name} ({what}) run {i + 1} "
                              f"({time.monotonic() - t:.0f} s): {text}", flush=True)
                        report.write(f"| {case.name} ({what}) | {'#' + case.tracker if case.tracker else ''} | "
                                     f"{engine.describe()} | {faults.MODES[mode]} | {i + 1} | "
                                     f"{text.replace('|', '/')} |\n")
                        report.flush()  # a run cut short keeps what it found
                        runs.write(json.dumps({"case": case.name, "tracker": case.tracker, "release": engine.release,
                                               "mode": mode, "crypt": crypt, "run": i + 1, "text": text,
                                               **(dataclasses.asdict(run) if run else {})}) + "\n")
                        runs.flush()
    report.close()
    runs.close()
    print(f"report: {args.out}")


if __name__ == "__main__":
    main()
