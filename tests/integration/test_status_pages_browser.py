"""The status pages in a real browser (headless Chromium through the proxy)
as an administrator reads them: log in, then the connections, log,
statistics, DNS cache and pool pages. And the probe table: hostile values
planted through the proxy (URLs, hosts, user names, header values, MIME
types, log patterns) show as text and never run a script."""
import base64
import socket
import threading
import time

import pytest
from selenium.webdriver.common.by import By

from browser import chromium, wait_for_element  # noqa: F401 (pytest fixture)
from conftest import ScriptedHTTPServer, wait_for
from test_interface_login import PASSWORD, USER, login_config

# Sets a mark a test can see, were it ever run as markup.
PAYLOAD = "<svg/onload=window.pwned=1>"


def log_in(browser):
    browser.get("http://kestrivan/")
    browser.find_element(By.NAME, "username").send_keys(USER)
    browser.find_element(By.NAME, "password").send_keys(PASSWORD)
    browser.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
    wait_for_element(browser, By.LINK_TEXT, "Active connections")


def open_page(browser, link):
    browser.get("http://kestrivan/")
    browser.find_element(By.LINK_TEXT, link).click()
    wait_for_element(browser, By.CSS_SELECTOR, "body")
    return browser


def ran_a_script(browser):
    return browser.execute_script("return window.pwned !== undefined")


def cells(browser):
    return [e.text for e in browser.find_elements(By.CSS_SELECTOR, "table.list td")]


def send_raw(daemon, request, wait=True):
    """Sends a request on a new connection; the answer (b"" when none came
    within the time limit)."""
    with daemon.connect(timeout=10) as s:
        s.sendall(request)
        if not wait:
            return b""
        answer = b""
        try:
            while True:
                piece = s.recv(65536)
                if not piece:
                    break
                answer += piece
                if b"\r\n\r\n" in answer:
                    break
        except socket.timeout:
            pass
        return answer


def slow_answer(handler):
    """Answers after three seconds, so a request stays on the connections page."""
    time.sleep(3)
    body = b"slow\n"
    handler.send_response(200)
    handler.send_header("Content-Type", "text/plain")
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


def hostile_type_answer(handler):
    body = b"typed\n"
    handler.send_response(200)
    handler.send_header("Content-Type", "text/" + PAYLOAD)
    handler.send_header("Content-Length", str(len(body)))
    handler.send_header("Cache-Control", "no-store")
    handler.end_headers()
    handler.wfile.write(body)


@pytest.fixture
def origins():
    servers = {"slow": ScriptedHTTPServer(slow_answer),
               "typed": ScriptedHTTPServer(hostile_type_answer)}
    yield servers
    for server in servers.values():
        server.stop()


@pytest.fixture
def admin(daemon_factory, workdir, chromium):
    # Debug lines carry the request headers into the log buffer.
    d = daemon_factory(config=login_config(workdir), extra_args=["-d", str(0x0FFFFFFF)]).start()
    d.wait_listening()
    browser = chromium(d.port)
    log_in(browser)
    return d, browser


def test_administrator_reads_the_status_pages(admin, origins):
    d, browser = admin
    slow = origins["slow"]
    # A request through "localhost" fills the DNS cache and leaves a pooled
    # upstream connection; another stays in progress for the connections page.
    answer = send_raw(d, b"GET http://localhost:%d/quick HTTP/1.1\r\nHost: localhost\r\n"
                         b"Connection: close\r\n\r\n" % origins["typed"].port)
    assert answer.startswith(b"HTTP/1.1 200"), answer
    pending = threading.Thread(target=send_raw, args=(
        d, b"GET http://127.0.0.1:%d/in-progress HTTP/1.1\r\nHost: x\r\n\r\n" % slow.port))
    pending.start()
    try:
        assert wait_for(lambda: len(slow.requests) == 1, timeout=5)
        open_page(browser, "Active connections")
        texts = cells(browser)
        assert "Transferring" in texts and "Client pool" in texts
        assert "http://127.0.0.1:%d/in-progress" % slow.port in texts, texts
        assert "http://kestrivan:80/connections" in texts  # the page's own request
    finally:
        pending.join(timeout=10)

    open_page(browser, "DNS cache")
    texts = cells(browser)
    assert texts[:3] == ["Hostname", "IP address", "Age"]
    assert "localhost" in texts and "127.0.0.1" in texts

    open_page(browser, "Connection pool")
    texts = cells(browser)
    assert texts[:5] == ["Protocol", "Host", "Port", "Username", "Age"]
    assert ("localhost" in texts or "127.0.0.1" in texts) and "(none)" in texts, texts

    open_page(browser, "Statistics")
    heads = [e.text for e in browser.find_elements(By.CSS_SELECTOR, "td.listhead")]
    assert heads == ["system", "requests", "network", "DNS cache", "cache", "cache refresh",
                     "connection pool", "hosts", "mimes", "users", "ip addresses"]

    # The log: search, then shrink and clear through the form.
    open_page(browser, "View log entries")
    field = browser.find_element(By.NAME, "pattern")
    field.send_keys("allowed connect")
    browser.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
    wait_for_element(browser, By.NAME, "pattern")
    lines = [e.text for e in browser.find_elements(By.CSS_SELECTOR, "table.list td")]
    assert lines and all("allowed connect" in line.lower() for line in lines), lines
    size = browser.find_element(By.NAME, "size")
    size.clear()
    size.send_keys("5")
    browser.find_element(By.NAME, "clear").click()
    browser.find_element(By.NAME, "pattern").clear()
    browser.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
    wait_for_element(browser, By.NAME, "size")
    assert browser.find_element(By.NAME, "size").get_attribute("value") == "5"
    assert len(browser.find_elements(By.CSS_SELECTOR, "table.list td")) <= 5


def plant_url(d, origins):
    """A URL with markup in its path, in progress while the page is read."""
    slow = origins["slow"]
    request = (b"GET http://127.0.0.1:%d/wait/%s HTTP/1.1\r\nHost: x\r\n\r\n"
               % (slow.port, PAYLOAD.encode()))
    thread = threading.Thread(target=send_raw, args=(d, request))
    thread.start()
    wait_for(lambda: len(slow.requests) >= 1, timeout=5)
    return thread


def plant_nothing(d, origins):
    pass


def plant_host(d, origins):
    for request in [b"GET / HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % PAYLOAD.encode(),
                    b"GET http://%s/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
                    % PAYLOAD.encode()]:
        send_raw(d, request)


def plant_user(d, origins):
    credentials = base64.b64encode(PAYLOAD.encode() + b":secret")
    send_raw(d, b"GET http://127.0.0.1:%d/u HTTP/1.1\r\nHost: x\r\n"
                b"Proxy-Authorization: Basic %s\r\nConnection: close\r\n\r\n"
                % (origins["typed"].port, credentials))
    send_raw(d, b"GET ftp://%s@127.0.0.1:1/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
             % PAYLOAD.replace("/", "%2F").encode())


def plant_mime(d, origins):
    send_raw(d, b"GET http://127.0.0.1:%d/typed HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
             % origins["typed"].port)


def search_log_for_payload(browser):
    field = browser.find_element(By.NAME, "pattern")
    field.send_keys('"><svg/onload=window.pwned=1>')
    browser.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
    wait_for_element(browser, By.NAME, "pattern")


def send_probe_header(browser):
    """The browser's own requests carry the header; "/headers" shows them."""
    browser.execute_cdp_cmd("Network.enable", {})
    browser.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {"X-Probe": PAYLOAD}})
    browser.refresh()
    wait_for_element(browser, By.CSS_SELECTOR, "table.list")


# (what is planted, how, the menu entries whose pages are read, a text
# that must show on the first of them as text, or None, and an action on it)
PROBES = [
    ("url", plant_url, ["Active connections", "View log entries"], "/wait/" + PAYLOAD, None),
    ("header value", plant_nothing, ["Show headers"], PAYLOAD, send_probe_header),
    ("host", plant_host, ["Statistics", "DNS cache", "Connection pool", "View log entries"], None, None),
    ("user name", plant_user, ["Statistics", "Connection pool", "View log entries"], None, None),
    ("mime type", plant_mime, ["Statistics"], "text/" + PAYLOAD, None),
    ("log pattern", plant_nothing, ["View log entries"], None, search_log_for_payload),
]


@pytest.mark.parametrize("name,plant,links,shown,action", PROBES, ids=[p[0] for p in PROBES])
def test_planted_values_never_run_a_script(admin, origins, name, plant, links, shown, action):
    d, browser = admin
    planted = plant(d, origins)
    try:
        for i, link in enumerate(links):
            open_page(browser, link)
            if action is not None:
                action(browser)
            assert not ran_a_script(browser), (name, link)
            if i == 0 and shown is not None:
                # Long log lines are wrapped at the configured line length.
                text = browser.find_element(By.TAG_NAME, "body").text.replace("\n", "")
                assert shown in text, (name, link)
    finally:
        if planted is not None:
            planted.join(timeout=10)
    if action is search_log_for_payload:
        value = browser.find_element(By.NAME, "pattern").get_attribute("value")
        assert value == '"><svg/onload=window.pwned=1>'
    assert d.running()
