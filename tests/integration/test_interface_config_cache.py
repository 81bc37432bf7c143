"""The configuration, load and save pages and the cache browser as an
administrator uses them in headless Chromium, and what they refuse: a
change that is not the posted form with the session's token, files and
URLs outside the configuration, a flawed file, and scripts planted through
the proxy (cache keys, patterns, section values, file names)."""
import os
import re
import subprocess
import time
from urllib.parse import urlencode
from xml.sax.saxutils import escape

import pytest

from browser import chromium, wait_for_element  # noqa: F401 (pytest fixture)
from conftest import (ACCESS_ALL, Daemon, HttpReader, ScriptedHTTPServer, config_text,
                      fixed_answer, read_text, wait_for)
from test_cache import cache_section
from test_interface_login import PASSWORD, USER

REFERER = "http://kestrivan/"
LATER = str(time.gmtime().tm_year + 1)
# Bounds that take in objects stored during the current minute too.
WINDOW = {"mbyear": LATER, "abyear": LATER}


def admin_config(workdir):
    """A configuration in a folder of its own: interface access with a
    login, and the cache."""
    folder = os.path.join(workdir, "etc")
    os.makedirs(folder, exist_ok=True)
    text = config_text(rights=ACCESS_ALL + ",interface", extra_sections=cache_section())
    text = text.replace("<interface-user></interface-user>",
                        "<interface-user>%s</interface-user>" % escape(USER))
    text = text.replace("<interface-password></interface-password>",
                        "<interface-password>%s</interface-password>" % escape(PASSWORD))
    path = os.path.join(folder, "kestrivan.xml")
    with open(path, "w") as f:
        f.write(text)
    return path


@pytest.fixture
def origin():
    server = ScriptedHTTPServer(fixed_answer(b"cached body\n"))
    yield server
    server.stop()


@pytest.fixture
def admin(workdir):
    daemon = Daemon(workdir, config=admin_config(workdir))
    daemon.start()
    daemon.wait_listening()
    yield daemon
    daemon.stop()


def plant(daemon, origin, path):
    """Fetches the origin's path through the proxy (raw bytes, as a client
    may send them), so that it is cached under that key."""
    request = (b"GET http://127.0.0.1:%d%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
               b"Connection: close\r\n\r\n" % (origin.port, path.encode("latin-1"), origin.port))
    with daemon.connect() as client:
        client.sendall(request)
        status, _, body = HttpReader(client).response()
    assert " 200 " in status and body == b"cached body\n", (path, status, body)


def page(daemon, path, data=None, cookie=None, referer=REFERER):
    """(status, headers, body text) of one interface request through curl."""
    args = ["curl", "-s", "-i", "--max-time", "10", "-x", "http://127.0.0.1:%d" % daemon.port,
            "http://kestrivan" + path]
    if referer:
        args += ["-H", "Referer: " + referer]
    if cookie:
        args += ["-H", "Cookie: login=" + cookie]
    if data is not None:
        args += ["--data-binary", urlencode(data) if isinstance(data, dict) else data]
    out = subprocess.run(args, capture_output=True, timeout=20).stdout
    head, _, body = out.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.setdefault(name.strip().lower(), value.strip())
    return int(lines[0].split()[1]), headers, body.decode("latin-1")


def login(daemon):
    """(session cookie, form token) of a fresh login."""
    _, headers, _ = page(daemon, "/", {"username": USER, "password": PASSWORD})
    cookie = re.match(r"login=([0-9a-f]{64});", headers["set-cookie"]).group(1)
    _, _, body = page(daemon, "/save", cookie=cookie)
    token = re.search(r'name="token" value="([0-9a-f]{64})"', body).group(1)
    return cookie, token


def listing(daemon, cookie, token, **extra):
    arguments = dict(WINDOW, show="yes", token=token, **extra)
    return page(daemon, "/cache", arguments, cookie=cookie)[2]


def refresh_rule_id(daemon, cookie):
    _, _, body = page(daemon, "/config", {"section": "cache"}, cookie=cookie)
    return re.search(r'name="action" value="delete"><input type="hidden" name="id" '
                     r'value="(\d+)"', body).group(1)


def test_a_change_needs_the_posted_form_and_its_token(admin, origin):
    d = admin
    config_path = os.path.join(d.workdir, "etc", "kestrivan.xml")
    saved = read_text(config_path)
    plant(d, origin, "/object")
    cookie, token = login(d)
    rule = refresh_rule_id(d, cookie)
    other_cookie, other_token = login(d)
    assert other_token != token

    refused = [
        # (method, path, arguments): a link, a forged form, another session's token
        ("GET", "/config", {"section": "cache", "action": "delete", "id": rule, "token": token}),
        ("POST", "/config", {"section": "cache", "action": "delete", "id": rule}),
        ("POST", "/config", {"section": "cache", "action": "delete", "id": rule,
                             "token": other_token}),
        ("GET", "/save", {"filename": config_path, "token": token}),
        ("POST", "/save", {"filename": config_path}),
        ("GET", "/load", {"filename": config_path, "overwrite": "yes", "token": token}),
        ("POST", "/load", {"filename": config_path, "overwrite": "yes"}),
        ("GET", "/cache", dict(WINDOW, show="yes", delete="on", token=token)),
        ("POST", "/cache", dict(WINDOW, show="yes", delete="on", token=other_token)),
    ]
    os.utime(config_path, (1000000000, 1000000000))
    for method, path, arguments in refused:
        if method == "GET":
            body = page(d, path + "?" + urlencode(arguments), cookie=cookie)[2]
        else:
            body = page(d, path, arguments, cookie=cookie)[2]
        assert "Nothing was changed" in body, (method, path, arguments)
        assert "File saved" not in body and "File loaded" not in body
        assert os.stat(config_path).st_mtime == 1000000000, (method, path)
    assert refresh_rule_id(d, cookie) == rule
    assert "listed 1 files" in listing(d, cookie, token)
    assert read_text(config_path) == saved

    # The same changes posted with the token are made.
    body = page(d, "/cache", dict(WINDOW, show="yes", delete="on", token=token), cookie=cookie)[2]
    assert "deleted 1 files" in body
    assert "listed 0 files" in listing(d, cookie, token)
    body = page(d, "/config", {"section": "cache", "subsection": "refresh", "action": "delete",
                               "id": rule, "token": token}, cookie=cookie)[2]
    assert "Nothing was changed" not in body and 'value="delete"' not in body
    body = page(d, "/save", {"filename": config_path, "token": token}, cookie=cookie)[2]
    assert "File saved" in body
    assert "<refresh>" not in read_text(config_path)
    # A logged-out session's token is worth nothing.
    page(d, "/logout", cookie=other_cookie)
    body = page(d, "/save", {"filename": config_path, "token": other_token},
                cookie=other_cookie)[2]
    assert "File saved" not in body


def test_a_configuration_loads_while_clients_keep_the_proxy_busy(admin, origin, workdir):
    """A load writes every section while the request threads read them
    dozens of times per request: each load is applied within seconds, and
    the clients get every answer meanwhile."""
    d = admin
    config_path = os.path.join(workdir, "etc", "kestrivan.xml")
    cookie, token = login(d)
    assert "File saved" in page(d, "/save", {"filename": config_path, "token": token},
                                cookie=cookie)[2]
    plant(d, origin, "/busy")  # answered from the cache from now on
    script = os.path.join(workdir, "busy.lua")
    with open(script, "w") as f:
        f.write('wrk.path = "http://127.0.0.1:%d/busy"\n'
                'wrk.headers["Host"] = "127.0.0.1:%d"\n' % (origin.port, origin.port))
    busy = subprocess.Popen(["wrk", "-t2", "-c64", "-d6s", "--timeout", "5s", "-s", script,
                             "http://127.0.0.1:%d/" % d.port],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        time.sleep(1)
        for _ in range(5):
            started = time.monotonic()
            body = page(d, "/load", {"filename": config_path, "overwrite": "yes",
                                     "token": token}, cookie=cookie)[2]
            assert "File loaded" in body
            assert time.monotonic() - started < 5
    finally:
        report = busy.communicate(timeout=60)[0].decode()
    assert "Non-2xx" not in report and "Socket errors" not in report, report
    assert int(re.search(r"(\d+) requests in", report).group(1)) > 1000, report


def test_load_and_save_stay_with_the_configuration(admin, origin, workdir):
    d = admin
    folder = os.path.join(workdir, "etc")
    config_path = os.path.join(folder, "kestrivan.xml")
    outside = os.path.join(workdir, "outside.xml")
    with open(outside, "w") as f:
        f.write(read_text(config_path))
    os.symlink(outside, os.path.join(folder, "link.xml"))
    cookie, token = login(d)
    url = "http://127.0.0.1:%d/steal.xml" % origin.port

    cases = [
        # (page, filename, what the page says)
        ("/load", outside, "only files under the configuration directory"),
        ("/load", "../outside.xml", "only files under the configuration directory"),
        ("/load", os.path.join(folder, "link.xml"), "only files under the configuration"),
        ("/load", "/etc/passwd", "only files under the configuration directory"),
        ("/load", url, "URLs are not fetched"),
        ("/save", os.path.join(folder, "other.xml"), "saved only to the configuration file"),
        ("/save", outside, "saved only to the configuration file"),
        ("/save", os.path.join(workdir, "new.xml"), "saved only to the configuration file"),
    ]
    before = os.stat(outside).st_mtime_ns
    for path, filename, says in cases:
        body = page(d, path, {"filename": filename, "overwrite": "yes", "token": token},
                    cookie=cookie)[2]
        assert ("Load failed" if path == "/load" else "Saved failed") in body, filename
        assert says in body, (filename, body)
    assert origin.requests == []
    assert os.stat(outside).st_mtime_ns == before
    assert not os.path.exists(os.path.join(folder, "other.xml"))
    assert not os.path.exists(os.path.join(workdir, "new.xml"))

    # A flawed file: the page names the fault, the daemon keeps running with
    # its old values.
    flawed = os.path.join(folder, "flawed.xml")
    with open(flawed, "w") as f:
        f.write(read_text(config_path).replace("<max_size>8M</max_size>",
                                               "<max_size>huge</max_size>")
                .replace("<comment>all</comment>", "<comment>from the flawed file</comment>"))
    body = page(d, "/load", {"filename": "flawed.xml", "overwrite": "yes", "token": token},
                cookie=cookie)[2]
    assert "Load failed" in body and "max_size" in body, body
    assert d.running()
    body = page(d, "/config", {"section": "cache"}, cookie=cookie)[2]
    assert ">all<" in body and "from the flawed file" not in body
    # A file that is not XML at all.
    with open(flawed, "w") as f:
        f.write("<kestrivan><cache>")
    body = page(d, "/load", {"filename": flawed, "overwrite": "yes", "token": token},
                cookie=cookie)[2]
    assert "Load failed" in body and "cannot be loaded" in body
    assert d.running()


def login_in_browser(browser, path="/"):
    from selenium.webdriver.common.by import By
    browser.get("http://kestrivan" + path)
    browser.find_element(By.NAME, "username").send_keys(USER)
    browser.find_element(By.NAME, "password").send_keys(PASSWORD)
    browser.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
    wait_for_element(browser, By.LINK_TEXT, "Config")


def submit(browser, field):
    """Clicks the submit button of the field's form (a form the page opens
    in one table cell owns buttons of the next) and waits for the answer."""
    from selenium.webdriver.common.by import By
    old = browser.find_element(By.TAG_NAME, "html")
    button = browser.execute_script(
        "var form = arguments[0].form;"
        "return Array.prototype.find.call(form.elements,"
        " function (e) { return e.type === 'submit'; });", field)
    button.click()
    wait_for(lambda: _stale(old), 10)


def _stale(element):
    from selenium.common.exceptions import StaleElementReferenceException, WebDriverException
    try:
        element.is_enabled()
        return False
    except StaleElementReferenceException:
        return True
    except WebDriverException as error:
        # Asked while the old document is being replaced, the driver can
        # answer with an inspector error: not settled yet, ask again.
        if "inspector" in str(error):
            return False
        raise


def form_of(browser, field_name):
    """A field of the form holding the named field (the field itself)."""
    from selenium.webdriver.common.by import By
    return browser.find_element(By.NAME, field_name)


def cache_search(browser, pattern, delete=False):
    """Fills the cache search form (bounds reaching into next year) and
    sends it."""
    from selenium.webdriver.common.by import By
    for name in ("pattern", "mbyear", "abyear"):
        field = browser.find_element(By.NAME, name)
        field.clear()
        field.send_keys(pattern if name == "pattern" else LATER)
    if delete:
        browser.find_element(By.NAME, "delete").click()
    submit(browser, form_of(browser, "pattern"))


def choose_section(browser, name):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select
    Select(browser.find_element(By.NAME, "section")).select_by_value(name)
    submit(browser, form_of(browser, "section"))


def test_administrator_edits_saves_loads_and_browses_the_cache(admin, origin, workdir, chromium):
    from selenium.webdriver.common.by import By
    d = admin
    folder = os.path.join(workdir, "etc")
    config_path = os.path.join(folder, "kestrivan.xml")
    for path in ("/keep/one", "/keep/two", "/drop/three"):
        plant(d, origin, path)
    browser = chromium(d.port)
    login_in_browser(browser)

    # Edit the cache section's rule.
    browser.find_element(By.LINK_TEXT, "Config").click()
    choose_section(browser, "cache")
    assert "cache section" in browser.page_source
    browser.find_element(By.LINK_TEXT, "Edit").click()
    comment = browser.find_element(By.CSS_SELECTOR, "input[value='all']")
    comment.clear()
    comment.send_keys("edited rule")
    submit(browser, comment)
    assert "edited rule" in browser.page_source

    # Save: the form names the configuration file.
    browser.find_element(By.LINK_TEXT, "Save settings").click()
    assert browser.find_element(By.NAME, "filename").get_attribute("value") == config_path
    submit(browser, form_of(browser, "filename"))
    assert "File saved" in browser.page_source
    assert "<comment>edited rule</comment>" in read_text(config_path)

    # Load another file of the configuration's folder over it.
    with open(os.path.join(folder, "other.xml"), "w") as f:
        f.write(read_text(config_path).replace("edited rule", "loaded rule"))
    browser.find_element(By.LINK_TEXT, "Load settings").click()
    field = browser.find_element(By.NAME, "filename")
    field.clear()
    field.send_keys("other.xml")
    submit(browser, form_of(browser, "filename"))
    assert "File loaded" in browser.page_source
    browser.find_element(By.LINK_TEXT, "Config").click()
    choose_section(browser, "cache")
    assert "loaded rule" in browser.page_source and "edited rule" not in browser.page_source

    # Browse the cache, then delete what a pattern matches.
    browser.find_element(By.LINK_TEXT, "View cache entries").click()
    assert "Cache information" in browser.page_source
    cache_search(browser, "/keep/")
    links = [a.get_attribute("href") for a in browser.find_elements(By.CSS_SELECTOR, "table.list a")]
    assert sorted(links) == ["http://xx--cache.127.0.0.1:%d/keep/%s" % (origin.port, name)
                             for name in ("one", "two")]
    assert "listed 2 files" in browser.page_source
    cache_search(browser, "drop", delete=True)
    assert "deleted 1 files" in browser.page_source
    cache_search(browser, "")
    assert "listed 2 files" in browser.page_source and "/drop/three" not in browser.page_source


# Scripts planted through the proxy and the pages' own arguments: none may
# run. Each sets window.__xss when it runs.
PLANTED_KEYS = [
    '/p1/"><script>window.__xss=1</script>',
    "/p2/'><img/src=x/onerror=window.__xss=2>",
    "/p3?q=<svg/onload=window.__xss=3>",
    "/p4/</a><script>window.__xss=4</script>",
]
PATTERN = '/p[1-4]|"><script>window.__xss=5</script>'


def test_no_planted_script_runs(admin, origin, chromium):
    from selenium.webdriver.common.by import By
    d = admin
    for path in PLANTED_KEYS:
        plant(d, origin, path)
    browser = chromium(d.port)
    login_in_browser(browser)

    def no_script_ran(where):
        assert browser.execute_script("return window.__xss === undefined"), where

    browser.find_element(By.LINK_TEXT, "View cache entries").click()
    cache_search(browser, PATTERN)
    no_script_ran("cache listing")
    assert "listed 4 files" in browser.page_source
    assert browser.find_element(By.NAME, "pattern").get_attribute("value") == PATTERN
    shown = browser.find_element(By.CSS_SELECTOR, "table.list").text
    for path in PLANTED_KEYS:
        assert "127.0.0.1:%d%s" % (origin.port, path) in shown
    for link in browser.find_elements(By.CSS_SELECTOR, "table.list a"):
        assert link.get_attribute("href").startswith("http://xx--cache.127.0.0.1:")
    cache_search(browser, "(unclosed<script>window.__xss=6</script>", delete=True)
    no_script_ran("pattern that does not compile")
    assert "does not compile" in browser.page_source and "nothing was listed or deleted" in \
        browser.page_source
    cache_search(browser, "")
    assert "listed 4 files" in browser.page_source

    # A section value, search patterns and a section name.
    browser.find_element(By.LINK_TEXT, "Config").click()
    choose_section(browser, "cache")
    browser.find_element(By.LINK_TEXT, "Edit").click()
    comment = browser.find_element(By.CSS_SELECTOR, "input[value='all']")
    comment.clear()
    comment.send_keys('"><script>window.__xss=7</script>')
    submit(browser, comment)
    no_script_ran("section value")
    assert '"><script>window.__xss=7</script>' in browser.find_element(By.TAG_NAME, "body").text
    field = browser.find_element(By.NAME, "matchvalue")
    field.send_keys('<script>window.__xss=8</script>|xss')
    submit(browser, form_of(browser, "matchvalue"))
    no_script_ran("search pattern")
    assert browser.find_element(By.NAME, "matchvalue").get_attribute("value") == \
        '<script>window.__xss=8</script>|xss'
    browser.execute_script(
        "var o = document.createElement('option');"
        "o.value = '<img src=x onerror=window.__xss=9>'; o.text = 'probe';"
        "document.getElementsByName('section')[0].appendChild(o);")
    from selenium.webdriver.support.ui import Select
    Select(browser.find_element(By.NAME, "section")).select_by_visible_text("probe")
    submit(browser, form_of(browser, "section"))
    no_script_ran("section name")
    assert "No section is named" in browser.page_source

    # A file name on the load page.
    browser.find_element(By.LINK_TEXT, "Load settings").click()
    field = browser.find_element(By.NAME, "filename")
    field.clear()
    field.send_keys("<img src=x onerror=window.__xss=10>.xml")
    submit(browser, form_of(browser, "filename"))
    no_script_ran("file name")
    assert "Load failed" in browser.page_source
