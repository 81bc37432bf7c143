#!/usr/bin/python3
"""store_fill.py: writes a kestrivan cache store as the daemon leaves it
after a clean stop (a journal of finished objects and their files), so that
a bench starts on objects that were never fetched by the running daemon.

    store_fill.py STORE count N [--files]   N objects of 1000 body bytes,
                                            keys http://127.0.0.1:18080/bench/object/<n>;
                                            files only with --files
    store_fill.py STORE object URL SIZE...  one object per URL with SIZE
                                            random body bytes (1k, 64k, 1m or a
                                            number), files written
"""
import hashlib
import os
import sys
import time

CACHE_DISK = 0x80
SIZES = {"1k": 1024, "64k": 65536, "1m": 1048576}


def hash_key(n, key):
    """The store's subdirectory of a key: the daemon's hash_key(256, key)."""
    total = 0
    for byte in key.encode():
        c = byte - 256 if byte >= 128 else byte
        total = (total + 20 * c + (c >> 2) + (c >> 4) + 8111) & 0xFFFFFFFF
    return total % n


def image(body):
    # As the daemon stores an origin's answer: its header whole, with the
    # origin's "Connection: keep-alive", which lets an HTTP/1.1 client that
    # names no connection option keep its connection after the hit.
    header = ("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
              "Content-Length: %d\r\nConnection: keep-alive\r\n"
              "Cache-Control: max-age=86400\r\n\r\n" % len(body))
    return header.encode() + body


def write_file(store, key, data):
    sub = os.path.join(store, "%.2x" % hash_key(256, key))
    os.makedirs(sub, exist_ok=True)
    with open(os.path.join(sub, hashlib.md5(key.encode()).hexdigest()), "wb") as f:
        f.write(data)


def main(argv):
    if len(argv) < 3 or argv[2] not in ("count", "object"):
        sys.exit(__doc__)
    store, mode, rest = argv[1], argv[2], argv[3:]
    now = int(time.time())
    os.makedirs(store, exist_ok=True)
    with open(os.path.join(store, "journal"), "w") as journal:
        def line(key, size):
            journal.write("%d\t%s\t%d\t%d\t%d\t0\t86400\t3600\t10\t0\n" % (CACHE_DISK, key, size, now, now))
        if mode == "count":
            with_files = "--files" in rest
            data = image(b"x" * 1000)
            for n in range(int(rest[0])):
                key = "http://127.0.0.1:18080/bench/object/%d" % n
                line(key, len(data))
                if with_files:
                    write_file(store, key, data)
        else:
            if len(rest) % 2 != 0:
                sys.exit(__doc__)
            for url, size in zip(rest[0::2], rest[1::2]):
                data = image(os.urandom(SIZES.get(size) or int(size)))
                line(url, len(data))
                write_file(store, url, data)


if __name__ == "__main__":
    main(sys.argv)
