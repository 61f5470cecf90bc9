"""A Firebird server on loopback, for the tests that run the engine the way
production does: one server process from a private root, with clients
attaching over TCP.

A ServerSite is a Site (sites.py) whose root also holds a
security database with a SYSDBA password, and whose firebird.conf says
ServerMode (Super or SuperClassic), RemoteBindAddress = 127.0.0.1 and a free
port. It starts the server itself and stops it by PID (SIGTERM, then SIGKILL
after a bounded wait). Clients name databases as 127.0.0.1/PORT:PATH; the
password reaches every tool through ISC_USER and ISC_PASSWORD.
"""

import os
import signal
import socket
import subprocess
import time

from . import firebird, sites

PASSWORD = "velkor-test"
START_TIMEOUT = 30  # seconds for a server to listen
STOP_TIMEOUT = 10  # seconds between SIGTERM and SIGKILL (3.0 now and then ignores SIGTERM)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


class ServerSite(sites.Site):
    def __init__(self, engine, name, config, mode="Super", start=True):
        if not engine.server:
            raise firebird.EngineMissing(f"no server binary for Firebird {engine.name}: run scripts/engines")
        self.mode = mode
        self.port = free_port()
        super().__init__(engine, name, config, conf={})
        self.security = self.view(os.path.join(self.root, "security.fdb"))
        self.set_conf(ServerMode=mode, RemoteServicePort=self.port, RemoteBindAddress="127.0.0.1",
                      SecurityDatabase=self.security)
        # The security database is made embedded, before the server owns it.
        self.isql(f"create database '{self.security}';\n"
                  f"create user SYSDBA password '{PASSWORD}' using plugin Srp;\ncommit;\n")
        self.env.update(ISC_USER="SYSDBA", ISC_PASSWORD=PASSWORD)
        self.process = None
        if start:
            self.start()

    @property
    def address(self):
        return f"127.0.0.1/{self.port}"

    def db(self, name="test"):
        return f"{self.address}:{self.path(name)}"

    def service(self):
        return f"{self.address}:service_mgr"

    # The server process.
    def start(self):
        assert self.process is None or self.process.poll() is not None, "the server is running"
        self.mark_logs()
        out = open(os.path.join(self.dir, "server.out"), "a")
        self.process = subprocess.Popen(self.command(self.engine.server), stdin=subprocess.DEVNULL, stdout=out,
                                        stderr=subprocess.STDOUT)
        out.close()
        deadline = time.monotonic() + START_TIMEOUT
        while not self.listening():
            if self.process.poll() is not None:
                raise AssertionError(f"the server exited with {self.process.returncode}\n{self.log_tail()}")
            if time.monotonic() > deadline:
                self.kill()
                raise AssertionError(f"the server did not listen on {self.address} in {START_TIMEOUT} s")
            time.sleep(0.05)

    def listening(self):
        return listening(self.port)

    def stop(self):
        """SIGTERM, then SIGKILL after a bounded wait. Returns how it ended."""
        if not self.process or self.process.poll() is not None:
            return None
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            return self.kill()

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
        return self.process.wait() if self.process else None

    @property
    def pid(self):
        return self.process.pid

    def cleanup(self):
        self.stop()
        super().cleanup()
