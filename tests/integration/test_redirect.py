"""Redirect rules through the daemon, against a scripted origin that echoes
the request it received: one table of requests and what the client gets or
the origin receives - a 302 answered by the proxy (with the client's URL
commands kept), requests rewritten in place (also before an origin-form
request has its host) and recorded and cached under their new URL, and the
Location of a redirecting response rewritten."""
import pytest

from conftest import read_text, wait_for
from test_cache import cache_section
from test_header_filter import echo, split
from test_request_road import origin_factory, raw_exchange  # noqa: F401 (fixture)


def redirect_rule(pattern, replacement, action="reply-302", applies_to="request", port=-1,
                  encoding=""):
    return ("<rules><enabled>true</enabled><comment></comment><groups></groups><profiles></profiles>"
            "<pattern>%(pattern)s</pattern><replacement>%(replacement)s</replacement>"
            "<port>%(port)d</port><action>%(action)s</action><encoding>%(encoding)s</encoding>"
            "<applies_to>%(applies_to)s</applies_to></rules>" % locals())


def origin_script(request, client):
    """Sends /redirect-me elsewhere; echoes everything else."""
    if request.startswith(b"GET /redirect-me "):
        client.sendall(b"HTTP/1.1 301 Moved Permanently\r\nLocation: http://loc.test/landed\r\n"
                       b"Content-Length: 0\r\n\r\n")
    else:
        echo()(request, client)


@pytest.fixture
def redirecting(proxy_factory, origin_factory):
    origin = origin_factory(origin_script)
    port = origin.port
    rules = (redirect_rule(r"^http://old\.test/(.*)", "http://127.0.0.1:%d/new/$1" % port)
             + redirect_rule(r"^http://inplace\.test/(.*)", "http://127.0.0.1/moved/$1",
                             action="rewrite", port=port)
             + redirect_rule(r"^/tpath/(.*)", "/other/$1", action="rewrite")
             + redirect_rule(r"^http://loc\.test/(.*)", "http://127.0.0.1:%d/$1" % port,
                             applies_to="location")
             + redirect_rule(r"^http://spaced\.test/(.*)", "http://127.0.0.1/q $1 ?",
                             action="rewrite", port=port, encoding="encode-path"))
    proxy = proxy_factory(extra_sections="<redirect><enabled>true</enabled>%s</redirect>" % rules)
    return proxy, origin


# request line and Host -> (status, Location) the client gets, or the request
# line the origin receives.
CASES = [
    (b"GET http://old.test/a?b=1 HTTP/1.1", b"old.test", 302, "http://127.0.0.1:{port}/new/a?b=1"),
    (b"GET http://xx--fresh.old.test/a HTTP/1.1", b"old.test", 302,
     "http://xx--fresh.127.0.0.1:{port}/new/a"),
    (b"GET http://inplace.test/a HTTP/1.1", b"inplace.test", 200, "GET /moved/a HTTP/1.1"),
    (b"GET /tpath/x HTTP/1.1", b"127.0.0.1:{port}", 200, "GET /other/x HTTP/1.1"),
    (b"GET http://spaced.test/x HTTP/1.1", b"spaced.test", 200, "GET /q+x+%3f HTTP/1.1"),
    (b"GET http://127.0.0.1:{port}/redirect-me HTTP/1.1", b"127.0.0.1:{port}", 301,
     "http://127.0.0.1:{port}/landed"),
]


@pytest.mark.parametrize("line, host, status, expected", CASES)
def test_redirected_and_rewritten(redirecting, line, host, status, expected):
    proxy, origin = redirecting
    port = origin.port
    expected = expected.format(port=port)
    asked = len(origin.requests)
    request = (line.replace(b"{port}", b"%d" % port) + b"\r\nHost: "
               + host.replace(b"{port}", b"%d" % port) + b"\r\nConnection: close\r\n\r\n")
    lines, body = split(raw_exchange(proxy, request))
    assert lines[0].startswith(b"HTTP/1.1 %d " % status), lines
    if status in (301, 302):
        assert ("Location: " + expected).encode() in lines, lines
        if status == 302:
            # Answered by the proxy: a header alone, the origin never asked.
            assert b"Content-Length: 0" in lines and body == b""
            assert len(origin.requests) == asked
    else:
        received, _ = split(body)
        assert received[0] == expected.encode(), received
        assert b"Host: 127.0.0.1:%d" % port in received


def test_rewritten_request_is_recorded_under_its_new_url(redirecting):
    proxy, origin = redirecting
    request = b"GET http://inplace.test/a HTTP/1.1\r\nHost: inplace.test\r\nConnection: close\r\n\r\n"
    lines, _ = split(raw_exchange(proxy, request))
    assert lines[0].startswith(b"HTTP/1.1 200 ")
    assert wait_for(lambda: read_text(proxy.access_log).strip(), 5)
    record = read_text(proxy.access_log).strip().splitlines()[-1]
    assert " GET http://127.0.0.1:%d/moved/a " % origin.port in record, record
    assert ("[IP:127.0.0.1] request for http://inplace.test/a to http://127.0.0.1/moved/a"
            in proxy.log())


def test_rewritten_request_is_cached_under_its_new_url(proxy_factory, origin_factory):
    origin = origin_factory(echo(headers=(b"Cache-Control: max-age=600",)))
    port = origin.port
    rules = redirect_rule(r"^http://inplace\.test/(.*)", "http://127.0.0.1/moved/$1",
                          action="rewrite", port=port)
    proxy = proxy_factory(extra_sections=cache_section()
                          + "<redirect><enabled>true</enabled>%s</redirect>" % rules)

    def fetch(url, host):
        request = b"GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % (url, host)
        lines, _ = split(raw_exchange(proxy, request))
        assert lines[0].startswith(b"HTTP/1.1 200 "), lines
        return [line for line in lines if line.startswith(b"X-Cache: ")]

    assert fetch(b"http://inplace.test/a", b"inplace.test")[0].startswith(b"X-Cache: MISS")
    # The object is the new URL's: asked for by that URL it comes from the
    # cache, and the origin saw one request only.
    new_url = b"http://127.0.0.1:%d/moved/a" % port
    assert fetch(new_url, b"127.0.0.1:%d" % port)[0].startswith(b"X-Cache: HIT"), new_url
    assert len(origin.requests) == 1
