"""A crypt run: ALTER DATABASE ENCRYPT or DECRYPT, and the wait for the
engine's background crypt thread to finish. The thread runs only while some
attachment keeps the database open, so the statement runs in an attachment
that is held until the header says the run is done."""

import signal
import time


class CryptStalled(AssertionError):
    pass


def statement(encrypt, plugin):
    return f'alter database encrypt with "{plugin}"' if encrypt else "alter database decrypt"


def wait(tools, db, encrypted, timeout=600, on_sample=None):
    """Polls the header until the crypt thread is done; returns the samples
    (seconds since start, crypt page). `on_sample(t, page, attributes)` is
    called for each."""
    start = time.monotonic()
    samples = []
    while True:
        attrs = tools.attributes(db)
        t = time.monotonic() - start
        samples.append((t, tools.crypt_page(db)))
        if on_sample:
            on_sample(t, samples[-1][1], attrs)
        if "crypt process" not in attrs and ("encrypted" in attrs) == encrypted:
            return samples
        if t > timeout:
            raise CryptStalled(f"crypt thread not done after {timeout} s: {attrs}")
        for p in tools.children:
            if p.poll() not in (None, 0) and p.returncode != -signal.SIGKILL:
                raise AssertionError(f"an attachment ended with {p.returncode}")
        time.sleep(0.05)


def run(tools, db, plugin, encrypt=True, timeout=600, on_sample=None):
    """ALTER DATABASE ENCRYPT/DECRYPT, held open until the crypt thread is done."""
    holder = tools.attach(db, f"{statement(encrypt, plugin)};\ncommit;\n")
    try:
        return wait(tools, db, encrypt, timeout, on_sample)
    finally:
        tools.close(holder)


def resume(tools, db, encrypt=True, timeout=600, on_sample=None):
    """Attaches, which starts the crypt thread again, and holds the
    attachment until the run is done; returns the samples."""
    holder = tools.attach(db)
    try:
        return wait(tools, db, encrypt, timeout, on_sample)
    finally:
        tools.close(holder)
