"""Keyword scoring through the daemon: a table of bodies (UTF-8 and UTF-16
pages, gzip-compressed bodies, a body holding a NUL byte, plain text) against
one set of rules, each with the score it earns, what the client receives (the
page, or the block page with 403) and the exact access-log record; and the
shipped configuration, which scores nothing."""
import gzip
import re
import subprocess

import pytest

from conftest import CONFIG, Daemon, wait_for
from test_request_road import origin_factory, raw_exchange  # noqa: F401 (fixture)
from test_url_filter import log_lines, without_times
from test_url_command_pages import keywords

THRESHOLD = 10
RULES = [
    ("gambling", "text/html", "casino", 6),
    ("cards", "", "poker", 5),
    ("good cause", "", "charity", -5),
    ("any plain text", "text/plain", "", 5),  # no body pattern: counts for every buffered text
    ("never", "^video/", "casino", 100),
]

# name -> Content-Type, Content-Encoding, body (bytes), the score, blocked.
BODIES = {
    "under": ("text/html", None, b"<p>casino night</p>", 6, False),
    "over": ("text/html", None, b"<p>Casino and POKER</p>", 11, True),
    "cancelled": ("text/html", None, b"casino poker for charity", 6, False),
    "equal": ("text/plain", None, b"poker", 10, True),
    "plain-only": ("text/plain", None, b"nothing to see", 5, False),
    "gzip-over": ("text/html; charset=utf-8", "gzip",
                  gzip.compress(b"<p>casino</p>" + b" " * 5000 + b"<p>poker</p>"), 11, True),
    "gzip-under": ("text/html", "gzip", gzip.compress(b"<p>poker</p>"), 5, False),
    "utf16-bom": ("text/html", None,
                  b"\xff\xfe" + "<p>casino poker</p>".encode("utf-16-le"), 11, True),
    "utf16-charset": ("text/html; charset=UTF-16BE", None,
                      "<p>casino poker</p>".encode("utf-16-be"), 11, True),
    "nul-first": ("text/html", None, b"\0<p>casino poker</p>", 11, True),
    "nul-between": ("text/html", None, b"<p>casino</p>\0<p>poker</p>", 11, True),
    "no-type": (None, None, b"poker casino", 5, False),
    "image": ("image/png", None, b"casino", 0, False),
}


def origin_script(request, client):
    name = request.split(b" ", 2)[1].rsplit(b"/", 1)[1].decode()
    content_type, encoding, body = BODIES[name][:3]
    lines = ["HTTP/1.1 200 OK", "Content-Length: %d" % len(body)]
    if content_type is not None:
        lines.append("Content-Type: " + content_type)
    if encoding is not None:
        lines.append("Content-Encoding: " + encoding)
    client.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + body)


def fetch(proxy, url, *extra):
    result = subprocess.run(
        ["curl", "-sS", "-g", "--max-time", "20", "-x", "http://127.0.0.1:%d" % proxy.port,
         "-D", "/dev/stderr", "-o", "-"] + list(extra) + [url], capture_output=True, timeout=30)
    assert result.returncode == 0, result.stderr
    status = int(re.findall(rb"^HTTP/1\.[01] (\d+)", result.stderr, re.M)[-1])
    return status, result.stderr.decode("latin-1"), result.stdout


@pytest.mark.parametrize("accept_gzip", [False, True], ids=["identity", "accepts-gzip"])
def test_bodies_by_rules_scores_and_verdicts(proxy_factory, origin_factory,  # noqa: F811
                                             accept_gzip):
    origin = origin_factory(origin_script)
    proxy = proxy_factory(extra_sections=keywords(THRESHOLD, *RULES))
    extra = ("-H", "Accept-Encoding: gzip") if accept_gzip else ()
    for name, (content_type, encoding, body, score, blocked) in BODIES.items():
        url = "http://127.0.0.1:%d/%s" % (origin.port, name)
        before = len(log_lines(proxy.extended_log))
        status, headers, received = fetch(proxy, url, *extra)
        assert wait_for(lambda: len(log_lines(proxy.extended_log)) > before, 5), name
        record = without_times(log_lines(proxy.access_log)[-1])
        extended = log_lines(proxy.extended_log)[-1]
        if blocked:
            assert status == 403, (name, headers)
            assert b"<title>Page Blocked</title>" in received, (name, received[:300])
            assert (b"Filter: KeyWord Filter<br>\nReason: score: %d exceeded threshold: %d"
                    % (score, THRESHOLD)) in received, (name, received)
            mime = content_type.split(";")[0] if content_type else "text/html"
            # Refused, with the bytes read from the origin and the type it
            # named.
            assert record == ("127.0.0.1 TCP_DENIED/403 %d GET %s anonymous@127.0.0.1 "
                              "DIRECT/kestrivan %s" % (len(body), url, mime)), (name, record)
            assert ' "keyword-filter %d" ' % score in extended, (name, extended)
            assert "blocked: [IP: 127.0.0.1] score:%d threshold:%d" % (score, THRESHOLD) \
                in proxy.log()
        else:
            assert status == 200, (name, headers)
            # Scored decoded; passed on compressed only to a client that
            # accepts it.
            sent_compressed = re.search(r"^Content-Encoding: gzip", headers, re.M | re.I)
            assert not (sent_compressed and not accept_gzip), (name, headers)
            plain = gzip.decompress(body) if encoding is not None else body
            assert (gzip.decompress(received) if sent_compressed else received) == plain, name
            assert record.startswith("127.0.0.1 TCP_MISS/200 "), (name, record)
            assert "keyword-filter" not in extended, (name, extended)


def test_score_page_for_the_table(proxy_factory, origin_factory):  # noqa: F811
    origin = origin_factory(origin_script)
    proxy = proxy_factory(extra_sections=keywords(THRESHOLD, *RULES))
    for name, (_, _, _, score, _) in BODIES.items():
        status, _, page = fetch(proxy, "http://xx--score.127.0.0.1:%d/%s" % (origin.port, name))
        assert status == 200, name
        assert b"<tr><td align=\"center\">%d</td></tr>" % score in page, (name, page)


def test_bypass_and_switched_off_section_score_nothing(proxy_factory, origin_factory):  # noqa: F811
    origin = origin_factory(origin_script)
    proxy = proxy_factory(extra_sections=keywords(THRESHOLD, *RULES))
    # curl takes no brackets in a host name: the request is written out.
    host = b"xx--bypass[k].127.0.0.1:%d" % origin.port
    answer = raw_exchange(proxy, b"GET http://%s/over HTTP/1.1\r\nHost: %s\r\n"
                                 b"Connection: close\r\n\r\n" % (host, host))
    assert answer.startswith(b"HTTP/1.1 200 "), answer
    assert answer.endswith(b"\r\n\r\n" + BODIES["over"][2]), answer

    off = keywords(THRESHOLD, *RULES).replace("<enabled>true</enabled><threshold>",
                                              "<enabled>false</enabled><threshold>")
    proxy = proxy_factory(extra_sections=off)
    status, _, received = fetch(proxy, "http://127.0.0.1:%d/over" % origin.port)
    assert (status, received) == (200, BODIES["over"][2])


def test_shipped_configuration_scores_nothing(workdir, origin_factory):  # noqa: F811
    """The defaults serve out of the box: the section is there, switched
    off, without rules."""
    with open(CONFIG) as f:
        shipped = f.read()
    assert re.search(r"<keywords-filtering>\s*<enabled>false</enabled>", shipped), shipped
    origin = origin_factory(origin_script)
    daemon = Daemon(workdir, config=CONFIG)
    daemon.start()
    try:
        daemon.wait_listening()
        status, _, received = fetch(daemon, "http://127.0.0.1:%d/over" % origin.port)
        assert (status, received) == (200, BODIES["over"][2])
        assert "score:" not in daemon.log()
    finally:
        daemon.stop()
