"""The cookie filter through the daemon, against a scripted origin that sets
cookies and echoes the request it received: one table of rules and the
cookies that reach each side, the log line of a dropped cookie, and the
"cookies" page with what came, escaped."""
import pytest

from conftest import wait_for
from test_header_filter import echo, split
from test_request_road import origin_factory, raw_exchange  # noqa: F401 (fixture)


def cookie_rule(kind, direction, domain="", path="", years="", profiles=""):
    """One rule; years "low,high" switches the expiry year window on."""
    year = ('<year active="true">%s</year>' % years if years
            else '<year active="false">1970,2100</year>')
    return ("<%(kind)s><enabled>true</enabled><comment></comment><groups></groups>"
            "<profiles>%(profiles)s</profiles>%(year)s<domain_pattern>%(domain)s</domain_pattern>"
            "<path_pattern>%(path)s</path_pattern><direction>%(direction)s</direction>"
            "<time_mode>span</time_mode></%(kind)s>" % locals())


def cookies_filtering(order, rules):
    return ("<cookies-filtering><enabled>true</enabled><order>%s</order>%s</cookies-filtering>"
            % (order, rules))


SET_COOKIES = (b"Set-Cookie: track=1; Domain=ads.tracker.test; Secure",
               b"Set-Cookie: keep=1; Path=/keep; HttpOnly",
               b"Set-Cookie: long=1; Expires=Tue, 01 Jan 2030 00:00:00 GMT",
               b"Set-Cookie: session=1")
SENT = b"Cookie: sid=1; $Path=/\r\n"

# order, rules, client profiles -> the cookies the client gets, whether the
# origin got the client's cookie.
CASES = [
    ("allow-by-default", "", "", ["track", "keep", "long", "session"], True),
    ("allow-by-default", cookie_rule("deny", "incoming", domain="tracker"), "",
     ["keep", "long", "session"], True),
    # A year window: session cookies have no expiry to lie in it; outgoing
    # cookies carry none, so for them the window plays no part.
    ("allow-by-default", cookie_rule("deny", "both", years="2029,2100"), "",
     ["track", "keep", "session"], False),
    ("allow-by-default", cookie_rule("deny", "incoming", years="2029,2100")
     + cookie_rule("allow", "incoming", path="^/keep"), "",
     ["track", "keep", "session"], True),
    ("allow-by-default", cookie_rule("deny", "outgoing", profiles="private"), "",
     ["track", "keep", "long", "session"], True),
    ("allow-by-default", cookie_rule("deny", "outgoing", profiles="private"), "private",
     ["track", "keep", "long", "session"], False),
    ("deny-by-default", "", "", [], False),
    ("deny-by-default", cookie_rule("allow", "incoming", path="."), "", ["keep"], False),
]


def exchange(proxy, origin, path=b"/x", host=None):
    host = host or b"127.0.0.1:%d" % origin.port
    request = (b"GET http://%s%s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n" % (host, path, host)
               + SENT + b"\r\n")
    return split(raw_exchange(proxy, request))


@pytest.mark.parametrize("order, rules, profiles, received, sent", CASES)
def test_cookies_pass_or_drop(proxy_factory, origin_factory, order, rules, profiles, received,
                              sent):
    origin = origin_factory(echo(SET_COOKIES))
    proxy = proxy_factory(profiles=profiles, extra_sections=cookies_filtering(order, rules))
    lines, body = exchange(proxy, origin)
    assert lines[0].startswith(b"HTTP/1.1 200"), lines
    got = [line[len(b"Set-Cookie: "):].split(b"=")[0].decode() for line in lines
           if line.startswith(b"Set-Cookie: ")]
    where = "%s %s [%s]" % (order, rules, profiles)
    assert got == received, where
    # A passing cookie goes on exactly as it came.
    for line in lines:
        if line.startswith(b"Set-Cookie: "):
            assert line in SET_COOKIES, where
    upstream, _ = split(body)
    assert (SENT.strip() in upstream) == sent, (where, upstream)
    if not sent:
        assert wait_for(lambda: "blocked: outgoing to 127.0.0.1" in proxy.log(), 5)


def test_cookies_page_shows_what_came_escaped(proxy_factory, origin_factory):
    origin = origin_factory(echo((b"Set-Cookie: x=<b>&; Domain=<i>.test; Path=/p; "
                                  b"Expires=Fri, 02 Jan 2026 12:30:00 GMT",)))
    # Decisions do not apply to the page.
    proxy = proxy_factory(extra_sections=cookies_filtering("deny-by-default", ""))
    lines, page = exchange(proxy, origin, path=b"/a%3Cb%3E",
                           host=b"xx--cookies.127.0.0.1:%d" % origin.port)
    assert lines[0] == b"HTTP/1.1 200 OK", lines
    text = page.decode()
    assert "<title>Cookies for 127.0.0.1/a%3Cb%3E</title>" in text, text
    assert "<b>" not in text and "<i>" not in text
    assert ('<tr class="dialoghead"><td colspan="2" align="center">Sent cookie</td></tr>\n'
            "<tr><td>sid</td><td>1</td></tr>\n") in text, text
    assert ("Received cookie</td></tr>\n"
            "<tr><td>Expires</td><td>Fri, 02-Jan-2026 12:30:00 GMT</td></tr>\n"
            "<tr><td>Domain</td><td>&lt;i&gt;.test</td></tr>\n"
            "<tr><td>Path</td><td>/p</td></tr>\n"
            "<tr><td>x</td><td>&lt;b&gt;&amp;</td></tr>\n") in text, text
