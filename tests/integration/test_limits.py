"""The limits through the daemon, against a scripted origin that echoes what
it receives: one table of rules and request sequences (time block, request,
download and upload quotas) with the pages the client gets and the access-log
lines, and one end-to-end rate measured with a tolerance. Windows and the
reset of counters run on an injected clock in the unit tests."""
import time

from conftest import wait_for
from test_mime_filter import echo, exchange
from test_request_road import origin_factory  # noqa: F401 (fixture)
from test_url_filter import log_lines, without_times


def limits(**fields):
    """The section with one rule: every field neutral unless given."""
    values = {"block": "false", "template": "", "download_limit": "0", "upload_limit": "0",
              "request_limit": "0", "rate": "0", "time_mode": "span", "options": ""}
    values.update(fields)
    entry = "".join("<%s>%s</%s>" % (name, values[name], name) for name in (
        "block", "template", "download_limit", "upload_limit", "request_limit", "rate",
        "time_mode", "options"))
    return ("<limits><enabled>true</enabled><rules><enabled>true</enabled><comment>test</comment>"
            "<groups></groups><profiles></profiles>%s</rules></limits>" % entry)


# The rule, then the requests in order: method, query, body size -> what the
# client reads ("origin", or the title of the page) and the filter and
# reason of the extended log ("- -" when nothing refused).
SCENARIOS = [
    (limits(block="true"), [
        ("GET", "", 0, "Page Blocked", "limit-section time limit restrictions"),
    ]),
    (limits(request_limit="3"), [
        ("GET", "", 0, "origin", "- -"),
        ("GET", "", 0, "origin", "- -"),
        ("GET", "", 0, "origin", "- -"),
        ("GET", "", 0, "Request limit exceeded", "limit-section max-requests restrictions"),
    ]),
    # 800 of 1000 bytes counted: the next 800 exceed the 200 left, 100 fit.
    (limits(download_limit="1000"), [
        ("GET", "?size=800", 0, "origin", "- -"),
        ("GET", "?size=800", 0, "Download transfer limit exceeded", "limit_section 200"),
        ("GET", "?size=100", 0, "origin", "- -"),
    ]),
    # The body sizes count: 300 of 500, then 300 exceed the 200 left.
    (limits(upload_limit="500"), [
        ("POST", "", 300, "origin", "- -"),
        ("POST", "", 300, "Upload transfer limit exceeded", "limit_section 200"),
        ("POST", "", 200, "origin", "- -"),
    ]),
]


def test_rules_and_quotas_through_the_proxy(proxy_factory, origin_factory):  # noqa: F811
    origin = origin_factory(echo)
    for section, steps in SCENARIOS:
        # A daemon for each rule: its counters start at 0.
        proxy = proxy_factory(extra_sections=section)
        for number, (method, query, size, seen, record) in enumerate(steps):
            url = "http://127.0.0.1:%d/item%d%s" % (origin.port, number, query)
            where = "%s step %d" % (section, number)
            before = len(log_lines(proxy.extended_log))
            status_line, _, body = exchange(proxy, method, url, b"u" * size)
            assert wait_for(lambda: len(log_lines(proxy.extended_log)) > before, 5), where
            extended = log_lines(proxy.extended_log)[-1]
            assert ' "%s" ' % record in extended, (where, extended)
            if seen == "origin":
                assert status_line.startswith("HTTP/1.1 200 "), (where, status_line)
                if "size" in query:
                    assert body == b"x" * int(query.split("=")[1]), where
                else:
                    assert body.startswith(b"echo %s /item%d" % (method.encode(), number)), where
                    assert len(body) >= size and body.endswith(b"u" * size), where
                continue
            assert ("<title>%s</title>" % seen).encode() in body, (where, body[:300])
            # The size of the page, but for a response refused by its length.
            logged_size = int(query.split("=")[1]) if "size" in query else len(body)
            native = without_times(log_lines(proxy.access_log)[-1])
            assert native == ("127.0.0.1 TCP_DENIED/403 %d %s %s anonymous@127.0.0.1 "
                              "DIRECT/kestrivan text/html" % (logged_size, method, url)), \
                (where, native)
        proxy.stop()


def test_rate_is_kept_within_a_tolerance(proxy_factory, origin_factory):  # noqa: F811
    origin = origin_factory(echo)
    rate = 400000
    size = 1000000
    proxy = proxy_factory(extra_sections=limits(rate=str(rate)))
    url = "http://127.0.0.1:%d/big?size=%d" % (origin.port, size)
    started = time.monotonic()
    _, _, body = exchange(proxy, "GET", url)
    elapsed = time.monotonic() - started
    assert len(body) == size
    # The first 100 ms window goes at once: (size / rate) - 0.1 = 2.4 s.
    expected = size / rate - 0.1
    assert expected * 0.8 <= elapsed <= expected * 1.8, elapsed
    assert "transfer download rate: %d" % rate in proxy.log()
