"""Status pages through a running daemon that need sections of their own:
the URL black-list search ("/urlbl") over a small database and the
prefetch queue ("/prefetch")."""
import os
import re

from conftest import ACCESS_ALL
from test_interface import REFERER, curl
from test_statistics import form_token
from test_prefetch import prefetch_section
from test_urlbl import urlblacklist, write_database

RIGHTS = ACCESS_ALL + ",interface"


def rows(page):
    """The data rows of the page's list, as lists of cell texts."""
    return [re.findall(r"<td>(.*?)</td>", row)
            for row in re.findall(r'<tr class="list(?:even|odd)">(.*?)</tr>', page, re.S)]


def ticked(page):
    return re.findall(r'<input type="checkbox" name="([^"]*)" checked>', page)


def test_urlbl_search_by_category_domain_and_path(proxy_factory, workdir):
    folder = os.path.join(workdir, "blacklists")
    write_database(folder)
    proxy = proxy_factory(rights=RIGHTS, extra_sections=urlblacklist("allow-by-default", folder))

    def search(query):
        status, _, body = curl(proxy, "/urlbl?" + query, *REFERER)
        assert status == 200
        return body.decode()

    # The first visit ticks every category and lists nothing.
    page = search("")
    assert sorted(ticked(page)) == ["ads", "empty", "news", "ok"]
    assert rows(page) == []

    # (query, ticked categories, rows listed)
    cases = [
        ("show=true", [], []),
        ("show=true&ads=on", ["ads"], [["ads", "127.0.0.1", "/Ads/"], ["ads", "localhost", "/"]]),
        ("show=true&ads=on&news=on&domain=LOCAL", ["ads", "news"], [["ads", "localhost", "/"]]),
        ("show=true&ads=on&news=on&ok=on&file=news", ["ads", "news", "ok"],
         [["news", "127.0.0.1", "/news"]]),
        ("show=true&ads=on&file=%5E%2F%24", ["ads"], [["ads", "localhost", "/"]]),
    ]
    for query, categories, listed in cases:
        page = search(query)
        assert sorted(ticked(page)) == categories, query
        assert sorted(rows(page)) == sorted(listed), (query, rows(page))

    # A pattern that does not compile is an error on the page and filters
    # nothing; the fields show what was typed, escaped.
    page = search("show=true&ok=on&domain=%28%3Cb%3E")
    assert "Error: the domain pattern does not compile" in page
    assert 'name="domain" value="(&lt;b&gt;"' in page
    assert rows(page) == [["ok", "127.0.0.1", "/ads/ok"]]
    assert proxy.running()


def test_prefetch_page_queues_a_url_and_ignores_other_text(proxy_factory):
    # No prefetch threads: what is queued stays in the queue to be seen.
    proxy = proxy_factory(rights=RIGHTS, extra_sections=prefetch_section("", threads=0))
    status, _, body = curl(proxy, "/prefetch?queue=not%20a%20url", *REFERER)
    page = body.decode()
    assert status == 200 and "Add URL to prefetch queue" in page
    assert rows(page) == []
    # A link queues nothing; the posted form with its token does.
    _, _, body = curl(proxy, "/prefetch?queue=http%3A%2F%2F127.0.0.1%3A9%2Fq", *REFERER)
    assert "Error: Nothing was changed" in body.decode() and rows(body.decode()) == []
    token = form_token(body.decode())
    _, _, body = curl(proxy, "/prefetch", *REFERER, "-d", "queue=not+a+url&token=" + token)
    assert rows(body.decode()) == []
    for path in ["/first", "/second%3Cb%3E"]:
        _, _, body = curl(proxy, "/prefetch", *REFERER,
                          "-d", "queue=http%3A%2F%2F127.0.0.1%3A9%2Fq" + path + "&token=" + token)
    assert rows(body.decode()) == [["http://127.0.0.1:9/q/first"],
                                   ["http://127.0.0.1:9/q/second&lt;b&gt;"]], body
