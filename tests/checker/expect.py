"""expect.py CHECKER [--exit N] [--fails A,B] [--warns C] [--skips D] [--ran E] [--absent F] [--text]
                    [--match REGEX]... [--first-line REGEX] [--env NAME=VALUE]... -- ARGS...

Runs fbcrypt-check with ARGS and checks what it said:
  --exit N         its exit status (default 0)
  --fails A,B      exactly these checks FAIL ("" for none), read from --json
  --warns C        exactly these WARN
  --skips D        exactly these SKIP
  --ran E          exactly these checks are in the report, whatever their result
  --absent F       none of these is in the report
  --match REGEX    a line of the report ("RESULT  check  message") or of its
                   standard error matches (repeatable)
  --first-line RE  the first line of its standard error matches
  --text           run it as given (no --json added): REGEX then matches its
                   standard output and error as printed
  --env NAME=VALUE set for the checker alone (repeatable)
Sets of checks, not the whole summary, are compared, so that a new check
does not change every expectation. EXPECT_RUNNER, when set, runs the checker
(Wine for a Windows build, qemu for another CPU)."""

import argparse
import json
import os
import re
import shlex
import subprocess
import sys


def names(text):
    return set(filter(None, (text or "").split(",")))


def main():
    argv = sys.argv[1:]
    split = argv.index("--")
    ap = argparse.ArgumentParser(usage=__doc__)
    ap.add_argument("checker")
    ap.add_argument("--exit", type=int, default=0)
    ap.add_argument("--fails")
    ap.add_argument("--warns")
    ap.add_argument("--skips")
    ap.add_argument("--ran")
    ap.add_argument("--absent")
    ap.add_argument("--match", action="append", default=[])
    ap.add_argument("--first-line")
    ap.add_argument("--text", action="store_true")
    ap.add_argument("--timeout", type=int, default=900)
    ap.add_argument("--env", action="append", default=[])
    args = ap.parse_args(argv[:split])
    run = shlex.split(os.environ.get("EXPECT_RUNNER", "")) + [args.checker] + argv[split + 1:]
    structured = not args.text and args.exit in (0, 1)
    if structured:
        run.append("--json")
    env = {**os.environ, **dict(e.split("=", 1) for e in args.env)}
    p = subprocess.run(run, capture_output=True, text=True, errors="replace", timeout=args.timeout, env=env)
    lines = p.stderr.splitlines()
    problems = []
    if p.returncode != args.exit:
        problems.append(f"exit {p.returncode}, expected {args.exit}")
    if structured:
        try:
            report = json.loads(p.stdout)
        except ValueError:
            report = {"plugins": []}
            problems.append("the output is not JSON")
        results = [c for plugin in report.get("plugins", []) for c in plugin["checks"]]
        lines += [f"{c['result']}  {c['check']}  {c['message']}" for c in results]
        for word, expected in (("FAIL", args.fails), ("WARN", args.warns), ("SKIP", args.skips)):
            got = {c["check"] for c in results if c["result"] == word}
            if expected is not None and got != names(expected):
                problems.append(f"{word}: {', '.join(sorted(got)) or 'none'}; expected {', '.join(sorted(names(expected))) or 'none'}")
        reported = {c["check"] for c in results}
        if args.ran is not None and reported != names(args.ran):
            problems.append(f"reported {', '.join(sorted(reported))}; expected {', '.join(sorted(names(args.ran)))}")
        if reported & names(args.absent):
            problems.append(f"reported {', '.join(sorted(reported & names(args.absent)))}, which should not run")
    else:
        lines = p.stdout.splitlines() + lines
    for pattern in args.match:
        if not any(re.search(pattern, line) for line in lines):
            problems.append(f"no line matches {pattern!r}")
    if args.first_line and not (p.stderr.splitlines() and re.search(args.first_line, p.stderr.splitlines()[0])):
        problems.append(f"the first line of standard error does not match {args.first_line!r}")
    print(" ".join(shlex.quote(a) for a in run))
    print("\n".join(lines))
    for problem in problems:
        print(f"EXPECTED: {problem}")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
