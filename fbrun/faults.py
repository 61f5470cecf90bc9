"""Faults around a crypt run, made on purpose and measured: what the machine
does to the engine (a full disk, I/O errors, writes lost with the power),
what load does (attachments made before the ALTER, a restore), and the
crypt-path faults of Firebird's tracker. scripts/engine-faults runs any case
on any release and writes the matrix; tests/engine/test_machine_faults.py
runs two of them in CI. Each case returns a Run: what happened, the
acknowledged rows lost (counted three ways: a natural scan, the primary
key, a secondary index, so that a row gone from an index alone is told
apart from one gone from the table), what gfix -v -full said, and whether
the crypt run completed after the fault was gone. Every case has a control:
the same fault without encryption, so that a row tells whether velkor64 (and
the crypt path) is involved at all.

Cases clean up after themselves however they end: mounts, the shim's
files, processes (sites are context managers)."""

import contextlib
import dataclasses
import os
import re
import shutil
import signal
import subprocess
import time

from . import load, pages, sample, servers, sites
from .iofault import Shim, slow_disk

TABLE = ("create table load_rows (client integer not null, seq integer not null, val bigint,"
         " constraint load_pk primary key (client, seq));\ncreate index load_val on load_rows (val);\ncommit;\n")
WAYS = {"natural": "plan (load_rows natural)", "primary key": "plan (load_rows index (load_pk))",
        "index": "plan (load_rows index (load_val))"}
STALL = 60  # seconds without progress of the crypt thread and of every writer
MOUNT_MARK = "velkor-faults-disk"  # the device name of every file system a case mounts (tests/leftovers.sh: velkor-*)


@dataclasses.dataclass
class Run:
    """One run of a case, for the matrix."""
    outcome: str = ""  # what the engine did, in a few words
    completed: bool = None  # the crypt run completed once the fault was gone (None: no crypt run)
    stalled: bool = False
    overlap: bool = False  # writers wrote while the crypt thread ran
    writer_errors: list = dataclasses.field(default_factory=list)
    lost: dict = dataclasses.field(default_factory=lambda: dict.fromkeys(WAYS, 0))
    acknowledged: int = 0  # rows whose commit a writer saw succeed
    validation: str = None  # what gfix -v -full said, "" when clean, None when it was not run
    internal: bool = False  # an internal consistency check was logged
    engine_said: str = ""  # the engine's own messages: the client's errors, its log
    other: str = ""

    def add(self, text):
        self.other = (self.other + "; " if self.other else "") + text


def count_rows(tools, db):
    """{way: {client: rows}}, each counted in a query of its own."""
    got = {}
    for way, plan in WAYS.items():
        cond = "val >= 0" if way == "index" else "client >= 0"
        rows = tools.isql(f"set list on;\nselect client, count(*) as n from load_rows where {cond} group by client "
                          f"{plan};\n", db, check=False).stdout
        got[way] = {int(c): int(n) for c, n in re.findall(r"CLIENT\s+(-?\d+)\s+N\s+(\d+)", rows)}
    return got


def check_rows(site, db, run, acked):
    """Counts the acknowledged rows ({client: batches}) three ways, and validates."""
    run.acknowledged = sum(acked.values()) * load.ROWS
    for way, per_client in count_rows(site, db).items():
        run.lost[way] = sum(max(0, n * load.ROWS - per_client.get(k, 0)) for k, n in acked.items())
    validate(site, db, run)


def validate(site, db, run):
    code, out = site.validate(db)
    run.validation = " ".join(out.split())[:240] or f"exit {code}" if code or out else ""
    run.internal = "consistency check" in site.log_tail(400)


def writer_errors(writers, run):
    for k, err in writers.errors.items():
        code = writers.processes[k].returncode
        if err.strip() or code not in (0, None, -signal.SIGKILL):
            run.writer_errors.append(f"{k} (exit {code}): {' '.join(err.split())[:200]}")


MODES = {"classic": "embedded Classic", "super": "SuperServer", "superclassic": "SuperClassic"}


def make_site(engine, config, mode, name):
    """A site for a case: embedded Classic, or a server on loopback (SuperServer, SuperClassic)."""
    if mode == "classic":
        return sites.Site(engine, name, config)
    return servers.ServerSite(engine, name, config, mode={"super": "Super", "superclassic": "SuperClassic"}[mode])


def engine_processes(site, writers=None):
    """The processes that hold the engine: a server, or (Classic) every attachment's own."""
    out = [p for p in site.children if p.poll() is None]
    if writers:
        out += [p for p in writers.processes.values() if p.poll() is None]
    if isinstance(site, servers.ServerSite) and site.process and site.process.poll() is None:
        out.append(site.process)
    return out


def kill_all(processes):
    for p in processes:
        if p.poll() is None:
            p.kill()
    for p in processes:
        p.wait()


# ---- The machine: a small disk, and a shim around the engine's I/O --------

@contextlib.contextmanager
def small_disk(site, megabytes):
    """site.dbdir on a tmpfs of its own, `megabytes` large, unmounted however the case ends."""
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={megabytes}m,mode=0777", f"{MOUNT_MARK}", site.dbdir],
                   check=True)
    try:
        yield site.dbdir
    finally:
        subprocess.run(["umount", "-l", site.dbdir], capture_output=True)


def leftover_mounts():
    """File systems an earlier run left mounted (one killed before it could unmount them)."""
    with open("/proc/mounts") as f:
        return [line.split()[1] for line in f if line.split()[0] == MOUNT_MARK]


def fill(folder, leave_bytes):
    """A file that leaves `leave_bytes` free on the file system of `folder`; returns it."""
    st = os.statvfs(folder)
    size = max(0, st.f_bavail * st.f_frsize - leave_bytes)
    filler = os.path.join(folder, "filler")
    with open(filler, "wb") as f:
        chunk = b"\0" * (1 << 20)
        while size > 0:
            n = f.write(chunk[:min(size, len(chunk))])
            size -= n
    return filler


# ---- Helpers of the runs ----------------------------------------------------

def statement(encrypt):
    return 'alter database encrypt with "velkor"' if encrypt else "alter database decrypt"


def populate(site, db, rows, forced_writes=True):
    sample.populate(site, db, sample.shape(rows))
    site.isql(TABLE, db)
    if not forced_writes:
        site.run("gfix", "-write", "async", "-user", "SYSDBA", site.local(db))


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return False


def crypt_state(site, db):
    """The header's attributes, or a reason it could not be read."""
    try:
        return site.attributes(db)
    except Exception as e:  # noqa: BLE001 - an unreadable header is an outcome
        return [f"header unreadable: {' '.join(str(e).split())[:120]}"]


def finish_crypt(site, db, encrypt, run, timeout=300):
    """Attaches, which starts the crypt thread again, and waits for the run to complete."""
    try:
        site.crypt_resume(db, encrypt, timeout=timeout)
        run.completed = True
    except Exception as e:  # noqa: BLE001 - a run that does not complete is an outcome
        run.completed = False
        run.add(f"the crypt run did not complete after the fault: {' '.join(str(e).split())[:160]}")


def detach(site, holder, run, timeout=120):
    """Ends an attachment; one that does not end within `timeout` s is
    killed, and the run says so. Whether it ended."""
    try:
        site.close(holder, timeout)
        return True
    except subprocess.TimeoutExpired:
        holder.kill()
        holder.wait()
        run.add(f"an attachment did not detach within {timeout} s and was killed")
        return False


def said(site, holder_log=None):
    """The engine's words since the last mark: its log, and an attachment's output."""
    out = site.log_tail(30)
    if holder_log and os.path.exists(holder_log):
        with open(holder_log, errors="replace") as f:
            out = f.read().strip() + "\n" + out
    lines = [line.strip() for line in out.splitlines() if re.search(r"error|fail|I/O|space|corrupt|crypt", line, re.I)]
    return " / ".join(dict.fromkeys(lines))[:400]


# ---- The machine's faults -----------------------------------------------------
# Each takes (engine, config, mode, crypt) with crypt True (the fault in a crypt
# run; ENCRYPT unless the case names DECRYPT) or False (the control: the same
# fault and load, no crypt run), and returns a Run.

def disk_full(engine, config, mode, crypt, library=None, rows=60000):
    """The database on a 64 MB file system, filled to leave 256 KiB before
    the ALTER, on a slow disk (1 ms a write) so that the run lasts; writers
    (attached after it) add rows; then space is freed, and the run must
    complete with every acknowledged row there."""
    run = Run()
    with make_site(engine, config, mode, "disk-full") as site, small_disk(site, 64):
        db = site.db()
        populate(site, db, rows)
        slow_disk(site, library, db, microseconds=1000)
        filler = fill(site.dbdir, 256 * 1024)
        site.mark_logs()
        holder = None
        if crypt:  # the writers attach once the ALTER has committed
            holder, failed = alter(site, db, statement(True))
            if failed:
                run.add(f"the ALTER failed: {failed}")
        writers = load.Writers(site, db, range(4), batches=2000)
        # The disk stays full until every writer has stopped, or for 20 s.
        wait_for(lambda: not writers.running(), 20)
        full = crypt_state(site, db)
        writers.kill()
        writer_errors(writers, run)
        run.engine_said = said(site)
        os.remove(filler)
        if holder:
            site.close(holder)
            run.outcome = f"while full: {', '.join(full)}; writers stopped: {len(run.writer_errors)} of 4"
            finish_crypt(site, db, True, run)
        else:
            run.outcome = f"writers stopped: {len(run.writer_errors)} of 4"
        check_rows(site, db, run, dict(writers.committed))
    return run


def data_page(file, nth=0.5):
    """A data page's number, `nth` of the way through the file's data pages."""
    numbers = [n for n, kind, _, _ in pages.pages(file) if kind == 5]
    return numbers[int(len(numbers) * nth)]


def io_error(engine, config, mode, crypt, write, decrypt=False, library=None, rows=60000):
    """EIO from the storage while the crypt thread runs: every write after
    the 50th (`write`), or every read of one data page, for 20 s; then the
    storage heals, the engine is restarted, and the run must complete."""
    run = Run()
    with make_site(engine, config, mode, "io-error") as site:
        db = site.db()
        shape = sample.shape(rows)
        sample.populate(site, db, shape)
        if decrypt:
            site.crypt(db, True)
        file = site.file(db)
        shim = Shim(site, library, file)
        if write:
            shim.set(write_eio=50)
        else:
            shim.set(read_eio=data_page(file), page_size=pages.header(file)["page_size"])
        if isinstance(site, servers.ServerSite):
            site.stop()
            site.start()  # with the shim
        site.mark_logs()
        # The fault comes with the run (or, as a control, with a scan and an update of every row).
        if crypt:
            holder = site.attach(db, f"{statement(not decrypt)};\ncommit;\n")
            wait_for(lambda: "crypt process" in crypt_state(site, db), 30)
        else:
            holder = site.attach(db, "update orders set amount = amount;\ncommit;\n"
                                     "select count(*) from customers plan (customers natural);\n"
                                     "select count(*) from orders plan (orders natural);\n")
        shim.arm()
        wait_for(lambda: holder.poll() is not None or (crypt and "crypt process" not in crypt_state(site, db)), 20)
        during = crypt_state(site, db)
        shim.disarm()
        injected = shim.injected()
        run.engine_said = said(site, holder.log)
        # The file as the fault left it: how many data pages carry the encrypted flag.
        data = [h for _, kind, h, _ in pages.pages(file) if kind == 5]
        flagged = sum(1 for h in data if h[1] & pages.PAGE_ENCRYPTED)
        kill_all(engine_processes(site))
        shim.remove()
        if isinstance(site, servers.ServerSite):
            site.start()
        run.outcome = (f"{sum(injected.values())} {'write' if write else 'read'}(s) failed; "
                       f"{', '.join(during)}; after: {flagged} of {len(data)} data pages flagged encrypted")
        if crypt:
            finish_crypt(site, db, not decrypt, run)
        problems = sample.check(site, db, shape)
        if problems:
            run.add("data: " + "; ".join(problems))
        validate(site, db, run)
    return run


def lost_writes(engine, config, mode, crypt, forced_writes, library=None, rows=60000):
    """The power goes while writers (attached after the ALTER) work and the
    crypt thread runs, on a slow disk (2 ms a write), just after the thread
    has saved its position once, or 5 s into the run: every write not yet
    durable is lost (with
    forced writes, each write is durable when it returns; without them, only
    what an fsync covered: the worst a power loss can do). The engine starts
    again on what the disk kept: the run must resume from its saved
    position, with every acknowledged row there."""
    run = Run()
    with make_site(engine, config, mode, "lost-writes") as site:
        db = site.db()
        populate(site, db, rows, forced_writes)
        file = site.file(db)
        shim = Shim(site, library, file)
        shim.set(write_delay=2000)
        if isinstance(site, servers.ServerSite):
            site.stop()
        shim.shadow_from(file)  # all of it durable: nothing has the file open
        if isinstance(site, servers.ServerSite):
            site.start()
        shim.arm()
        if crypt:  # the writers attach once the ALTER has committed
            _, failed = alter(site, db, statement(True))
            if failed:
                run.add(f"the ALTER failed: {failed}")
        writers = load.Writers(site, db, range(4), batches=2000)
        wait_for(writers.all_committed_once, 60)
        # The power goes once the run has saved a position on disk, or 5 s into it
        # (without forced writes the header may stay in the engine's cache).
        wait_for(lambda: crypt and pages.header(file)["crypt_page"] >= 1024, 5)
        at = pages.header(file)["crypt_page"]
        acked = dict(writers.committed)
        kill_all(engine_processes(site, writers))
        writers.kill()
        shutil.copyfile(shim.shadow, file)
        shim.remove()
        kept = pages.header(file)
        if isinstance(site, servers.ServerSite):
            site.start()
        attrs = crypt_state(site, db)
        run.outcome = f"forced writes {'on' if forced_writes else 'off'}"
        if crypt:
            run.outcome += f"; the power went at page {at}; the disk kept {', '.join(attrs) or 'a plain header'}, position {kept['crypt_page']}"
            if "crypt process" in attrs or "encrypted" in attrs:
                finish_crypt(site, db, True, run)
            else:
                run.add("the ALTER itself was not durable: the database is as it was before it")
        check_rows(site, db, run, acked)
    return run


# ---- Load: attachments made before the ALTER, and a restore ------------------

def crypt_with_writers(site, db, clients, encrypt, run):
    """Writers attached and writing, then the ALTER; waits for the crypt
    thread, calling a stall when neither it nor any writer moves for STALL s."""
    writers = load.Writers(site, db, clients, batches=400)
    wait_for(lambda: writers.all_committed_once() or not writers.running(), 120)
    holder = site.attach(db, f"{statement(encrypt)};\ncommit;\n")
    try:
        watch_crypt(site, db, encrypt, writers, run)
    finally:
        writers.kill()
        if run.stalled:
            holder.kill()
        else:
            site.close(holder)
    return writers


def alter(site, db, sql):
    """`sql` run by an attachment kept open for the crypt thread (Classic runs
    it in the ALTER's process); (the attachment, what isql said if it failed)."""
    holder = site.attach(db, f"{sql};\ncommit;\nselect 'altered' from rdb$database;\n")
    log = holder.log
    for _ in range(300):
        with open(log, errors="replace") as f:
            text = f.read()
        if "altered" in text.replace("'altered'", ""):
            return holder, ""
        if "Statement failed" in text or holder.poll() is not None:
            return holder, " ".join(text.split())[:300]
        time.sleep(0.1)
    return holder, "no answer in 30 s"


def watch_crypt(site, db, encrypt, writers, run):
    """Until the crypt run is done and the writers have finished, or neither
    the crypt thread nor any writer has moved for STALL s (run.stalled)."""
    last, moved = None, time.monotonic()
    while True:
        attrs = crypt_state(site, db)
        state = (site.crypt_page(db), sum(writers.committed.values()))
        if state != last:
            if last and "crypt process" in attrs and state[1] > last[1]:
                run.overlap = True
            last, moved = state, time.monotonic()
        if "crypt process" not in attrs and ("encrypted" in attrs) == encrypt and not writers.running():
            return
        if time.monotonic() - moved > STALL:
            run.stalled = True
            return
        time.sleep(0.2)


def attached_before(engine, config, mode, crypt, encrypt=True, clients=4, rows=60000):
    """Writers attached before the ALTER (ENCRYPT, or DECRYPT of an encrypted database)."""
    run = Run()
    with make_site(engine, config, mode, "attached-before") as site:
        db = site.db()
        populate(site, db, rows)
        if not encrypt:
            site.crypt(db, True)
        if crypt:
            writers = crypt_with_writers(site, db, range(clients), encrypt, run)
        else:
            writers = load.Writers(site, db, range(clients), batches=400)
            wait_for(lambda: not writers.running(), 300)
            writers.kill()
        writer_errors(writers, run)
        run.outcome = "stalled" if run.stalled else ("writes during the run" if run.overlap else "no writes during the run")
        if not run.stalled:
            check_rows(site, db, run, dict(writers.committed))
    return run


def restore_under_load(engine, config, mode, crypt, rows=60000):
    """A gbak -crypt backup restored with -crypt while 4 remote writers work on the source."""
    run = Run()
    with make_site(engine, config, mode, "restore") as site:
        db = site.db()
        shape = sample.shape(rows)
        populate(site, db, rows)
        crypt_args = ["-crypt", "velkor"] if crypt else []
        if crypt:
            site.crypt(db, encrypt=True)
        fbk = site.path("faults.fbk")
        site.run("gbak", "-b", *crypt_args, db, fbk)
        writers = load.Writers(site, db, range(4), batches=400)
        restored = site.db("restored")
        p = site.run("gbak", "-c", *crypt_args, fbk, restored, check=False, timeout=600)
        writers.kill()
        writer_errors(writers, run)
        run.outcome = f"gbak -c exit {p.returncode}"
        if p.returncode:
            run.engine_said = " ".join((p.stderr + p.stdout).split())[-200:]
        attrs = crypt_state(site, restored) if os.path.exists(site.file(restored)) else ["no file"]
        if any("maintenance" in a or "shutdown" in a for a in attrs):
            run.add(f"restored database left {', '.join(attrs)}")
        if not p.returncode:
            problems = sample.check(site, restored, shape)
            if problems:
                run.add("restored data: " + "; ".join(problems))
        check_rows(site, db, run, dict(writers.committed))
    return run


# ---- The tracker's crypt-path faults ----------------------------------------
# Each says what happened; `crypt` False runs the same steps with no crypt run.

def timed_isql(site, sql, db=None, timeout=60):
    """(exit status or 'hung', seconds, output) of an isql script, bounded."""
    t = time.monotonic()
    try:
        p = site.isql(sql, db, check=False, timeout=timeout)
        return p.returncode, time.monotonic() - t, " ".join((p.stderr + p.stdout).split())[:200]
    except subprocess.TimeoutExpired:
        return "hung", time.monotonic() - t, f"no answer in {timeout} s"


def drop_during_crypt(engine, config, mode, crypt, library=None, decrypt=False, rows=100000):
    """#7200: DROP DATABASE issued, by the attachment that ran the ALTER, while the crypt run goes on."""
    run = Run()
    with make_site(engine, config, mode, "drop") as site:
        db = site.db()
        populate(site, db, rows)
        if decrypt:
            site.crypt(db, True)
        slow_disk(site, library, db)
        alter = f"{statement(not decrypt)};\ncommit;\n" if crypt else ""
        code, took, out = timed_isql(site, f"{alter}drop database;\n", db, timeout=90)
        gone = not os.path.exists(site.file(db))
        run.outcome = f"DROP: {'hung (killed at 90 s)' if code == 'hung' else f'exit {code}'} in {took:.1f} s; file {'gone' if gone else 'still there'}"
        run.engine_said = out
    return run


def attach_while_starting(engine, config, mode, crypt, library=None, rows=100000):
    """#7556: attachments made while a crypt run starts (Classic): none may hang."""
    run = Run()
    with make_site(engine, config, mode, "attach") as site:
        db = site.db()
        populate(site, db, rows)
        slow_disk(site, library, db)
        holder = site.attach(db, f"{statement(True)};\ncommit;\n") if crypt else site.attach(db)
        times, hung = [], 0
        for _ in range(8):
            code, took, out = timed_isql(site, "select count(*) from rdb$database;\n", db, timeout=30)
            times.append(took)
            hung += code == "hung"
            if code not in (0, "hung"):
                run.engine_said = out
        site.close(holder)
        run.outcome = f"8 attachments: longest {max(times):.1f} s, {hung} hung"
        if crypt:
            finish_crypt(site, db, True, run)
    return run


def sweep_encrypted(engine, config, mode, crypt, rows=60000):
    """#7917: a sweep of an encrypted database with garbage to collect, then attachments that detach."""
    run = Run()
    with make_site(engine, config, mode, "sweep") as site:
        db = site.db()
        shape = sample.shape(rows)
        sample.populate(site, db, shape)
        if crypt:
            site.crypt(db, True)
        site.isql("update customers set city = city;\ncommit;\nupdate orders set note = note;\ncommit;\n", db)
        t = time.monotonic()
        try:
            p = site.run("gfix", "-sweep", "-user", "SYSDBA", db, check=False, timeout=120)
            sweep = f"exit {p.returncode}"
            if p.returncode:
                run.engine_said = " ".join((p.stderr + p.stdout).split())[:200]
        except subprocess.TimeoutExpired:
            sweep = "hung (killed at 120 s)"
        took = time.monotonic() - t
        code, detach, out = timed_isql(site, "select count(*) from customers;\n", db, timeout=60)
        run.outcome = f"sweep {sweep} in {took:.1f} s; an attachment then: {code if code == 'hung' else 'exit ' + str(code)} in {detach:.1f} s"
        problems = sample.check(site, db, shape)
        if problems:
            run.add("data: " + "; ".join(problems))
    return run


def lone_attachment(engine, config, mode, crypt, library=None, rows=100000):
    """#8460: under Classic, does the crypt thread make progress with only the
    ALTER's attachment open? Writes take 10 ms, so the run lasts a minute or
    more; the saved position is read off the header page (written on each
    step the thread saves)."""
    run = Run()
    with make_site(engine, config, mode, "lone") as site:
        db = site.db()
        populate(site, db, rows)
        slow_disk(site, library, db, microseconds=10000)
        file = site.file(db)
        holder = site.attach(db, f"{statement(True)};\ncommit;\n" if crypt else "")
        time.sleep(2)
        moved = []
        for company in (None, site.attach(db, "select count(*) from rdb$database;\n")):
            start = pages.header(file)["crypt_page"]
            time.sleep(10)
            moved.append(pages.header(file)["crypt_page"] - start)
            if company:
                site.close(company)
        state = crypt_state(site, db)
        site.close(holder)
        run.outcome = (f"saved position moved {moved[0]} pages in 10 s with the ALTER's attachment alone, "
                       f"{moved[1]} with another one" + ("; the run done" if crypt and "crypt process" not in state else ""))
        if crypt:
            finish_crypt(site, db, True, run)
    return run


def own_security_database(engine, config, mode, crypt):
    """#8227: a server's security database, encrypted through that server; then a restart and a login."""
    run = Run()
    with servers.ServerSite(engine, "security", config, mode="Super") as site:
        security = f"{site.address}:{site.security}"
        if crypt:
            holder = site.attach(security, f"{statement(True)};\ncommit;\n")
            try:
                site.wait_crypt(security, True, timeout=60)
                state = "encrypted"
            except Exception as e:  # noqa: BLE001 - what the engine did is the outcome
                state = f"not done: {' '.join(str(e).split())[:120]}"
            site.close(holder)
        else:
            state = "plain"
        site.stop()
        site.start()
        code, took, out = timed_isql(site, "select current_user from rdb$database;\n", security, timeout=30)
        run.outcome = f"security database {state}; after a restart a login {'hung' if code == 'hung' else 'exit ' + str(code)}"
        if code != 0:
            run.engine_said = out
    return run


def key_change(engine, config, mode, crypt, keyed=None, key_holder=None, rows=30000):
    """#7415: the key changed (DECRYPT, then ENCRYPT with another key) while
    Classic attachments made under the first key stay open and keep writing.
    The plug-in is tests/checker's keyed one, the keys the test key holder's:
    one holder with both keys, KEY_A and KEY_B (the engine validates the key
    with every holder that volunteers when DECRYPT starts, so two holders
    holding one key each make DECRYPT fail with "Invalid crypt key")."""
    run = Run()
    conf = config.but(module=keyed, plugin="faulty")
    with make_site(engine, conf, mode, "key-change") as site:
        site.add_plugin(key_holder, "holder", ["RegisterName = fbcrypt-test-holder", "Config = keys"],
                        "Config = keys {\n\tKeyName = KEY_A\n\tKey = 11\n\tKeyName = KEY_B\n\tKey = 22\n}\n")
        site.set_conf(KeyHolderPlugin="holder")
        db = site.db()
        populate(site, db, rows)
        first, said_ = alter(site, db, 'alter database encrypt with "faulty" key KEY_A')
        if said_:
            raise RuntimeError(f"ENCRYPT with KEY_A: {said_}")
        site.wait_crypt(db, True, timeout=120)
        detach(site, first, run)
        writers = load.Writers(site, db, range(3), batches=400)
        wait_for(lambda: writers.all_committed_once() or not writers.running(), 60)
        steps = []
        if crypt:
            for sql, encrypt, name in (("alter database decrypt", False, "DECRYPT"),
                                       ('alter database encrypt with "faulty" key KEY_B', True, "ENCRYPT with KEY_B")):
                holder, said_ = alter(site, db, sql)
                if said_:
                    steps.append(f"{name} refused")
                    run.engine_said = said_
                else:
                    watch_crypt(site, db, encrypt, writers, run)
                    steps.append(f"{name} {'stalled' if run.stalled else 'done'}")
                if run.stalled:
                    holder.kill()
                elif not detach(site, holder, run):
                    steps[-1] += ", then its attachment did not detach"
                    break
                if said_ or run.stalled:
                    break
        else:
            wait_for(lambda: not writers.running(), 300)
        writers.kill()
        writer_errors(writers, run)
        code, took, out = timed_isql(site, "select count(*) from load_rows;\n", db)
        run.outcome = ((", ".join(steps) + "; " if steps else "")
                       + f"{len(writers.processes)} Classic writers attached under KEY_A; a fresh attachment: exit {code}")
        if code != 0:
            run.engine_said = (run.engine_said + " / " if run.engine_said else "") + out
        if not run.stalled:
            check_rows(site, db, run, dict(writers.committed))
    return run


# ---- The cases, by name --------------------------------------------------------

@dataclasses.dataclass
class Tools:
    """Files a case needs besides the module: the shim, and for the key change a keyed module and its key holder."""
    shim: str = None
    keyed: str = None
    key_holder: str = None


@dataclasses.dataclass
class Case:
    name: str
    what: str
    run: object  # (engine, config, mode, crypt, tools) -> Run
    modes: tuple = ("classic", "super")
    tracker: str = ""  # Firebird's tracker number
    since: str = ""  # the first release series it applies to

    def applies(self, engine):
        return not self.since or engine.major >= int(self.since.split(".")[0])


CASES = {c.name: c for c in [
    Case("disk-full", "the database's file system full during ENCRYPT, writers attached after the ALTER; then freed",
         lambda e, c, m, x, t: disk_full(e, c, m, x, t.shim)),
    Case("write-eio-encrypt", "every write fails (EIO) after the 50th, for 20 s, during ENCRYPT; then a restart",
         lambda e, c, m, x, t: io_error(e, c, m, x, write=True, library=t.shim)),
    Case("write-eio-decrypt", "the same during DECRYPT",
         lambda e, c, m, x, t: io_error(e, c, m, x, write=True, decrypt=True, library=t.shim)),
    Case("read-eio-encrypt", "every read of one data page fails (EIO), for 20 s, during ENCRYPT; then a restart",
         lambda e, c, m, x, t: io_error(e, c, m, x, write=False, library=t.shim)),
    Case("read-eio-decrypt", "the same during DECRYPT",
         lambda e, c, m, x, t: io_error(e, c, m, x, write=False, decrypt=True, library=t.shim)),
    Case("lost-writes-fw-on", "the power lost during ENCRYPT with writers, forced writes on; the engine restarted",
         lambda e, c, m, x, t: lost_writes(e, c, m, x, forced_writes=True, library=t.shim)),
    Case("lost-writes-fw-off", "the same, forced writes off (every write since the last fsync lost)",
         lambda e, c, m, x, t: lost_writes(e, c, m, x, forced_writes=False, library=t.shim)),
    Case("classic-encrypt", "4 writers attached before ENCRYPT",
         lambda e, c, m, x, t: attached_before(e, c, m, x, encrypt=True), modes=("classic",)),
    Case("superclassic-decrypt", "8 remote writers attached before DECRYPT",
         lambda e, c, m, x, t: attached_before(e, c, m, x, encrypt=False, clients=8), modes=("superclassic",)),
    Case("restore-under-load", "a gbak -crypt backup restored with -crypt while 4 writers work on the source",
         lambda e, c, m, x, t: restore_under_load(e, c, m, x), modes=("super",), since="4.0"),
    Case("drop-during-encrypt", "DROP DATABASE by the ALTER's attachment while ENCRYPT runs",
         lambda e, c, m, x, t: drop_during_crypt(e, c, m, x, t.shim), tracker="7200"),
    Case("drop-during-decrypt", "the same while DECRYPT runs",
         lambda e, c, m, x, t: drop_during_crypt(e, c, m, x, t.shim, decrypt=True), tracker="7200"),
    Case("attach-while-starting", "attachments made while an ENCRYPT starts (Classic)",
         lambda e, c, m, x, t: attach_while_starting(e, c, m, x, t.shim), modes=("classic",), tracker="7556"),
    Case("sweep-encrypted", "a sweep of an encrypted database with garbage to collect, then an attachment",
         lambda e, c, m, x, t: sweep_encrypted(e, c, m, x), tracker="7917"),
    Case("lone-attachment", "the crypt thread's progress with the ALTER's attachment alone (Classic), then with another",
         lambda e, c, m, x, t: lone_attachment(e, c, m, x, t.shim), modes=("classic",), tracker="8460"),
    Case("own-security-database", "a server's security database encrypted through it; a restart and a login",
         lambda e, c, m, x, t: own_security_database(e, c, m, x), modes=("super",), tracker="8227"),
    Case("key-change", "DECRYPT then ENCRYPT with another key while Classic attachments keep writing",
         lambda e, c, m, x, t: key_change(e, c, m, x, t.keyed, t.key_holder), modes=("classic",), tracker="7415"),
]}
