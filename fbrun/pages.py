"""A database file as the engine writes it: the header page's crypt fields
and every page's 16-byte header, read without an engine."""

import hashlib
import struct

from . import catalogue

# Page types in the page header (first byte).
PAGE_TYPES = {0: "unused", 1: "header", 2: "page inventory", 3: "transaction inventory", 4: "pointer",
              5: "data", 6: "index root", 7: "index", 8: "blob", 9: "generator", 10: "SCN inventory"}
PAGE_ENCRYPTED = 0x80  # page flag of an encrypted page
HEADER_ENCRYPTED = 0x40  # header flag of an encrypted database


def header(path):
    """{page_size, ods (the major version), flags, crypt_page, plugin} of a database file."""
    with open(path, "rb") as f:
        head = f.read(160)
    page_size, ods = struct.unpack_from("<HH", head, 16)
    major = ods & 0x7FFF
    at = catalogue.header_layout(major)  # the header page's offsets of this on-disk structure
    return {"page_size": page_size, "ods": major,
            "flags": struct.unpack_from("<H", head, at["flags"])[0],
            "crypt_page": struct.unpack_from("<I", head, at["crypt_page"])[0],
            "plugin": head[at["plugin"]:at["plugin"] + 32].split(b"\0")[0].decode()}


def pages(path):
    """(page number, type, header bytes, body bytes) of every page of a database file."""
    with open(path, "rb") as f:
        data = f.read()
    page_size = struct.unpack_from("<H", data, 16)[0]
    for n in range(len(data) // page_size):
        page = data[n * page_size:(n + 1) * page_size]
        yield n, page[0], page[:16], page[16:]


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()
