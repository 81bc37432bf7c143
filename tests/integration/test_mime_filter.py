"""The MIME filter through the daemon, against a scripted origin that echoes
what it receives with the Content-Type and status the test asks for: one table
of rules and results in both orders (HEAD and 204 answers never filtered), the
bytes the client gets and the exact access-log lines, and the "mime" verdict
page with the request's values escaped."""
import urllib.parse

import pytest

from conftest import HttpReader, wait_for
from test_request_road import origin_factory  # noqa: F401 (fixture)
from test_url_filter import log_lines, without_times


def echo(request, client):
    """A ScriptedOrigin script: answers with the request it received. The
    query may ask for a status (no body for 204 and 304), a Content-Type
    (none unless asked) and a body of a given size instead of the echo."""
    head = request.split(b"\r\n\r\n", 1)[0].decode("latin-1")
    method, target = head.split(" ", 2)[:2]
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(target).query)
    status = int(query.get("status", ["200"])[0])
    body = b"x" * int(query["size"][0]) if "size" in query else b"echo " + request
    lines = ["HTTP/1.1 %d Scripted" % status]
    if "type" in query:
        lines.append("Content-Type: " + query["type"][0])
    if status in (204, 304):
        body = b""
    else:
        lines.append("Content-Length: %d" % len(body))
    client.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + (b"" if method == "HEAD" else body))


def exchange(proxy, method, url, body=b"", headers=b""):
    """(status line, headers, body) of one request through the proxy on a
    connection of its own."""
    host = urllib.parse.urlsplit(url).netloc.encode()
    request = b"%s %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n%s" % (
        method.encode(), url.encode(), host, headers)
    if body:
        request += b"Content-Length: %d\r\n" % len(body)
    with proxy.connect(timeout=15) as s:
        s.sendall(request + b"\r\n" + body)
        answer = HttpReader(s).response(head=method == "HEAD")
    assert answer is not None, url
    return answer


def rule(kind, comment, mime_type="", host="", path="", profiles="", template=""):
    return ("<%(kind)s><enabled>true</enabled><comment>%(comment)s</comment><groups></groups>"
            "<profiles>%(profiles)s</profiles><host>%(host)s</host><path>%(path)s</path>"
            "<mime_type>%(mime_type)s</mime_type><template>%(template)s</template></%(kind)s>"
            % locals())


RULES = (rule("allow", "images", "^image/")
         + rule("deny", "executables", "application/(x-msdownload|octet-stream)")
         + rule("deny", "svg", "svg")
         + rule("deny", "private pages", "text/html", path="^/private", template="noaccess")
         + rule("deny", "untyped raw", path="^/raw"))


def mime_filtering(order, rules=RULES):
    return ("<mime-filtering><enabled>true</enabled><order>%s</order><template></template>%s"
            "</mime-filtering>" % (order, rules))


# order, method, path and query -> what the client reads: "origin" (the
# echo, or no body), "blocked" (the built-in page), "noaccess" (the rule's).
CASES = [
    ("allow-by-default", "GET", "/page?type=text/html;+charset=utf-8", "origin"),
    ("allow-by-default", "GET", "/x.exe?type=application/x-msdownload", "blocked"),
    # The bare type is found with its parameters, in any case.
    ("allow-by-default", "GET", "/bin?type=APPLICATION/OCTET-STREAM;+x=1", "blocked"),
    ("allow-by-default", "GET", "/a.svg?type=image/svg%2Bxml", "origin"),  # the allow rule undoes it
    ("allow-by-default", "GET", "/private/p?type=text/html", "noaccess"),
    ("allow-by-default", "GET", "/raw/x", "blocked"),  # no type, a rule without a MIME pattern
    ("allow-by-default", "GET", "/plain", "origin"),
    ("allow-by-default", "HEAD", "/x.exe?type=application/x-msdownload", "origin"),
    ("allow-by-default", "GET", "/x.exe?type=application/x-msdownload&status=204", "origin"),
    ("deny-by-default", "GET", "/img?type=image/png", "origin"),
    ("deny-by-default", "GET", "/page?type=text/html", "blocked"),
    ("deny-by-default", "GET", "/plain", "blocked"),  # no type: the default rule
    ("deny-by-default", "GET", "/a.svg?type=image/svg%2Bxml", "blocked"),
    ("deny-by-default", "HEAD", "/page?type=text/html", "origin"),
]


@pytest.mark.parametrize("order", ["allow-by-default", "deny-by-default"])
def test_rule_table_through_the_proxy(proxy_factory, origin_factory, order):  # noqa: F811
    origin = origin_factory(echo)
    templates = ("<templates><template><enabled>true</enabled><name>noaccess</name>"
                 "<status>403</status></template></templates>")
    proxy = proxy_factory(extra_sections=mime_filtering(order) + templates)
    base = "http://127.0.0.1:%d" % origin.port
    for case_order, method, target, seen in [c for c in CASES if c[0] == order]:
        url = base + target
        where = "%s %s %s" % (order, method, target)
        before = len(log_lines(proxy.access_log))
        status_line, headers, body = exchange(proxy, method, url)
        # Every request reaches the origin: the type is known only from it.
        assert origin.requests[-1].startswith(b"%s %s " % (method.encode(), target.encode())), where
        assert wait_for(lambda: len(log_lines(proxy.extended_log)) > before, 5), where
        native = without_times(log_lines(proxy.access_log)[-1])
        extended = log_lines(proxy.extended_log)[-1]
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(target).query)
        content_type = query.get("type", [None])[0]
        if seen == "origin":
            assert status_line.split(" ")[1] in ("200", "204"), (where, status_line)
            if method == "GET" and "status" not in query:
                assert body.startswith(b"echo GET " + target.encode()), (where, body[:200])
            assert " TCP_MISS/" in native and "DIRECT/127.0.0.1" in native, (where, native)
            continue
        page = {"blocked": b"<title>Page Blocked</title>",
                "noaccess": b"<title>Access denied</title>"}[seen]
        assert page in body, (where, body[:300])
        assert status_line.startswith("HTTP/1.1 %s " % "403")
        reason = content_type if content_type is not None else "(none)"
        if seen == "blocked":
            assert ("Filter: MiMe Filter<br>\nReason: %s" % reason).encode() in body, body
        # The record: refused, nothing of the body read, the response's type
        # (the page's, when the response named none).
        mime = content_type.split(";")[0] if content_type else "text/html"
        assert native == ("127.0.0.1 TCP_DENIED/403 0 GET %s anonymous@127.0.0.1 "
                          "DIRECT/kestrivan %s" % (url, mime)), (where, native)
        assert ' "mime-filter %s" ' % reason in extended, (where, extended)
        assert "blocked: [IP: 127.0.0.1] %s" % reason in proxy.log()


def test_mime_page_shows_the_deciding_rule_escaped(proxy_factory, origin_factory):  # noqa: F811
    origin = origin_factory(echo)
    proxy = proxy_factory(extra_sections=mime_filtering(
        "allow-by-default", rule("deny", "no &lt;b&gt;old&lt;/b&gt; html", "^text/html")))
    url = "http://xx--mime.127.0.0.1:%d/%%3Cb%%3E\"q\"?type=text/html" % origin.port
    status_line, headers, body = exchange(proxy, "GET", url)
    text = body.decode()
    assert status_line.startswith("HTTP/1.1 200 "), status_line
    assert headers["content-type"] == "text/html"
    assert ("<title>MIME filter match for 127.0.0.1/%3Cb%3E&quot;q&quot;?type=text/html</title>"
            in text), text
    assert "no &lt;b&gt;old&lt;/b&gt; html" in text and "<b>old" not in text
    # The response is shown, not delivered.
    assert "echo GET" not in text
    _, _, body = exchange(proxy, "GET", "http://xx--mime.127.0.0.1:%d/?type=image/png" % origin.port)
    assert '<td align="center" colspan="2">None</td>' in body.decode()
