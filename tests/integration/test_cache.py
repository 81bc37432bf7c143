"""The object cache end to end: scripted origins and vsftpd behind the daemon,
clients on raw sockets and curl, checking the bytes each client receives,
X-Cache, the access-log cache codes and what reached the origin."""
import email.utils
import gzip
import os
import random
import re
import shutil
import socket
import subprocess
import threading
import time

import pytest

from conftest import HttpReader, free_port, read_text, wait_for
from test_cache_stores import finished, journal_states
from test_ftp import curl as ftp_curl, ftp_section, records, statuses, vsftpd  # noqa: F401
from test_request_road import (extended_lines, get, native_lines, origin_factory,  # noqa: F401
                               parse_native)

CACHE = """  <cache>
    <enabled>true</enabled><serve_violations>false</serve_violations>
    <memory_size>16M</memory_size><memory_free_extra>1M</memory_free_extra>
    <min_size>0</min_size><max_size>8M</max_size><prefetch_window>60</prefetch_window>
    <icp_port>%(icp_port)d</icp_port><icp_timeout>500</icp_timeout>
    <refresh><enabled>true</enabled><comment>all</comment><profiles></profiles>
      <cacheable>true</cacheable><min_age>0</min_age><max_age>86400</max_age>
      <max_age_no_expiry>3600</max_age_no_expiry><lm_factor>10</lm_factor></refresh>
  </cache>
"""


def cache_section(icp_port=0):
    return CACHE % {"icp_port": icp_port}


@pytest.fixture
def caching_proxy(proxy_factory):
    return lambda extra="", **settings: proxy_factory(
        extra_sections=cache_section() + extra, **settings)


def http_date(offset=0):
    return email.utils.formatdate(time.time() + offset, usegmt=True)


def fetch(proxy, port, path, extra=b""):
    """(status line, headers, body) of one request on a fresh connection."""
    with proxy.connect() as client:
        client.sendall(get(port, path, extra))
        return HttpReader(client).response()


def cache_codes(proxy, count):
    assert wait_for(lambda: len(native_lines(proxy)) >= count, 5), read_text(proxy.access_log)
    return [parse_native(line)["cache"] for line in native_lines(proxy)]


def answer(client, lines, body):
    head = "HTTP/1.1 200 OK\r\nContent-Length: %d\r\n%s\r\n" % (len(body), lines)
    client.sendall(head.encode() + body)


def test_second_client_follows_a_trickling_body(caching_proxy, origin_factory):
    body = bytes((i * 31 + 7) % 256 for i in range(60000))
    first_piece_sent = threading.Event()

    def script(request, client):
        client.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nCache-Control: max-age=600\r\n"
                       b"Content-Type: application/octet-stream\r\n\r\n" % len(body))
        for at in range(0, len(body), 3000):
            client.sendall(body[at:at + 3000])
            first_piece_sent.set()
            time.sleep(0.05)
        return "close"

    origin = origin_factory(script)
    proxy = caching_proxy()
    results = {}
    first_body_seen = threading.Event()

    def client(name):
        results[name] = fetch(proxy, origin.port, "/trickle")

    def first_client():
        # The second client comes once body bytes reached the first: the
        # daemon stores the object before it relays any of its body.
        with proxy.connect() as sock:
            sock.sendall(get(origin.port, "/trickle"))
            reader = HttpReader(sock)
            while not reader.data.partition(b"\r\n\r\n")[2]:
                piece = sock.recv(65536)
                if not piece:
                    break
                reader.data += piece
            first_body_seen.set()
            results["first"] = reader.response()

    first = threading.Thread(target=first_client)
    first.start()
    assert first_piece_sent.wait(10)
    assert first_body_seen.wait(10)
    second = threading.Thread(target=client, args=("second",))
    second.start()
    first.join(30)
    second.join(30)
    for name in ("first", "second"):
        status, headers, received = results[name]
        assert status == "HTTP/1.1 200 OK", name
        assert received == body, name
    assert results["first"][1]["x-cache"].startswith("MISS from Kestrivan")
    assert results["second"][1]["x-cache"].startswith("HIT from Kestrivan")
    assert len(origin.requests) == 1
    assert sorted(cache_codes(proxy, 2)) == ["TCP_HIT", "TCP_MISS"]
    # The follower is logged with what it was sent, as the first client is.
    assert [parse_native(line)["size"] for line in native_lines(proxy)] == ["60000", "60000"]


# A rewrite rule on bodies that never matches: the body goes the buffered
# road and reaches the client as it was stored.
BUFFERING_REWRITE = (
    "<rewrite><enabled>true</enabled><rules><enabled>true</enabled><comment></comment>"
    "<profiles></profiles><mime_type></mime_type><pattern>never-in-the-body</pattern>"
    "<replacement>x</replacement><targets>body</targets></rules></rewrite>")

STORE = """  <cache>
    <enabled>true</enabled><serve_violations>false</serve_violations>
    <memory_size>16M</memory_size><memory_free_extra>0</memory_free_extra>
    <min_size>0</min_size><max_size>8M</max_size><prefetch_window>60</prefetch_window>
    <icp_port>0</icp_port><icp_timeout>500</icp_timeout><store_policy>0</store_policy>
    <journal_threshold>3</journal_threshold><clean_interval>30</clean_interval>
    <store><enabled>true</enabled><comment>disk</comment><profiles></profiles>
      <directory>%s</directory><size_limit>100M</size_limit>
      <free_extra>0</free_extra><md5>true</md5></store>
    <refresh><enabled>true</enabled><comment>all</comment><profiles></profiles>
      <cacheable>true</cacheable><min_age>0</min_age><max_age>86400</max_age>
      <max_age_no_expiry>3600</max_age_no_expiry><lm_factor>10</lm_factor></refresh>
  </cache>
"""

# (case, further sections, whether the hit comes from a restarted daemon
# that maps the object from its store)
HIT_ROADS = [
    ("memory", "", False),
    ("memory buffered", BUFFERING_REWRITE, False),
    ("disk store", "store", True),
    ("disk store buffered", "store" + BUFFERING_REWRITE, True),
]


@pytest.mark.parametrize("name,sections,restart", HIT_ROADS, ids=[c[0] for c in HIT_ROADS])
def test_a_hit_is_logged_with_the_bytes_the_client_received(proxy_factory, origin_factory,
                                                           workdir, name, sections, restart):
    body = random.Random(name).randbytes(100000)
    origin = origin_factory(lambda request, client: answer(
        client, "Cache-Control: max-age=600\r\nContent-Type: application/octet-stream\r\n",
        body))
    if sections.startswith("store"):
        sections = STORE % os.path.join(workdir, "store") + sections[len("store"):]
    else:
        sections = cache_section() + sections
    proxy = proxy_factory(extra_sections=sections)
    assert fetch(proxy, origin.port, "/object")[::2] == ("HTTP/1.1 200 OK", body)
    if restart:
        # Stopped only once the journal shows the object finished on disk:
        # one still being written is dropped at the stop (a client can have
        # the whole body, even as a hit, before the writer has closed it).
        store = os.path.join(workdir, "store")
        key = "http://127.0.0.1:%d/object" % origin.port
        assert wait_for(lambda: finished(journal_states(store).get(key)))
        proxy.stop()
        os.rename(proxy.access_log, proxy.access_log + ".first")
        proxy = proxy_factory(extra_sections=sections)
    status, headers, received = fetch(proxy, origin.port, "/object")
    assert (status, received) == ("HTTP/1.1 200 OK", body)
    assert headers["x-cache"].startswith("HIT from Kestrivan")
    assert len(origin.requests) == 1
    url = "http://127.0.0.1:%d/object" % origin.port
    assert wait_for(lambda: len(native_lines(proxy)) == (1 if restart else 2), 5)
    hit = native_lines(proxy)[-1].split(" ", 2)[2]
    assert hit == ("127.0.0.1 TCP_HIT/200 100000 GET %s anonymous@127.0.0.1 NONE/- "
                   "application/octet-stream" % url)
    assert '"GET %s" 200 100000 ' % url in extended_lines(proxy)[-1]


@pytest.mark.parametrize("zone", ["America/New_York", "Asia/Kolkata"])
def test_fresh_stale_and_revalidated_objects_in_any_time_zone(caching_proxy, origin_factory,
                                                              monkeypatch, zone):
    monkeypatch.setenv("TZ", zone)
    modified = http_date(-86400)
    versions = {"/changed": 0}

    def script(request, client):
        path = request.split(b" ")[1].split(b":%d" % origin.port, 1)[-1].decode()
        conditional = b"if-modified-since:" in request.lower()
        if path == "/fresh":
            answer(client, "Expires: %s\r\nLast-Modified: %s\r\n" % (http_date(600), modified),
                   b"fresh body")
        elif path == "/stale" and conditional:
            client.sendall(b"HTTP/1.1 304 Not Modified\r\nLast-Modified: %s\r\n\r\n"
                           % modified.encode())
        elif path == "/stale":
            answer(client, "Expires: %s\r\nLast-Modified: %s\r\n" % (http_date(-600), modified),
                   b"stale body")
        else:
            versions[path] += 1
            answer(client, "Expires: %s\r\nLast-Modified: %s\r\n" % (http_date(-600), modified),
                   b"version %d" % versions[path])

    origin = origin_factory(script)
    proxy = caching_proxy()
    for path, first_body, second_body in [("/fresh", b"fresh body", b"fresh body"),
                                          ("/stale", b"stale body", b"stale body"),
                                          ("/changed", b"version 1", b"version 2")]:
        status, _, received = fetch(proxy, origin.port, path)
        assert (status, received) == ("HTTP/1.1 200 OK", first_body), path
        status, headers, received = fetch(proxy, origin.port, path)
        assert (status, received) == ("HTTP/1.1 200 OK", second_body), path
        assert "x-cache" in headers
    assert cache_codes(proxy, 6) == ["TCP_MISS", "TCP_HIT", "TCP_MISS", "TCP_REFRESH_HIT",
                                     "TCP_MISS", "TCP_REFRESH_MISS"]
    asked = [request.split(b"\r\n")[0].split(b" ")[1] for request in origin.requests]
    assert [path.rsplit(b"/", 1)[1] for path in asked] == [b"fresh", b"stale", b"stale",
                                                          b"changed", b"changed"]
    # The stale copies were asked for with the time they were stored.
    for request in (origin.requests[2], origin.requests[4]):
        stamp = re.search(rb"If-Modified-Since: ([^\r]*)", request).group(1).decode()
        stored = email.utils.parsedate_to_datetime(stamp).timestamp()
        assert abs(stored - time.time()) < 30, stamp


# Response Cache-Control: is a second request answered from the cache?
RESPONSE_CASES = [
    ("public, max-age=60", True),
    ("max-age=60", True),
    ("private, max-age=60", False),
    ("no-store", False),
    ("max-age=60, no-cache", False),
]


def test_response_cache_control(caching_proxy, origin_factory):
    def script(request, client):
        number = int(re.search(rb"/case(\d+)", request).group(1))
        answer(client, "Cache-Control: %s\r\nSet-Cookie: session=%d\r\n"
               % (RESPONSE_CASES[number][0], len(origin.requests)), b"case body")

    origin = origin_factory(script)
    proxy = caching_proxy()
    for number, (control, kept) in enumerate(RESPONSE_CASES):
        path = "/case%d" % number
        _, first, _ = fetch(proxy, origin.port, path)
        assert first["set-cookie"].startswith("session="), control
        status, second, received = fetch(proxy, origin.port, path)
        assert (status, received) == ("HTTP/1.1 200 OK", b"case body"), control
        if kept:
            assert second["x-cache"].startswith("HIT"), control
            # A cookie set for the first client never reaches the second.
            assert "set-cookie" not in second, control
        else:
            assert second["x-cache"].startswith("MISS"), control
            assert second["set-cookie"] != first["set-cookie"], control
    assert len(origin.requests) == 2 * len(RESPONSE_CASES) - 2


# Request Cache-Control on a fresh object: does the proxy ask the origin?
REQUEST_CASES = [
    (b"", False),
    (b"Cache-Control: no-cache\r\n", True),
    (b"Cache-Control: no-store\r\n", True),
    (b"Cache-Control: min-fresh=3600\r\n", True),
    (b"Cache-Control: max-age=3600\r\n", False),
]


def test_request_cache_control(caching_proxy, origin_factory):
    modified = http_date(-3600)

    def script(request, client):
        if b"if-modified-since:" in request.lower():
            client.sendall(b"HTTP/1.1 304 Not Modified\r\nLast-Modified: %s\r\n\r\n"
                           % modified.encode())
        else:
            answer(client, "Cache-Control: max-age=600\r\nLast-Modified: %s\r\n" % modified,
                   b"kept body")

    origin = origin_factory(script)
    proxy = caching_proxy()
    fetch(proxy, origin.port, "/object")
    for lines, revalidated in REQUEST_CASES:
        asked = len(origin.requests)
        status, _, received = fetch(proxy, origin.port, "/object", lines)
        assert (status, received) == ("HTTP/1.1 200 OK", b"kept body"), lines
        assert len(origin.requests) == asked + (1 if revalidated else 0), lines
    expected = ["TCP_MISS"] + ["TCP_REFRESH_HIT" if revalidated else "TCP_HIT"
                               for _, revalidated in REQUEST_CASES]
    assert cache_codes(proxy, len(expected)) == expected


def test_failed_fetch_never_leaves_a_hit(caching_proxy, origin_factory):
    body = b"0123456789" * 100

    def script(request, client):
        head = b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nCache-Control: max-age=600\r\n\r\n"
        if len(origin.requests) == 1:
            client.sendall(head + body[:500])  # then the connection breaks
            return "close"
        client.sendall(head + body)

    origin = origin_factory(script)
    proxy = caching_proxy()
    with proxy.connect() as client:
        client.sendall(get(origin.port, "/broken"))
        reader = HttpReader(client)
        reader.response(head=True)
        received = reader.data
        while True:
            piece = client.recv(65536)
            if not piece:
                break
            received += piece
    assert len(received) < 1000
    for expected_code in ("TCP_MISS", "TCP_HIT"):
        status, _, received = fetch(proxy, origin.port, "/broken")
        assert (status, received) == ("HTTP/1.1 200 OK", body), expected_code
    assert len(origin.requests) == 2
    assert cache_codes(proxy, 3)[1:] == ["TCP_MISS", "TCP_HIT"]


def test_a_client_sent_the_downloading_page_leaves_a_whole_object(caching_proxy,
                                                                  origin_factory):
    """Past the buffer wait the client gets the "downloading" page and the
    fetch goes on into the cache without it; once the fetch is done the
    object is finished, and the next clients get it from the cache."""
    plain = random.Random(1).randbytes(100000)
    body = gzip.compress(plain)

    def script(request, client):
        client.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nContent-Encoding: gzip\r\n"
                       b"Content-Type: application/octet-stream\r\n"
                       b"Cache-Control: max-age=600\r\n\r\n" % len(body) + body[:1000])
        time.sleep(2)  # past the buffer wait of one second
        client.sendall(body[1000:])
        return "close"

    origin = origin_factory(script)
    proxy = caching_proxy(bufferwait=1)
    # Offering no coding, the client has the gzip body buffered to be decoded.
    status, _, page = fetch(proxy, origin.port, "/slow")
    assert status == "HTTP/1.1 200 OK" and b"Download in progress" in page, page[:300]

    def served_whole_from_the_cache():
        status, headers, received = fetch(proxy, origin.port, "/slow")
        return headers.get("x-cache", "").startswith("HIT") and received == plain

    assert wait_for(served_whole_from_the_cache, 15, interval=0.2), proxy.log()
    assert len(origin.requests) == 1


def invalid_at_lookup(pid):
    """gdb attached to the daemon, waiting for the next lookup of a finished
    object: the object is marked invalid the moment the road has opened it,
    as when its last writer drops it just then. Returns the gdb process once
    its breakpoint is set."""
    gdb = subprocess.Popen(
        ["gdb", "-nx", "-batch", "-p", str(pid),
         "-ex", "set pagination off",
         "-ex", "break *'CacheSection::flag_get(CACHEMAP*)' if "
                "(((CACHEMAP*)$rsi)->flags & 1) == 0",
         "-ex", "echo breakpoint set\\n",
         "-ex", "continue",
         "-ex", "set var ((CACHEMAP*)$rsi)->flags |= 2",
         "-ex", "detach"],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    seen = b""
    while b"breakpoint set" not in seen:
        line = gdb.stdout.readline()
        assert line, seen.decode(errors="replace")
        seen += line
    return gdb


# (case, further sections, what the page holds)
INVALID_AT_LOOKUP = [
    ("no error page configured", "", b"could not be completed"),
    ("error page configured",
     "<templates><templatedir>%(dir)s</templatedir><template><enabled>true</enabled>"
     "<name>error</name><file>error.html</file><status>404</status><type>file</type></template>"
     "</templates>",
     b"check the caching rules"),
]


@pytest.mark.skipif(shutil.which("gdb") is None, reason="gdb not installed")
@pytest.mark.parametrize("name,templates,page", INVALID_AT_LOOKUP,
                         ids=[case[0] for case in INVALID_AT_LOOKUP])
def test_an_object_invalid_at_lookup_answers_the_error_page_and_keeps_the_connection(
        caching_proxy, origin_factory, workdir, name, templates, page):
    with open(os.path.join(workdir, "error.html"), "w") as f:
        f.write("<html><body>check the caching rules</body></html>")
    body = b"stored body\n"
    origin = origin_factory(lambda request, client: answer(
        client, "Cache-Control: max-age=600\r\n", body))
    proxy = caching_proxy(templates % {"dir": workdir})
    assert fetch(proxy, origin.port, "/page")[2] == body
    gdb = invalid_at_lookup(proxy.pid)
    try:
        with proxy.connect() as client:
            reader = HttpReader(client)
            request = (b"GET http://127.0.0.1:%d/page HTTP/1.1\r\nHost: x\r\n"
                       b"Proxy-Connection: keep-alive\r\n\r\n" % origin.port)
            client.sendall(request)
            status, headers, received = reader.response()
            assert status == "HTTP/1.1 404 Not Found", (status, received[:300])
            assert page in received
            assert gdb.wait(30) == 0
            # The same connection goes on; the dead object is gone.
            client.sendall(request)
            assert reader.response()[::2] == ("HTTP/1.1 200 OK", body)
    finally:
        if gdb.poll() is None:
            gdb.kill()
            gdb.wait()
    assert "Please re-check rules in the Caching Section" in proxy.log()
    assert wait_for(lambda: len(native_lines(proxy)) >= 3, 5)
    record = parse_native(native_lines(proxy)[1])
    assert (record["cache"], record["status"]) == ("TCP_REF_FAIL_HIT", "404")
    assert len(origin.requests) == 2


def icp_query(port, url, number):
    payload = b"\0\0\0\0" + url.encode() + b"\0"
    packet = bytes([1, 2]) + (20 + len(payload)).to_bytes(2, "big") + number.to_bytes(4, "big") \
        + bytes(12) + payload
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(10)
        s.sendto(packet, ("127.0.0.1", port))
        reply, _ = s.recvfrom(65536)
    return reply[0]


def test_icp_answers_hit_for_a_cached_url(proxy_factory, origin_factory):
    icp_port = free_port(kind=socket.SOCK_DGRAM)

    def script(request, client):
        answer(client, "Cache-Control: max-age=600\r\n", b"shared")

    origin = origin_factory(script)
    proxy = proxy_factory(extra_sections=cache_section(icp_port))
    assert wait_for(lambda: "network: listening on port *:%d" % icp_port in proxy.log())
    url = "http://127.0.0.1:%d/shared" % origin.port
    ICP_HIT, ICP_MISS = 2, 3
    assert icp_query(icp_port, url, 1) == ICP_MISS
    fetch(proxy, origin.port, "/shared")
    assert icp_query(icp_port, url, 2) == ICP_HIT
    assert icp_query(icp_port, "http://127.0.0.1:%d/other" % origin.port, 3) == ICP_MISS


@pytest.mark.parametrize("sections", ["", BUFFERING_REWRITE], ids=["streamed", "buffered"])
def test_anonymous_ftp_downloads_are_cached(proxy_factory, vsftpd, monkeypatch,  # noqa: F811
                                            sections):
    # A non-UTC zone: the listing date stored and the one listed again must
    # still compare equal.
    monkeypatch.setenv("TZ", "Asia/Kolkata")
    hello = os.path.join(vsftpd["root"], "hello.txt")
    year_ago = time.time() - 400 * 86400
    os.utime(hello, (year_ago, year_ago))
    proxy = proxy_factory(extra_sections=ftp_section() + cache_section() + sections)
    url = vsftpd["base"] + "/hello.txt"
    first = ftp_curl(proxy, url)
    second = ftp_curl(proxy, url)
    revalidated = ftp_curl(proxy, url, extra=["-H", "Cache-Control: no-cache"])
    for result in (first, second, revalidated):
        assert statuses(result) == [b"200"], result.stderr
        assert result.stdout == b"hello over ftp\n"
    assert b"X-Cache: MISS from Kestrivan" in first.stderr
    assert b"X-Cache: HIT from Kestrivan" in second.stderr
    assert [(e["cache"], e["size"]) for e in records(proxy, 3)] == [
        ("TCP_MISS", "15"), ("TCP_HIT", "15"), ("TCP_REFRESH_HIT", "15")]
