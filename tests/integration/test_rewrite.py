"""Rewrite rules through the daemon, against a scripted origin that echoes
the request it received: one table of rules and what the origin receives and
the client gets - request header, request body, response header and response
body (NUL bytes included, the length announced anew), content types, and the
"bypass" URL command."""
import pytest

from conftest import wait_for
from test_header_filter import echo, split
from test_request_road import origin_factory, raw_exchange  # noqa: F401 (fixture)


def rewrite_rule(pattern, replacement, targets, mime_type=""):
    return ("<rules><enabled>true</enabled><comment></comment><profiles></profiles>"
            "<mime_type>%(mime_type)s</mime_type><pattern>%(pattern)s</pattern>"
            "<replacement>%(replacement)s</replacement><targets>%(targets)s</targets></rules>"
            % locals())


RULES = (rewrite_rule(r"^User-Agent:\ [^\r\n]*", r"User-Agent: anonymous", "client_header")
         + rewrite_rule(r"password=\w+", "password=***", "post_body")
         + rewrite_rule(r"^Server:\ [^\r\n]*", r"Server: hidden", "server_header")
         + rewrite_rule(r"secret", "[removed]", "body", mime_type="^text/"))


def origin_script(request, client):
    """Answers with a body that names its content type in the path:
    /html -> text/html, /png -> image/png; the body is the request received
    followed by a NUL byte and "secret"."""
    kind = b"text/html" if b" /html" in request.split(b"\r\n")[0] else b"image/png"
    echo((b"Server: origin/1.0", b"Content-Type: " + kind), body=request + b"\0secret")(request,
                                                                                     client)


# path, request body, bypass -> what the origin's echo shows, what the body ends with
CASES = [
    ("/html", b"", False, [b"User-Agent: anonymous"], b"\0[removed]"),
    ("/png", b"", False, [b"User-Agent: anonymous"], b"\0secret"),
    ("/html", b"user=a&password=hunter2", False, [b"user=a&password=***"], b"\0[removed]"),
    # The "bypass" command is read once the request is in: the request's
    # header and body are rewritten already, the response is left alone.
    ("/html", b"user=a&password=hunter2", True,
     [b"User-Agent: anonymous", b"user=a&password=***"], b"\0secret"),
]


@pytest.mark.parametrize("path, post, bypass, upstream, tail", CASES)
def test_headers_and_bodies_rewritten(proxy_factory, origin_factory, path, post, bypass, upstream,
                                      tail):
    origin = origin_factory(origin_script)
    proxy = proxy_factory(extra_sections="<rewrite><enabled>true</enabled>%s</rewrite>" % RULES)
    host = b"%s127.0.0.1:%d" % (b"xx--bypass[w]." if bypass else b"", origin.port)
    method = b"POST" if post else b"GET"
    request = (b"%s http://%s%s HTTP/1.1\r\nHost: %s\r\nUser-Agent: browser/2.0\r\n"
               b"Connection: close\r\n" % (method, host, path.encode(), host))
    if post:
        request += b"Content-Type: application/x-www-form-urlencoded\r\n"
        request += b"Content-Length: %d\r\n" % len(post)
    request += b"\r\n" + post
    lines, body = split(raw_exchange(proxy, request))
    assert lines[0].startswith(b"HTTP/1.1 200 "), lines
    assert (b"Server: origin/1.0" in lines) == bypass, lines
    assert (b"Server: hidden" in lines) == (not bypass), lines
    assert b"Content-Length: %d" % len(body) in lines, lines
    assert body.endswith(tail), body
    echoed = body[:-len(tail)]
    for expected in upstream:
        assert expected in echoed, (expected, echoed)
    if post:
        # The origin got the length of what it was sent.
        head, _, sent = echoed.partition(b"\r\n\r\n")
        assert b"Content-Length: %d" % len(sent) in head.split(b"\r\n"), head
    log_line = "^Server:\\ [^\\r\\n]* matched 1 times in server header"
    if not bypass:
        assert wait_for(lambda: log_line in proxy.log(), 5)
