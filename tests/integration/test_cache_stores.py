"""Disk stores end to end: objects that survive a SIGKILL at chosen points of
a journal rewrite and in the middle of bodies under load, a store cleaned back
below its limit with its byte count matching du, and a full disk. Every hit
is compared with the origin's bytes."""
import hashlib
import os
import random
import re
import resource
import signal
import subprocess
import threading
import time

import pytest

from conftest import BUILD, HttpReader, read_text, wait_for
from test_request_road import get, origin_factory  # noqa: F401

CRASHPOINT = os.path.join(BUILD, "tests", "plugins", "libcrashpoint.so")

STORE_CACHE = """  <cache>
    <enabled>true</enabled><serve_violations>false</serve_violations>
    <memory_size>%(memory)s</memory_size><memory_free_extra>0</memory_free_extra>
    <min_size>0</min_size><max_size>8M</max_size><prefetch_window>60</prefetch_window>
    <icp_port>0</icp_port><icp_timeout>500</icp_timeout><store_policy>0</store_policy>
    <journal_threshold>%(threshold)d</journal_threshold><clean_interval>%(interval)d</clean_interval>
    <store><enabled>true</enabled><comment>disk</comment><profiles></profiles>
      <directory>%(directory)s</directory><size_limit>%(limit)s</size_limit>
      <free_extra>%(free_extra)s</free_extra><md5>%(md5)s</md5></store>
    <refresh><enabled>true</enabled><comment>all</comment><profiles></profiles>
      <cacheable>true</cacheable><min_age>0</min_age><max_age>86400</max_age>
      <max_age_no_expiry>3600</max_age_no_expiry><lm_factor>10</lm_factor></refresh>
  </cache>
"""


@pytest.fixture
def store_dir(workdir):
    return os.path.join(workdir, "store")


@pytest.fixture
def store_proxy(proxy_factory, store_dir):
    """Starts a daemon with one disk store; called again, it restarts on the
    same store (a new daemon, a new port)."""
    def start(memory="16M", threshold=3, interval=30, limit="100M", free_extra="0", md5="true",
              directory=None):
        cache = STORE_CACHE % dict(memory=memory, threshold=threshold, interval=interval,
                                   directory=directory or store_dir, limit=limit,
                                   free_extra=free_extra, md5=md5)
        return proxy_factory(extra_sections=cache, maxdownload="8M")
    return start


def hash_key(n, key):
    """The store's subdirectory of a key (the daemon's hash_key)."""
    total = 0
    for byte in key.encode():
        c = byte - 256 if byte >= 128 else byte
        total = (total + 20 * c + (c >> 2) + (c >> 4) + 8111) & 0xFFFFFFFF
    return total % n


def file_of(store, key):
    return os.path.join(store, "%.2x" % hash_key(256, key), hashlib.md5(key.encode()).hexdigest())


def key_of(origin, path):
    return "http://127.0.0.1:%d%s" % (origin.port, path)


def object_files(store):
    return [os.path.join(store, sub, name) for sub in sorted(os.listdir(store))
            if len(sub) == 2 and os.path.isdir(os.path.join(store, sub))
            for name in os.listdir(os.path.join(store, sub))]


def journal_states(store):
    """The flags of the last journal line of each key."""
    states = {}
    for line in read_text(os.path.join(store, "journal")).split("\n"):
        fields = [field for field in line.split("\t") if field]
        if len(fields) >= 5 and fields[0].isdigit():
            states[fields[1]] = int(fields[0])
    return states


WRITING, INVALID, DISK = 0x1, 0x2, 0x80


def finished(flags):
    return flags is not None and flags & (WRITING | INVALID | DISK) == DISK


def body_of(name, size):
    return random.Random(name).randbytes(size)


def path_of(request):
    target = request.split(b" ")[1].decode()
    return target if target.startswith("/") else "/" + target.split("/", 3)[3]


def fetch(proxy, port, path, timeout=10):
    """(status line, headers, body) of one request on a fresh connection."""
    with proxy.connect(timeout=timeout) as client:
        client.sendall(get(port, path))
        return HttpReader(client).response()


def hit(proxy, port, path):
    status, headers, body = fetch(proxy, port, path)
    return status, headers["x-cache"].startswith("HIT"), body


def serve(client, body, piece=None, pause=0.0):
    client.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nCache-Control: max-age=3600\r\n"
                   b"Content-Type: application/octet-stream\r\n\r\n" % len(body))
    piece = piece or len(body) or 1
    for at in range(0, len(body), piece):
        client.sendall(body[at:at + piece])
        if pause:
            time.sleep(pause)


@pytest.mark.skipif(not os.path.exists(CRASHPOINT), reason="crash library not built")
@pytest.mark.parametrize("point", ["write", "fsync", "rename", "renamed"])
def test_killed_during_a_journal_rewrite(store_proxy, origin_factory, monkeypatch, store_dir,
                                         point):
    released = threading.Event()
    sizes = {"/obj/%d" % n: 500 + n * 3001 for n in range(12)}

    def script(request, client):
        path = path_of(request)
        if path.startswith("/slow/") and not released.is_set():
            # Half a body, then nothing until the test lets go.
            client.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n"
                           b"Cache-Control: max-age=3600\r\n\r\n" + body_of(path, 100000)[:1000])
            released.wait(20)
            return "close"
        serve(client, body_of(path, sizes.get(path, 100000)))

    origin = origin_factory(script)
    # The first rewrite (at start-up) passes; the one of the SIGHUP save dies.
    monkeypatch.setenv("LD_PRELOAD", CRASHPOINT)
    monkeypatch.setenv("KESTRIVAN_CRASH_AT", point)
    monkeypatch.setenv("KESTRIVAN_CRASH_SKIP", "1")
    proxy = store_proxy()
    for name in ("LD_PRELOAD", "KESTRIVAN_CRASH_AT", "KESTRIVAN_CRASH_SKIP"):
        monkeypatch.delenv(name)
    for path, size in sizes.items():
        status, _, body = fetch(proxy, origin.port, path)
        assert (status, body) == ("HTTP/1.1 200 OK", body_of(path, size)), path
    slow = ["/slow/%d" % n for n in range(3)]

    def slow_client(path):
        try:
            fetch(proxy, origin.port, path, timeout=20)
        except OSError:
            pass

    clients = [threading.Thread(target=slow_client, args=(path,)) for path in slow]
    for client in clients:
        client.start()

    def journalled():
        states = journal_states(store_dir)
        return (all(finished(states.get(key_of(origin, path))) for path in sizes) and
                all(states.get(key_of(origin, path), 0) & WRITING for path in slow))

    assert wait_for(journalled, 10), read_text(os.path.join(store_dir, "journal"))
    proxy.signal(signal.SIGHUP)
    assert proxy.wait(10) == -signal.SIGKILL, proxy.log()
    assert "writing new journal for " + store_dir in proxy.log()
    released.set()
    for client in clients:
        client.join(20)

    again = store_proxy()
    # The unfinished objects are gone from the disk; the finished ones are
    # hits with the origin's bytes.
    for path in slow:
        assert wait_for(lambda: not os.path.exists(file_of(store_dir, key_of(origin, path))), 5), path
    asked = len(origin.requests)
    for path, size in sizes.items():
        assert hit(again, origin.port, path) == ("HTTP/1.1 200 OK", True, body_of(path, size)), path
    assert len(origin.requests) == asked
    for path in slow:
        assert hit(again, origin.port, path) == ("HTTP/1.1 200 OK", False, body_of(path, 100000))


def test_killed_in_the_middle_of_bodies_under_load(store_proxy, origin_factory, store_dir):
    rng = random.Random(22)
    sizes = {"/load/%d" % n: rng.randrange(2000, 200000) for n in range(40)}
    sizes.update({"/crawl/%d" % n: 150000 for n in range(4)})  # never done before the kill
    crawling = threading.Event()
    crawling.set()

    def script(request, client):
        path = path_of(request)
        body = body_of(path, sizes[path])
        if path.startswith("/crawl/") and crawling.is_set():
            serve(client, body, 4096, 0.1)
        else:
            serve(client, body, 8192, 0.002)

    origin = origin_factory(script)
    proxy = store_proxy(threshold=5)
    stop = threading.Event()
    completed = {}  # path -> time its first whole body arrived
    lock = threading.Lock()

    def client(seed):
        picker = random.Random(seed)
        paths = sorted(sizes)
        while not stop.is_set():
            path = picker.choice(paths)
            try:
                status, _, body = fetch(proxy, origin.port, path, timeout=5)
            except (OSError, TypeError, ValueError):
                continue  # the daemon was killed under this request
            if status == "HTTP/1.1 200 OK" and body == body_of(path, sizes[path]):
                with lock:
                    completed.setdefault(path, time.monotonic())

    threads = [threading.Thread(target=client, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    time.sleep(1.5)
    killed_at = time.monotonic()
    proxy.signal(signal.SIGKILL)
    proxy.wait(10)
    stop.set()
    crawling.clear()
    for thread in threads:
        thread.join(15)
    with lock:
        done_early = {path for path, at in completed.items() if at < killed_at - 0.5}
        never_done = set(sizes) - set(completed)
    assert done_early and never_done

    again = store_proxy(threshold=5)
    for path in never_done:
        key = key_of(origin, path)
        assert wait_for(lambda: not os.path.exists(file_of(store_dir, key)), 5), path
    hits = 0
    for path in sorted(sizes):
        status, was_hit, body = hit(again, origin.port, path)
        assert status == "HTTP/1.1 200 OK", path
        # No hit differs from the origin's bytes; what was done is a hit.
        assert body == body_of(path, sizes[path]), path
        assert was_hit or path not in done_early, path
        hits += was_hit
    assert hits >= len(done_early)


def test_a_store_past_its_limit_is_cleaned_back_and_counts_what_du_counts(store_proxy,
                                                                          origin_factory,
                                                                          store_dir):
    def script(request, client):
        path = path_of(request)
        serve(client, body_of(path, 5000))

    origin = origin_factory(script)
    # Memory smaller than one object: every hit comes from the store's file.
    proxy = store_proxy(memory="1K", interval=1, limit="60K", free_extra="15K")
    paths = ["/fill/%d" % n for n in range(20)]
    for path in paths:
        status, _, body = fetch(proxy, origin.port, path)
        assert (status, body) == ("HTTP/1.1 200 OK", body_of(path, 5000)), path
    after = "after cleaning: disk store: %s, entries: " % store_dir
    cleanings = proxy.log().count(after)
    time.sleep(1.2)
    # A hit after the interval cleans with nothing being written.
    assert hit(proxy, origin.port, paths[-1]) == ("HTTP/1.1 200 OK", True, body_of(paths[-1], 5000))
    assert wait_for(lambda: proxy.log().count(after) > cleanings, 5), proxy.log()
    line = [text for text in proxy.log().splitlines() if after in text][-1]
    entries, counted = map(int, re.search(r"entries: (\d+) entries, bytes: (\d+)", line).groups())
    assert counted <= 60 * 1024
    assert entries < len(paths)
    # Once the unlink thread is through, du sees what the store counts.
    assert wait_for(lambda: len(object_files(store_dir)) == entries, 5), object_files(store_dir)
    du = subprocess.run(["du", "-cb", "--apparent-size"] + object_files(store_dir),
                        capture_output=True, text=True, check=True)
    assert int(du.stdout.splitlines()[-1].split()[0]) == counted
    # What is left comes back as hits from the disk (access times here are
    # all within a second or two: which objects went is the unit tests' part).
    kept = [path for path in paths if os.path.exists(file_of(store_dir, key_of(origin, path)))]
    assert len(kept) == entries
    for path in kept:
        assert hit(proxy, origin.port, path) == ("HTTP/1.1 200 OK", True, body_of(path, 5000))


@pytest.fixture
def small_tmpfs(workdir):
    """A 1 MiB file system of its own, or a skip where none can be mounted."""
    mount_point = os.path.join(workdir, "disk")
    os.makedirs(mount_point)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mount_point],
                             capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + mounted.stderr.decode())
    yield mount_point
    subprocess.run(["umount", "-l", mount_point])


def test_a_full_disk_fails_the_objects_being_written_and_the_daemon_goes_on(
        store_proxy, origin_factory, small_tmpfs):
    def script(request, client):
        path = path_of(request)
        serve(client, body_of(path, 200000), 65536)

    origin = origin_factory(script)
    store = os.path.join(small_tmpfs, "store")
    proxy = store_proxy(directory=store, free_extra="400K", md5="false")
    try:
        paths = ["/big/%d" % n for n in range(8)]
        for path in paths:
            status, _, body = fetch(proxy, origin.port, path)
            # The client gets its whole body whether the cache kept it or not.
            assert (status, body) == ("HTTP/1.1 200 OK", body_of(path, 200000)), path
        assert "[system: posix_fallocate:28:" in proxy.log()
        assert "cleaning triggered" in proxy.log()
        # Cleaning made room once the unlink thread has deleted the freed
        # files (one per 10 ms): the newest object is stored (again, when
        # its first fetch came before the room) and then served from disk.
        assert wait_for(lambda: hit(proxy, origin.port, paths[-1])[1], 5)
        assert hit(proxy, origin.port, paths[-1]) == ("HTTP/1.1 200 OK", True,
                                                     body_of(paths[-1], 200000))
        assert proxy.running()
    finally:
        proxy.stop()


def test_a_file_size_limit_fails_the_objects_beyond_it(store_proxy, origin_factory, store_dir):
    def script(request, client):
        path = path_of(request)
        serve(client, body_of(path, int(path.rsplit("/", 1)[1])), 65536)

    origin = origin_factory(script)
    saved = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (300000, saved[1]))
    try:
        proxy = store_proxy()
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, saved)
    for size in (400000, 20000):
        path = "/sized/%d" % size
        status, _, body = fetch(proxy, origin.port, path)
        assert (status, body) == ("HTTP/1.1 200 OK", body_of(path, size))
    assert "[system: posix_fallocate:27:" in proxy.log()
    assert hit(proxy, origin.port, "/sized/20000") == ("HTTP/1.1 200 OK", True,
                                                      body_of("/sized/20000", 20000))
    assert hit(proxy, origin.port, "/sized/400000")[1] is False
    assert wait_for(lambda: not os.path.exists(file_of(store_dir, key_of(origin, "/sized/400000"))),
                    5)


def test_objects_come_back_after_an_orderly_restart(store_proxy, origin_factory, store_dir):
    def script(request, client):
        path = path_of(request)
        serve(client, body_of(path, 30000))

    origin = origin_factory(script)
    proxy = store_proxy()
    for n in range(5):
        fetch(proxy, origin.port, "/kept/%d" % n)
    # The client has its last body before the writer's close has finished
    # the object: an object still being written at the stop is dropped.
    assert wait_for(lambda: all(finished(journal_states(store_dir).get(key_of(origin, "/kept/%d" % n)))
                                for n in range(5)))
    proxy.stop()
    log = proxy.log()
    assert "cache: starting graceful exit" in log and "cache: graceful exit done" in log
    again = store_proxy()
    for n in range(5):
        path = "/kept/%d" % n
        assert hit(again, origin.port, path) == ("HTTP/1.1 200 OK", True, body_of(path, 30000))
    assert len(origin.requests) == 5
