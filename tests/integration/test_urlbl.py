"""The URL black lists through the daemon: a small database directory written
by the test (with the CRLF line ends, blanks and capitals hand-made files
have), one table of rules and results in both orders against a scripted
origin, the "blacklisted" page and the exact access-log lines."""
import os

import pytest

from conftest import wait_for
from test_mime_filter import echo, exchange
from test_request_road import origin_factory  # noqa: F401 (fixture)
from test_url_filter import log_lines, without_times

# category -> (domains file, urls file); None: no such file.
DATABASE = {
    "ads": ("LOCALHOST \r\n", "127.0.0.1/Ads/\r\n"),
    "news": (None, "127.0.0.1/news\n"),
    "ok": (None, "127.0.0.1/ads/ok\n"),
    "empty": (None, None),
}


def write_database(folder):
    for category, files in DATABASE.items():
        os.makedirs(os.path.join(folder, category))
        for name, text in zip(("domains", "urls"), files):
            if text is not None:
                with open(os.path.join(folder, category, name), "w", newline="") as f:
                    f.write(text)
    with open(os.path.join(folder, "README"), "w") as f:
        f.write("not a category\n")


def rule(kind, comment, categories, profiles="", template=""):
    return ("<%(kind)s><enabled>true</enabled><comment>%(comment)s</comment><groups></groups>"
            "<profiles>%(profiles)s</profiles><categories>%(categories)s</categories>"
            "<template>%(template)s</template></%(kind)s>" % locals())


RULES = (rule("allow", "fine", "ok")
         + rule("deny", "no ads", "ads")
         + rule("deny", "news for staff", "news", profiles="!staff", template="noaccess"))


def urlblacklist(order, folder):
    return ("<urlblacklist><enabled>true</enabled><order>%s</order><directory>%s</directory>"
            "<template></template>%s</urlblacklist>" % (order, folder, RULES))


# order, host ("origin": 127.0.0.1), path, profiles -> what the client reads
# and the category the record names ("" for none).
CASES = [
    ("allow-by-default", "origin", "/other", "", "origin", ""),
    ("allow-by-default", "origin", "/ADS/banner", "", "blacklisted", "ads"),
    ("allow-by-default", "localhost", "/anything", "", "blacklisted", "ads"),
    # Listed in a deny and an allow category: passes, the record names the allow one.
    ("allow-by-default", "origin", "/ads/ok", "", "origin", "ok"),
    ("allow-by-default", "origin", "/news/today", "", "noaccess", "news"),
    ("allow-by-default", "origin", "/news/today", "staff", "origin", ""),
    ("deny-by-default", "origin", "/ads/ok/x", "", "blacklisted", "ads"),
    ("deny-by-default", "origin", "/other", "", "blacklisted", ""),  # the default rule
]


@pytest.mark.parametrize("order", ["allow-by-default", "deny-by-default"])
def test_rule_table_through_the_proxy(proxy_factory, origin_factory, workdir, order):  # noqa: F811
    origin = origin_factory(echo)
    folder = os.path.join(workdir, "blacklists")
    write_database(folder)
    templates = ("<templates><template><enabled>true</enabled><name>noaccess</name>"
                 "<status>403</status></template></templates>")
    for profiles in ("", "staff"):
        cases = [c for c in CASES if c[0] == order and c[3] == profiles]
        if not cases:
            continue
        proxy = proxy_factory(profiles=profiles,
                              extra_sections=urlblacklist(order, folder) + templates)
        # Loaded after the listeners open and before requests are taken:
        # the line may follow the one the start waits for.
        assert wait_for(lambda: "loaded 4 categories" in proxy.log(), 5)
        for _, host, path, _, seen, category in cases:
            host = "127.0.0.1" if host == "origin" else host
            url = "http://%s:%d%s" % (host, origin.port, path)
            where = "%s %s [%s]" % (order, url, profiles)
            asked = len(origin.requests)
            before = len(log_lines(proxy.access_log))
            status_line, _, body = exchange(proxy, "GET", url)
            assert wait_for(lambda: len(log_lines(proxy.extended_log)) > before, 5), where
            native = without_times(log_lines(proxy.access_log)[-1])
            extended = log_lines(proxy.extended_log)[-1]
            filter_field = '"urlbl %s"' % category if category else '"- -"'
            if seen == "origin":
                assert body.startswith(b"echo GET " + path.encode()), (where, body[:200])
                assert filter_field in extended, (where, extended)
                continue
            assert len(origin.requests) == asked, where  # refused before going upstream
            page = {"blacklisted": b"<title>Page blacklisted</title>",
                    "noaccess": b"<title>Access denied</title>"}[seen]
            assert page in body, (where, body[:300])
            if seen == "blacklisted":
                assert b"in the category <b>%s</b>" % category.encode() in body, body
            assert status_line.startswith("HTTP/1.1 %s " % "403")
            assert native == ("127.0.0.1 TCP_DENIED/403 %d GET %s anonymous@127.0.0.1 "
                              "DIRECT/kestrivan text/html" % (len(body), url)), (where, native)
            assert ('"urlbl %s"' % (category or "-")) in extended, (where, extended)
            assert "blocked %s%s" % (host, path) in proxy.log(), where
        proxy.stop()


def test_unreadable_database_is_logged_and_blocks_nothing(proxy_factory, origin_factory,  # noqa: F811
                                                          workdir):
    origin = origin_factory(echo)
    missing = os.path.join(workdir, "missing")
    proxy = proxy_factory(extra_sections=urlblacklist("allow-by-default", missing))
    assert wait_for(lambda: ("failed to load URL blacklist from %s" % missing) in proxy.log(), 5)
    _, _, body = exchange(proxy, "GET", "http://localhost:%d/ads/" % origin.port)
    assert body.startswith(b"echo GET /ads/")
