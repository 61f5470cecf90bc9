"""Runs real Firebird engines for velkor64's demo, tests and benchmarks:
engines (where an engine's parts are), sites (private roots, embedded),
servers (a server on loopback), sample (a database whose every value follows
from its id), pages (a database file read without an engine)."""
