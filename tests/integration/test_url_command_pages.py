"""The diagnostic pages of the URL commands through the daemon, asked for
with curl as a user types them ("xx--headers.host/path"): each is a whole
HTML page answered 200 and logged as such, and every value planted by the
origin, a parent, the client or the configuration (tags, attributes, text,
header lines, profile names, paths) arrives escaped, never as markup.
Headless Chromium then loads the pages and no planted script runs."""
import re
import socket
import subprocess

import pytest

from browser import chromium  # noqa: F401 (fixture)
from conftest import read_text, wait_for
from test_cache import cache_section
from test_parents import forward_section
from test_request_road import origin_factory  # noqa: F401 (fixture)
from test_url_filter import log_lines, without_times

# Payloads that would run if any page let them through as markup. Each
# calls the page's own "planted" function, which the browser check looks for.
PAGE = (b"<html><head><title>t</title></head><body>\n"
        b"<a href=\"/next\" title=\"a&b\" onclick=\"planted(2)\">"
        b"link</a>\n"
        b"<p>two  blanks\nand a line</p><script>planted(3)</script>\n"
        b"<img src=x onerror=planted(4)>\n"
        b"</body></html>\n")
PLANTED_HEADER = b"<script>planted(5)</script>"
PLANTED_AGENT = "<img src=x onerror=planted(6)>"


def origin_script(request, client):
    body = PAGE
    head = (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
            b"Cache-Control: max-age=600\r\nX-Planted: %s\r\n\r\n" % (len(body), PLANTED_HEADER))
    client.sendall(head + (b"" if request.startswith(b"HEAD ") else body))


def curl(proxy, url, *extra):
    """(status, headers, body) of one request through the proxy."""
    result = subprocess.run(
        ["curl", "-sS", "-g", "--max-time", "20", "-x", "http://127.0.0.1:%d" % proxy.port,
         "-A", PLANTED_AGENT, "-D", "/dev/stderr", "-o", "-"] + list(extra) + [url],
        capture_output=True, timeout=30)
    assert result.returncode == 0, result.stderr
    statuses = re.findall(rb"^HTTP/1\.[01] (\d+)", result.stderr, re.M)
    return int(statuses[-1]), result.stderr.decode("latin-1"), result.stdout


def assert_inert(body):
    """No planted payload stands as markup anywhere in the page: no script
    or image element, no element with an event handler (the planted ones
    show as text only)."""
    assert not re.search(rb"<\s*(script|img)\b", body, re.I), body
    assert not re.search(rb"<[a-z][^<>]*\son[a-z]+\s*=", body, re.I), body


def last_record(proxy, before):
    assert wait_for(lambda: len(log_lines(proxy.access_log)) > before, 5), \
        read_text(proxy.access_log)
    return without_times(log_lines(proxy.access_log)[-1])


@pytest.fixture
def origin(origin_factory):  # noqa: F811
    return origin_factory(origin_script)


# command -> what its page must show (besides the escaped payloads).
PAGE_CASES = [
    ("htmltree", "HTML tree for", [
        b"<td width=\"0\"></td><td>html </td>",
        b"<td>a href=\"/next\" title=\"a&amp;b\" onclick=\"planted(2)\" </td>",
        b"<td>\"two&nbsp;&nbsp;blanks<br>and&nbsp;a&nbsp;line\"</td>",
        b"<td>script </td>", b"<td>\"planted(3)\"</td>",
        b"<td>img src=\"x\" onerror=\"planted(4)\" </td>"]),
    ("variables", "Variables for", [
        b"<tr class=\"listhead\"><td><b>Name</b></td><td><b>Value</b></td></tr>",
        b"&lt;img&nbsp;src=x&nbsp;onerror=planted(6)&gt;"]),
    ("raw", "Raw contents of", [
        b"<pre>\n&lt;html&gt;&lt;head&gt;",
        b"&lt;script&gt;planted(3)&lt;/script&gt;"]),
    ("headers", "HTTP headers to/from", [
        b"<tr class=\"dialoghead\"><td align=\"center\">Client header</td></tr>",
        b"User-Agent: &lt;img src=x onerror=planted(6)&gt;",
        b"<tr class=\"dialoghead\"><td align=\"center\">Server header</td></tr>",
        b"X-Planted: &lt;script&gt;planted(5)&lt;/script&gt;"]),
    ("profiles", "Active profiles for", [
        b"<tr class=\"listeven\"><td>&lt;b&gt;staff&lt;/b&gt;</td></tr>",
        b"<tr class=\"listodd\"><td>plain</td></tr>"]),
    ("limits", "Transfer limits for", [
        b"<tr><td>Download limit</td><td>Unlimited</td></tr>",
        b"<tr><td>Upload limit</td><td>Unlimited</td></tr>"]),
    ("proxytest", "Proxy test for", [
        b"<tr><td>Not forwarding through HTTP proxy</td></tr>"]),
    ("cache", "Cache information for", [
        b"<tr><td align=\"center\" colspan=\"2\">Nothing found</td></tr>"]),
]

# Path and query planted by the client: quotes, ampersands and angle brackets
# (as the request line carries them) must stay text in titles and headings.
PLANTED_PATH = "/page.html?q=%22%3E%3Cscript%3E&a=\"b&c='d"
ESCAPED_PATH = "127.0.0.1/page.html?q=%22%3E%3Cscript%3E&amp;a=&quot;b&amp;c='d"


@pytest.mark.parametrize("command,title,shown", PAGE_CASES, ids=[c[0] for c in PAGE_CASES])
def test_each_command_page_renders_escaped(proxy_factory, origin, command, title, shown):
    proxy = proxy_factory(profiles="&lt;b&gt;staff&lt;/b&gt;,plain")
    url = "http://xx--%s.127.0.0.1:%d%s" % (command, origin.port, PLANTED_PATH)
    before = len(log_lines(proxy.access_log))
    status, headers, body = curl(proxy, url)
    assert status == 200, headers
    assert re.search(r"^Content-Type: text/html", headers, re.M | re.I), headers
    # Host and path of the request (the cache page names the whole URL).
    location = ESCAPED_PATH
    if command == "cache":
        location = "http://127.0.0.1:%d" % origin.port + location[len("127.0.0.1"):]
    assert body.startswith(b"<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n"
                           b"<html><head><title>%s " % title.encode()), body[:300]
    assert (b"<title>%s %s</title>" % (title.encode(), location.encode())) in body, body[:400]
    assert body.rstrip().endswith(b"</body></html>"), body[-200:]
    for text in shown:
        assert text in body, (command, text, body)
    assert_inert(body)
    # The page is the answer the record shows.
    record = last_record(proxy, before)
    assert re.match(r"127\.0\.0\.1 \S+/200 %d GET " % len(body), record), record
    assert record.endswith(" text/html"), record


def test_cache_page_of_a_stored_object(proxy_factory, origin):
    proxy = proxy_factory(extra_sections=cache_section())
    url = "http://127.0.0.1:%d/page.html" % origin.port
    assert curl(proxy, url)[0] == 200
    status, _, body = curl(proxy, "http://xx--cache.127.0.0.1:%d/page.html" % origin.port)
    assert status == 200
    assert (b"<title>Cache information for http://127.0.0.1:%d/page.html</title>"
            % origin.port) in body
    assert re.search(rb"<tr><td>Size</td><td>\d+ bytes</td></tr>", body), body
    assert b"<tr><td>MD5 sum</td><td>" in body
    assert b"<tr><td>Flags</td><td>CACHE_MEM" in body
    assert re.search(rb"<tr><td>Retrieved</td><td>\w{3}, \d\d \w{3} \d{4} [\d:]{8} GMT</td></tr>",
                     body), body
    # max-age gave the object an expiry; without Last-Modified there is no
    # such row.
    assert b"<tr><td>Expires</td><td>" in body and b"Last modified" not in body
    # The stored header, planted line escaped.
    assert b"X-Planted: &lt;script&gt;planted(5)&lt;/script&gt;" in body
    assert_inert(body)


def parent_that_connects_back(request, client):
    """A parent proxy that answers the proxy test: it opens a connection to
    the address of the request line and sends a request of its own making,
    with a planted header."""
    target = request.split(b" ", 2)[1]
    match = re.match(rb"http://([\d.]+):(\d+)/", target)
    if match:
        with socket.create_connection((match.group(1).decode(), int(match.group(2))), 5) as s:
            s.sendall(b"GET / HTTP/1.0\r\nHost: %s:%s\r\nVia: 1.0 <b>parent</b>\r\n"
                      b"X-Parent: <script>planted(7)</script>\r\n\r\n"
                      % (match.group(1), match.group(2)))
    return "close"


def silent_parent(request, client):
    return "close"


@pytest.mark.parametrize("connects_back", [True, False], ids=["connects-back", "silent"])
def test_proxy_test_through_a_parent(proxy_factory, origin_factory,  # noqa: F811
                                     connects_back):
    parent = origin_factory(parent_that_connects_back if connects_back else silent_parent)
    proxy = proxy_factory(timeout=2, extra_sections=forward_section(parent.port))
    status, _, body = curl(proxy, "http://xx--proxytest.example.test/x")
    assert status == 200
    assert b"<title>Proxy test for example.test/x</title>" in body
    assert parent.requests and parent.requests[0].startswith(b"GET http://127.0.0.1:")
    if connects_back:
        assert b"<tr><td>Headers received from 127.0.0.1:%d</td></tr>" % parent.port in body
        assert b"<pre>GET / HTTP/1.0\r\n" in body, body
        assert b"X-Parent: &lt;script&gt;planted(7)&lt;/script&gt;" in body
        assert b"Via: 1.0 &lt;b&gt;parent&lt;/b&gt;" in body
    else:
        assert b"<tr><td>127.0.0.1:%d failed to connect back</td></tr>" % parent.port in body
    assert_inert(body)


def keywords(threshold, *rules):
    entries = "".join(
        "<rules><enabled>true</enabled><comment>%s</comment><groups></groups><profiles></profiles>"
        "<mime_type>%s</mime_type><keyword>%s</keyword><score>%d</score></rules>" % rule
        for rule in rules)
    return ("<keywords-filtering><enabled>true</enabled><threshold>%d</threshold>"
            "<template></template>%s</keywords-filtering>" % (threshold, entries))


def test_score_page_shows_the_score_even_over_the_threshold(proxy_factory, origin):
    proxy = proxy_factory(extra_sections=keywords(
        3, ("scripts", "html", "planted", 2), ("images", "", "&lt;img", 4)))
    url = "http://xx--score.127.0.0.1:%d%s" % (origin.port, PLANTED_PATH)
    before = len(log_lines(proxy.access_log))
    status, _, body = curl(proxy, url)
    assert status == 200
    location = ESCAPED_PATH.encode()
    assert b"<title>Keyword score for %s</title>" % location in body
    assert (b"<tr class=\"dialoghead\"><td align=\"center\">Keyword score for %s</td></tr>\n"
            b"<tr><td align=\"center\">6</td></tr>" % location) in body, body
    assert_inert(body)
    record = last_record(proxy, before)
    assert re.match(r"127\.0\.0\.1 TCP_MISS/200 %d GET " % len(body), record), record
    # Without the command the same page is refused.
    status, _, body = curl(proxy, "http://127.0.0.1:%d/page.html" % origin.port)
    assert status == 403 and b"<title>Page Blocked</title>" in body


def planted_calls(driver):
    return driver.execute_script("return window.plantedCalls || [];")


def test_command_pages_in_chromium_render_and_run_nothing(proxy_factory, origin_factory,  # noqa: F811
                                                          chromium):  # noqa: F811
    """Chromium loads every page through the proxy. Each page first gets a
    "planted" function that records its calls, set up before any script of
    the page runs: a payload that ran would leave its number there."""
    from selenium.webdriver.common.by import By

    origin = origin_factory(origin_script)
    proxy = proxy_factory(profiles="&lt;b&gt;staff&lt;/b&gt;,plain",
                          extra_sections=keywords(100, ("scripts", "", "planted", 1)))
    driver = chromium(proxy.port, loopback=True)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {
        "source": "window.plantedCalls = []; window.planted = function (n) "
                  "{ window.plantedCalls.push(n); };"})
    driver.execute_cdp_cmd("Network.enable", {})
    driver.execute_cdp_cmd("Network.setUserAgentOverride", {"userAgent": PLANTED_AGENT})

    # The origin's page itself runs its scripts: the trap works.
    driver.get("http://127.0.0.1:%d/page.html" % origin.port)
    assert wait_for(lambda: 3 in planted_calls(driver), 10), planted_calls(driver)

    # command -> a text its page shows (the escaped markup among them).
    shown = {
        "htmltree": "a href=\"/next\"", "variables": "Name", "raw": "<html><head>",
        "headers": "X-Planted: <script>planted(5)</script>", "profiles": "<b>staff</b>",
        "limits": "Download limit", "proxytest": "Not forwarding through HTTP proxy",
        "cache": "Nothing found", "score": "Keyword score for",
    }
    titles = dict((command, title) for command, title, _ in PAGE_CASES)
    titles["score"] = "Keyword score for"
    for command, text in shown.items():
        driver.get("http://xx--%s.localhost:%d/page.html?q=%%22%%3E%%3Cscript%%3E"
                   % (command, origin.port))
        body = driver.find_element(By.TAG_NAME, "body")
        assert text in body.text, (command, body.text[:500])
        assert driver.title.startswith(titles[command] + " "), driver.title
        # Escaped markup shows as text, and nothing planted ran.
        assert planted_calls(driver) == [], (command, planted_calls(driver))
        assert driver.find_elements(By.CSS_SELECTOR, "script, img[onerror], a[onclick]") == [], \
            command
