"""The demo's steps, in a real Firebird engine run the way tests/engine runs
it: embedded from a private root, or (--server) a SuperServer on 127.0.0.1
with a remote client. scripts/demo checks the options and builds the
module first; run that."""

import argparse
import os
import sys
import time

from fbrun import config, firebird, sample, servers, sites


def bar(done, total, width=40):
    filled = int(width * min(done, total) / total) if total else width
    return f"[{'#' * filled}{'.' * (width - filled)}] {done:>7}/{total} pages"


def crypt_with_progress(site, db, encrypt, total):
    last, started = [None], [False]
    back = "\r" if sys.stdout.isatty() else ""  # a log gets the final line only

    def show(t, page, attrs):
        running = "crypt process" in attrs
        started[0] = started[0] or running
        shown = page if running else (total if started[0] else 0)
        if shown != last[0] and back:
            last[0] = shown
            print(f"\r  {bar(shown, total)}  {t:5.1f} s", end="", flush=True)

    t = time.monotonic()
    site.crypt(db, encrypt, on_sample=show)
    print(f"{back}  {bar(total, total)}  {time.monotonic() - t:5.2f} s")
    return time.monotonic() - t


def checked(site, db, shape):
    t = time.monotonic()
    problems = sample.check(site, db, shape)
    if problems:
        raise SystemExit("  data check FAILED: " + "; ".join(problems))
    print(f"  all {shape.rows} rows and both indexes as written ({time.monotonic() - t:.2f} s)")
    return time.monotonic() - t


def main():
    ap = argparse.ArgumentParser(prog="demo.py", description=__doc__)
    ap.add_argument("--module", required=True)
    ap.add_argument("--engine", required=True)
    ap.add_argument("--rows", type=int, required=True)
    ap.add_argument("--server", action="store_true")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--engine-root", help="a Firebird installed in its own layout (for SERIES-installed)")
    args = ap.parse_args()

    conf = config.Config(module=args.module, keep=args.keep, installed_root=args.engine_root)
    try:
        engine = conf.engine(args.engine)
    except firebird.EngineMissing as e:
        raise SystemExit(f"demo: {e}")
    if args.server:
        site = servers.ServerSite(engine, "demo", conf)
        how = f"SuperServer on {site.address}, remote client"
    else:
        site = sites.Site(engine, "demo", conf)
        how = "embedded"
    with site:
        db = site.db("demo")
        shape = sample.shape(args.rows)
        print(f"velkor64 demo on {engine.describe()} ({how}, private root {site.root})")
        print(f"1. sample database: {shape.customers} customers, {shape.orders} orders, "
              f"{shape.documents} documents (text blobs), indexes on names and customers")
        t = time.monotonic()
        sample.populate(site, db, shape)
        times = {"populate": time.monotonic() - t}
        pages = site.page_count(db)
        print(f"  {pages} pages of 8 KiB, {os.path.getsize(site.file(db)) / 2**20:.1f} MiB "
              f"in {times['populate']:.2f} s")

        print('2. ALTER DATABASE ENCRYPT WITH "velkor"')
        times["encrypt"] = crypt_with_progress(site, db, True, pages)
        header = site.header(db)
        print(f"  gstat -h: Attributes {header.get('Attributes')}; Key hash {header.get('Key hash')}")
        times["check"] = checked(site, db, shape)

        print("3. ALTER DATABASE DECRYPT")
        times["decrypt"] = crypt_with_progress(site, db, False, pages)
        print(f"  gstat -h: Attributes {site.header(db).get('Attributes')}")
        times["check again"] = checked(site, db, shape)

        print("summary: " + ", ".join(f"{k} {v:.2f} s" for k, v in times.items()) +
              f"; {pages / times['encrypt']:.0f} pages/s encrypting")
        if args.keep:
            print(f"kept: {site.file(db)} (root {site.root})")
        print("velkor gives no confidentiality: the encrypted pages are the plain pages.")


if __name__ == "__main__":
    main()
