"""Prefetching end to end: a scripted origin behind the daemon serves pages
whose links the prefetch threads fetch into the cache. Checked through what
reaches the origin, what later clients get from the cache (X-Cache, bodies,
codings) and the access-log lines of client "prefetch"."""
import gzip
import os
import time

from conftest import HttpReader, ScriptedHTTPServer, read_text, wait_for
from test_cache import cache_section
from test_request_road import get, native_lines, parse_native
from test_url_filter import rule, url_filtering

import pytest


def prefetch_rule(tag, attribute, pattern="", max_size="0", max_depth="0"):
    return ("<prefetch><enabled>true</enabled><comment>%(tag)s %(attribute)s</comment>"
            "<profiles></profiles><tag>%(tag)s</tag><attribute>%(attribute)s</attribute>"
            "<pattern>%(pattern)s</pattern><max_size>%(max_size)s</max_size>"
            "<max_depth>%(max_depth)s</max_depth></prefetch>" % locals())


def prefetch_section(rules, threads=2):
    return ("<prefetch><enabled>true</enabled><threads>%d</threads><queuesize>100</queuesize>"
            "<hostlimit>0</hostlimit><parse_limit>2M</parse_limit>%s</prefetch>"
            % (threads, rules))


# The origin runs on loopback: prefetching may reach it only because an
# allow rule of the URL filter names the address.
LOCAL_ORIGIN = url_filtering("allow-by-default",
                             rule("allow", "local origin", addresses="127.0.0.1"))


class Origin:
    """A scripted origin: path -> (content type, body, further headers);
    bodies marked gzip go out gzip-encoded to requests that offer gzip."""

    def __init__(self, routes):
        self.routes = routes
        self.server = ScriptedHTTPServer(self.answer)
        self.port = self.server.port

    def answer(self, handler):
        path = handler.path
        content_type, body, headers = self.routes.get(path, ("text/plain", b"missing", {}))
        status = 404 if path not in self.routes else 200
        headers = dict(headers)
        encode = headers.pop("gzip", False)
        handler.send_response(status)
        handler.send_header("Content-Type", content_type)
        if encode and "gzip" in handler.headers.get("Accept-Encoding", ""):
            body = gzip.compress(body)
            handler.send_header("Content-Encoding", "gzip")
        headers.setdefault("Cache-Control", "max-age=600")
        for name, value in headers.items():
            handler.send_header(name, value)
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)

    def asked(self, path):
        """The requests for the path so far: (path, headers) each."""
        return [(p, h) for p, h in self.server.requests if p.endswith(path)]

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)


@pytest.fixture
def origin_routes():
    origins = []

    def make(routes):
        origin = Origin(routes)
        origins.append(origin)
        return origin

    yield make
    for origin in origins:
        origin.server.stop()


def prefetching_proxy(proxy_factory, rules, filtering=LOCAL_ORIGIN, threads=2):
    return proxy_factory(extra_sections=cache_section() + prefetch_section(rules, threads)
                         + filtering)


def fetch(proxy, port, path, extra=b""):
    with proxy.connect() as client:
        client.sendall(get(port, path, extra))
        return HttpReader(client).response()


def prefetch_records(proxy):
    return [parse_native(line) for line in native_lines(proxy)
            if parse_native(line)["client"] == "prefetch"]


def page(*links):
    return ("<html><body>%s</body></html>" % "\n".join(links)).encode()


def test_links_are_fetched_into_the_cache_down_to_the_rule_depth(proxy_factory, origin_routes):
    image = ("image/png", b"\x89PNG" + bytes(range(256)) * 4, {})
    origin = origin_routes({
        "/dir/page.html": ("text/html", b"", {}),  # filled in below
        "/dir/a.png": image, "/b.png": image, "/dir/c.png": image,
        "/dir/big.png": ("image/png", b"x" * 5000, {}),
        "/dir/level1.html": ("text/html; charset=utf-8", page('<a href="level2.html">2</a>'), {}),
        "/dir/level2.html": ("TEXT/HTML", page('<a href="../dir/level3.html">3</a>'), {}),
        "/dir/level3.html": ("text/html", page("end"), {}),
        "/dir/plain.html": ("text/plain", page('<a href="never.html">'), {}),
    })
    origin.routes["/dir/page.html"] = ("text/html", page(
        '<img src="a.png" alt="">', "<IMG SRC='/b.png'>",
        '<img src="%s">' % origin.url("/dir/c.png"), '<input type="image" src="big.png">',
        '<a href="level1.html">1</a>', '<a href="plain.html">p</a>'), {})
    proxy = prefetching_proxy(proxy_factory,
                              prefetch_rule("img", "src", max_depth="1")
                              + prefetch_rule("input", "src", max_size="1K")
                              + prefetch_rule("a", "href", pattern="\\.html$", max_depth="2"))

    status, headers, body = fetch(proxy, origin.port, "/dir/page.html",
                                  b"Cookie: session=secret\r\n")
    assert status == "HTTP/1.1 200 OK"
    assert body == origin.routes["/dir/page.html"][1]

    fetched = ["/dir/a.png", "/b.png", "/dir/c.png", "/dir/big.png", "/dir/level1.html",
               "/dir/level2.html", "/dir/plain.html"]
    assert wait_for(lambda: all(origin.asked(path) for path in fetched), 15), \
        [p for p, _ in origin.server.requests]
    stored = [origin.url(path) for path in fetched if path != "/dir/big.png"]
    assert wait_for(lambda: set(stored) <= {r["url"] for r in prefetch_records(proxy)}, 10), \
        read_text(proxy.access_log)
    for record in prefetch_records(proxy):
        if record["url"] in stored:
            assert (record["cache"], record["status"], record["method"]) == \
                ("TCP_MISS", "200", "GET"), record
    # What a prefetch request carries: none of the client's cookies.
    for _, seen in origin.asked("/dir/a.png"):
        assert "Cookie" not in seen
        assert seen["Referer"] == origin.url("/dir/a.png")
        assert seen["Accept-Encoding"] == "gzip, deflate"
        assert seen["User-Agent"].startswith("Mozilla/4.0 (compatible; MSIE 5.5")

    # The depth-2 page's link is past the rule's depth; a text/plain body is
    # not parsed.
    time.sleep(1)
    assert not origin.asked("/dir/level3.html")
    assert not origin.asked("/dir/never.html")

    # Clients now get the prefetched objects from the cache.
    for path in ("/dir/a.png", "/b.png", "/dir/c.png", "/dir/level2.html"):
        status, headers, body = fetch(proxy, origin.port, path)
        assert status == "HTTP/1.1 200 OK", path
        assert body == origin.routes[path][1], path
        assert headers["x-cache"].startswith("HIT from Kestrivan"), path
        assert len(origin.asked(path)) == 1, path
    # An object larger than its rule's max_size was not stored.
    status, headers, body = fetch(proxy, origin.port, "/dir/big.png")
    assert (status, body) == ("HTTP/1.1 200 OK", b"x" * 5000)
    assert headers["x-cache"].startswith("MISS from Kestrivan")
    assert len(origin.asked("/dir/big.png")) == 2


def test_a_cached_page_is_parsed_again_on_a_hit(proxy_factory, origin_routes):
    origin = origin_routes({
        "/hit/page.html": ("text/html", page('<img src="uncached.png">'), {}),
        # Never stored, so a link to it is queued again by every parse.
        "/hit/uncached.png": ("image/png", b"png", {"Cache-Control": "no-store"}),
    })
    proxy = prefetching_proxy(proxy_factory, prefetch_rule("img", "src"))
    status, headers, _ = fetch(proxy, origin.port, "/hit/page.html")
    assert headers["x-cache"].startswith("MISS")
    assert wait_for(lambda: len(origin.asked("/hit/uncached.png")) == 1, 10)
    status, headers, body = fetch(proxy, origin.port, "/hit/page.html")
    assert headers["x-cache"].startswith("HIT")
    assert body == origin.routes["/hit/page.html"][1]
    assert wait_for(lambda: len(origin.asked("/hit/uncached.png")) == 2, 10)
    assert len(origin.asked("/hit/page.html")) == 1


def test_each_request_of_a_kept_connection_has_a_parser_of_its_own(proxy_factory,
                                                                   origin_routes):
    """The "htmltree" page of the second page asked on a kept-alive
    connection shows that page alone, nothing of the first one's tree."""
    origin = origin_routes({
        "/first.html": ("text/html", page('<img src="from-first.png">', "firstwords"), {}),
        "/second.html": ("text/html", page('<img src="from-second.png">', "secondwords"), {}),
    })
    proxy = prefetching_proxy(proxy_factory, prefetch_rule("img", "src"))
    with proxy.connect() as client:
        reader = HttpReader(client)
        for prefix, path in (b"", b"/first.html"), (b"xx--htmltree.", b"/second.html"):
            client.sendall(b"GET http://%s127.0.0.1:%d%s HTTP/1.1\r\nHost: x\r\n"
                           b"Proxy-Connection: keep-alive\r\n\r\n" % (prefix, origin.port, path))
            status, _, body = reader.response()
            assert status == "HTTP/1.1 200 OK", (path, body[:300])
    assert b"HTML tree for" in body, body[:300]
    assert b"from-second.png" in body and b"secondwords" in body, body
    assert b"from-first.png" not in body and b"firstwords" not in body, body


def test_prefetched_links_pass_the_request_check_and_never_reach_internal_addresses(
        proxy_factory, origin_routes):
    image = ("image/png", b"png", {})
    origin = origin_routes({
        "/p/page.html": ("text/html", page('<img src="/ok/a.png">', '<img src="/denied/b.png">',
                                           '<img src="/other/c.png">'), {}),
        "/ok/a.png": image, "/denied/b.png": image, "/other/c.png": image,
    })
    filtering = url_filtering("allow-by-default",
                              rule("allow", "local pictures", path="^/ok/",
                                   addresses="127.0.0.1")
                              + rule("deny", "denied", path="^/denied/"))
    proxy = prefetching_proxy(proxy_factory, prefetch_rule("img", "src"), filtering)
    status, _, _ = fetch(proxy, origin.port, "/p/page.html")
    assert status == "HTTP/1.1 200 OK"

    urls = {origin.url(path) for path in ("/ok/a.png", "/denied/b.png", "/other/c.png")}
    assert wait_for(lambda: urls <= {r["url"] for r in prefetch_records(proxy)}, 15), \
        read_text(proxy.access_log)
    outcome = {r["url"]: (r["cache"], r["status"]) for r in prefetch_records(proxy)}
    assert outcome == {origin.url("/ok/a.png"): ("TCP_MISS", "200"),
                       origin.url("/denied/b.png"): ("TCP_DENIED", "403"),
                       origin.url("/other/c.png"): ("TCP_DENIED", "403")}
    assert origin.asked("/ok/a.png")
    assert not origin.asked("/denied/b.png")
    assert not origin.asked("/other/c.png")
    log = proxy.log()
    assert "prefetch: refused %s: internal address 127.0.0.1" % origin.url("/other/c.png") in log
    assert "blocked: 127.0.0.1/denied/b.png" in log


def test_the_prefetch_command_sends_no_credentials_or_cookies(proxy_factory, origin_routes):
    origin = origin_routes({"/cmd/file.txt": ("text/plain", b"command body", {})})
    proxy = prefetching_proxy(proxy_factory, "")
    request = (b"GET http://xx--prefetch.127.0.0.1:%d/cmd/file.txt HTTP/1.1\r\n"
               b"Host: xx--prefetch.127.0.0.1:%d\r\nConnection: close\r\n"
               b"Cookie: session=secret\r\nAuthorization: Basic dXNlcjpwYXNz\r\n"
               b"Accept-Language: de\r\n"
               b"User-Agent: TestBrowser/2.0\r\n\r\n" % (origin.port, origin.port))
    with proxy.connect() as client:
        client.sendall(request)
        assert HttpReader(client).response() is not None
    assert wait_for(lambda: origin.asked("/cmd/file.txt"), 10)
    _, seen = origin.asked("/cmd/file.txt")[0]
    names = {name.lower() for name in seen}
    assert not names & {"cookie", "authorization"}, seen
    assert seen["Accept-Language"] == "de"
    assert seen["User-Agent"] == "TestBrowser/2.0"
    assert "secret" not in read_text(proxy.error_log)

    # Stored for everybody: the next client gets it from the cache.
    assert wait_for(lambda: prefetch_records(proxy), 10)
    status, headers, body = fetch(proxy, origin.port, "/cmd/file.txt")
    assert (status, body) == ("HTTP/1.1 200 OK", b"command body")
    assert headers["x-cache"].startswith("HIT")


@pytest.mark.parametrize("compressin", ["false", "true"])
def test_compressed_prefetched_objects_reach_each_client_in_a_coding_it_offered(
        proxy_factory, origin_routes, compressin):
    text = b"".join(b"line %d of a compressible text\n" % i for i in range(200))
    large = os.urandom(1200 * 1024)  # over the 1M download buffer, even compressed
    origin = origin_routes({
        "/z/page.html": ("text/html", page('<img src="text.txt">', '<img src="large.bin">'), {}),
        "/z/text.txt": ("text/plain", text, {"gzip": True}),
        "/z/large.bin": ("application/octet-stream", large, {"gzip": True}),
    })
    proxy = proxy_factory(extra_sections=cache_section() + LOCAL_ORIGIN
                          + prefetch_section(prefetch_rule("img", "src")), compressin=compressin)
    fetch(proxy, origin.port, "/z/page.html")
    urls = {origin.url("/z/text.txt"), origin.url("/z/large.bin")}
    assert wait_for(lambda: urls <= {r["url"] for r in prefetch_records(proxy)}, 15), \
        read_text(proxy.access_log)
    assert all("gzip" in seen["Accept-Encoding"] for _, seen in origin.asked("/z/text.txt"))

    # Decoded for every client that did not offer gzip; passed on encoded
    # only to one that did, when the proxy takes encoded bodies at all.
    for offered, coding in [(b"", None), (b"Accept-Encoding: deflate\r\n", None),
                            (b"Accept-Encoding: gzip;q=0, deflate\r\n", None),
                            (b"Accept-Encoding: gzip, deflate\r\n",
                             "gzip" if compressin == "true" else None)]:
        status, headers, body = fetch(proxy, origin.port, "/z/text.txt", offered)
        assert status == "HTTP/1.1 200 OK", offered
        assert headers["x-cache"].startswith("HIT"), offered
        assert headers.get("content-encoding") == coding, offered
        assert (gzip.decompress(body) if coding else body) == text, offered
    assert len(origin.asked("/z/text.txt")) == 1

    # Too large to decode in the buffer: fetched again, plain, for this client.
    status, headers, body = fetch(proxy, origin.port, "/z/large.bin")
    assert status == "HTTP/1.1 200 OK"
    assert "content-encoding" not in headers
    assert body == large
    assert len(origin.asked("/z/large.bin")) == 2
    assert "Accept-Encoding" not in origin.asked("/z/large.bin")[1][1]
