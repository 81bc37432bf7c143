"""The web interface of a running daemon: the configuration document "/xml"
a slave copies, the DN cache document "/ldapcache" another instance copies,
the pages "/password" and "/ldap" inside the interface frame, the routing
(templates, the slash redirect, page matching, the Referer guard), and the
"noaccess" page for a client whose access rule does not grant the
interface."""
import calendar
import email.utils
import os
import subprocess
import time

import pytest

from conftest import CONFIG, Daemon, ScriptedHTTPServer, free_port, read_text, wait_for
from test_request_road import native_lines, parse_native

NOACCESS = "You are not allowed to use this service."
MENU = '<tr class="topmenu"><td>Top Menu</td></tr>'
REFERER = ("-H", "Referer: http://kestrivan/")


def curl(daemon, target, *extra, proxy=True):
    """(status, headers with lower-cased names, body) of one request through
    curl: proxy form through the daemon, or origin form straight to it."""
    args = ["curl", "-s", "-i", "--max-time", "10"] + list(extra)
    if proxy:
        args += ["-x", "http://127.0.0.1:%d" % daemon.port, "http://kestrivan" + target]
    else:
        args += ["http://127.0.0.1:%d/kestrivan%s" % (daemon.port, target)]
    out = subprocess.run(args, capture_output=True, timeout=20).stdout
    head, _, body = out.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(lines[0].split()[1]), headers, body


def config_with_rights(workdir, rights):
    path = os.path.join(workdir, "rights.xml")
    with open(path, "w") as f:
        f.write(read_text(CONFIG).replace("<access>interface,proxy</access>",
                                          "<access>%s</access>" % rights))
    return path


@pytest.mark.parametrize("proxy", [True, False], ids=["proxy-form", "origin-form"])
def test_xml_is_the_configuration_stamped_in_universal_time(daemon_factory, monkeypatch, proxy):
    # Away from universal time, so a stamp written in local time shows.
    monkeypatch.setenv("TZ", "Asia/Kolkata")
    before = int(time.time())
    d = daemon_factory().start()
    after = int(time.time())
    status, headers, body = curl(d, "/xml", proxy=proxy)
    assert status == 200
    assert headers["content-type"] == "text/xml"
    assert headers["cache-control"] == "no-store"
    assert headers["last-modified"].endswith(" GMT")
    stamp = calendar.timegm(email.utils.parsedate(headers["last-modified"]))
    assert before - 1 <= stamp <= after + 1, headers["last-modified"]
    assert int(headers["content-length"]) == len(body)
    text = body.decode()
    assert "<kestrivan>" in text and "</kestrivan>" in text
    assert "<comment>Local listener</comment>" in text
    assert "<poolsize>20</poolsize>" in text
    assert d.running()


def test_ldapcache_is_served_with_its_load_stamp(daemon_factory):
    before = int(time.time())
    d = daemon_factory().start()
    after = int(time.time())
    status, headers, body = curl(d, "/ldapcache")
    assert status == 200
    assert headers["content-type"] == "text/xml"
    assert headers["cache-control"] == "no-store"
    assert int(headers["content-length"]) == len(body)
    # Nothing was looked up: an empty document stamped at start-up.
    assert body == b""
    stamp = calendar.timegm(email.utils.parsedate(headers["last-modified"]))
    assert before - 1 <= stamp <= after + 1, headers["last-modified"]


@pytest.mark.parametrize("target", ["/xml", "/ldapcache", "/password", "/ldap", "/userstats",
                                    "/stats"])
def test_a_client_without_interface_rights_gets_noaccess(daemon_factory, workdir, target):
    d = daemon_factory(config=config_with_rights(workdir, "proxy")).start()
    status, headers, body = curl(d, target)
    assert status == 403  # what the record says
    assert headers["content-type"].startswith("text/html")
    text = body.decode()
    assert NOACCESS in text
    assert "<kestrivan" not in text and "Generate Encrypted Password" not in text
    assert "<table class=\"smalldialog\">" not in text
    assert "web interface refused by the access rules" in d.log()
    # The refusal is on the access log as what it is.
    assert wait_for(lambda: "TCP_DENIED/403" in read_text(d.access_log)), read_text(d.access_log)
    line = read_text(d.access_log).strip().splitlines()[-1]
    assert "http://kestrivan:80" + target in line and "DIRECT/kestrivan" in line, line


def test_templates_are_served_to_anyone(daemon_factory, workdir):
    d = daemon_factory(config=config_with_rights(workdir, "proxy")).start()
    for target in ["/template/logo", "/TEMPLATE/logo"]:
        status, headers, body = curl(d, target)
        assert status == 200 and headers["content-type"] == "image/gif", target
        assert body.startswith(b"GIF8")
    status, _, body = curl(d, "/template/logo", proxy=False)
    assert status == 200 and body.startswith(b"GIF8")
    status, _, body = curl(d, "/template/no-such-page")
    assert status == 404 and b"could not be completed" in body
    # "/templatex" is a page path like any other: behind the gate.
    _, _, body = curl(d, "/templatex")
    assert NOACCESS in body.decode()


# An entry that names no status: the page goes out with the status its
# caller gives, as the built-in page would; an entry that names one sends it,
# and the record shows the status the client got. (case, page, status
# element, request, status line, whether the answer has an access-log line;
# interface pages have none)
TEMPLATE_STATUS = [
    ("logo", "logo", "", "GET http://kestrivan/template/logo HTTP/1.1\r\nHost: kestrivan\r\n",
     "HTTP/1.1 200 OK", False),
    ("noconnect", "noconnect", "",
     "GET http://127.0.0.1:%(closed)d/x HTTP/1.1\r\nHost: 127.0.0.1\r\n",
     "HTTP/1.1 503 Service Unavailable", True),
    ("noconnect named 502", "noconnect", "<status>502</status>",
     "GET http://127.0.0.1:%(closed)d/x HTTP/1.1\r\nHost: 127.0.0.1\r\n",
     "HTTP/1.1 502 Bad Gateway", True),
    ("blocked named 410", "blocked", "<status>410</status>",
     "GET http://refused.test/x HTTP/1.1\r\nHost: refused.test\r\n",
     "HTTP/1.1 410 Gone", True),
]

# A URL filter rule that refuses the host "refused.test".
REFUSING_URL_RULE = (
    "<url-filtering><enabled>true</enabled><order>allow-by-default</order><template></template>"
    "<deny><enabled>true</enabled><comment>t</comment><groups></groups><profiles></profiles>"
    "<host>^refused\\.test$</host><path></path><addresses></addresses><template></template>"
    "</deny></url-filtering>")


@pytest.mark.parametrize("page,status_element,request_head,status_line,logged",
                         [case[1:] for case in TEMPLATE_STATUS],
                         ids=[case[0] for case in TEMPLATE_STATUS])
def test_a_template_entry_answers_with_its_status_or_the_callers(
        proxy_factory, workdir, page, status_element, request_head, status_line, logged):
    with open(os.path.join(workdir, "page.txt"), "wb") as f:
        f.write(b"configured page\n")
    templates = ("<templates><templatedir>%s</templatedir><template><enabled>true</enabled>"
                 "<name>%s</name><file>page.txt</file><mimetype>text/plain</mimetype>"
                 "<type>file</type>%s</template></templates>" % (workdir, page, status_element))
    proxy = proxy_factory(extra_sections=templates + REFUSING_URL_RULE)
    with proxy.connect() as client:
        client.sendall((request_head % {"closed": free_port()}
                        + "Connection: close\r\n\r\n").encode())
        received = b""
        while True:
            piece = client.recv(65536)
            if not piece:
                break
            received += piece
    assert received.split(b"\r\n", 1)[0].decode() == status_line, received[:200]
    assert received.endswith(b"\r\n\r\nconfigured page\n"), received
    if logged:
        assert wait_for(lambda: native_lines(proxy)), read_text(proxy.access_log)
        assert parse_native(native_lines(proxy)[-1])["status"] == status_line.split(" ")[1]


def test_origin_form_paths_without_slash_are_redirected(daemon_factory):
    d = daemon_factory().start()
    for path in ["/kestrivan", "/kestrivanx", "/KESTRIVAN"]:
        out = subprocess.run(["curl", "-s", "-i", "--max-time", "10",
                              "http://127.0.0.1:%d%s" % (d.port, path)],
                             capture_output=True, timeout=20).stdout.decode("latin-1")
        head = out.split("\r\n\r\n", 1)[0]
        assert head.startswith("HTTP/1.1 302"), (path, out)
        assert "\r\nLocation: kestrivan/\r\n" in head and "\r\nContent-Length: 0" in head
    # With the slash the menu shows; curl follows the redirect there.
    out = subprocess.run(["curl", "-s", "-L", "--max-time", "10",
                          "http://127.0.0.1:%d/kestrivan" % d.port],
                         capture_output=True, timeout=20).stdout.decode()
    assert MENU in out and '<a href="connections">Active connections</a>' in out


def test_pages_frame_headers_and_matching(daemon_factory, monkeypatch):
    monkeypatch.setenv("TZ", "America/New_York")
    d = daemon_factory(extra_args=["-H", "proxy<b>&\"x"]).start()
    status, headers, body = curl(d, "/ldap")
    text = body.decode()
    assert status == 200
    assert headers["cache-control"] == "no-store"
    assert int(headers["content-length"]) == len(body)
    # The Date line is the real universal time.
    date = calendar.timegm(email.utils.parsedate(headers["date"]))
    assert abs(date - time.time()) < 5, headers["date"]
    assert text.startswith("<!DOCTYPE HTML") and text.endswith("</td></tr></table></body></html>\n")
    assert "<title>Kestrivan " in text and "web interface for proxy&lt;b&gt;&amp;&quot;x</title>" in text
    assert '<body onmousemove="overhere()"><div id="ToolTip"></div>' in text
    assert "function overhere" in text and MENU in text
    assert '<td><a href="vantori">Test vantori</a></td>\n<td></td>' in text

    # Arguments count only with a Referer from the interface or proxy host;
    # a query then selects the page by the path before it.
    form = "Generate Encrypted Password"
    query = "/password?active=Key_1&scode=Secret&scode1=Secret"
    cases = [
        (query, REFERER, True, True),
        (query, ("-H", "Referer: http://proxy<b>&\"x:3128/stats"), True, True),
        (query, ("-H", "Referer: http://KESTRIVAN/"), True, True),
        (query, ("-H", "Referer: http://kestrivan"), False, False),
        (query, ("-H", "Referer: http://kestrivan.evil/"), False, False),
        (query, (), False, False),
        ("/PASSWORD", (), True, False),
        ("/password", ("--data", "active=Key_1&scode=Secret&scode1=Secret") + REFERER, True, True),
        # A POST with a query matches the whole path: no page.
        ("/password?x=1", ("--data", "active=Key_1&scode=Secret&scode1=Secret") + REFERER,
         False, False),
        ("/?x=1", REFERER, False, False),
        ("/nothing-here", (), False, False),
    ]
    for target, extra, page, encrypted in cases:
        _, _, body = curl(d, target, *extra)
        text = body.decode()
        assert MENU in text, target
        assert (form in text) == page, (target, extra)
        assert ('<tr class="listeven"><td align="center" width="25%">' in text) == encrypted, \
            (target, extra)
    assert "web interface request without referer" in d.log()
    assert "web interface request from invalid referer (http://kestrivan.evil/)" in d.log()


def test_password_page_form_and_answers(daemon_factory):
    d = daemon_factory().start()
    status, headers, body = curl(d, "/password")
    text = body.decode()
    assert status == 200
    assert headers["content-type"] == "text/html"
    assert int(headers["content-length"]) == len(body)
    assert "<style type=\"text/css\">" in text
    assert "Generate Encrypted Password" in text
    assert "<form action=\"password\" method=\"POST\">" in text
    assert "name=\"scode1\"" in text

    cases = [
        ("active=ab-c&scode=pw&scode1=pw", "Please use only <font><B>Alphanumeric Characters."),
        ("active=abc&scode=pw&scode1=pW", "fields do not match or, are empty."),
    ]
    for form, answer in cases:
        _, _, body = curl(d, "/password", "--data", form, *REFERER)
        assert answer in body.decode(), form
    _, _, body = curl(d, "/password", "--data", "active=Key_1&scode=Secret&scode1=Secret",
                      *REFERER)
    text = body.decode()
    row = text.split("<tr class=\"listeven\"><td align=\"center\" width=\"25%\">", 1)
    assert len(row) == 2, text
    encrypted = row[1].split("</td>", 1)[0]
    # Six password bytes: eight Base64 characters, two code characters each.
    assert len(encrypted) == 16 and "Secret" not in text
    # The same key and password give the same text (what the LDAP section
    # decrypts with that key).
    _, _, again = curl(d, "/password?active=Key_1&scode=Secret&scode1=Secret", *REFERER)
    assert encrypted in again.decode()


def test_ldap_page_in_origin_form(daemon_factory):
    d = daemon_factory().start()
    status, headers, body = curl(d, "/ldap", proxy=False)
    assert status == 200 and headers["content-type"] == "text/html"
    assert "Ldap" in body.decode() and body.decode().rstrip().endswith("</html>")


CACHE_LINES = {"alice\tcn=Alice,dc=example,dc=com\tstaff,admins",
               "bob\tcn=Bob,dc=example,dc=com"}


def copying_config(workdir, name, port):
    """The shipped configuration with LDAP on and one server entry that is
    another instance serving its DN cache at 127.0.0.1:port."""
    section = ("<ldap><enabled>true</enabled><servers><enabled>true</enabled>"
               "<server>127.0.0.1</server><port>%d</port><method>plain</method>"
               "<bind-type>anonymous</bind-type><bind-dn></bind-dn><bind-password></bind-password>"
               "</servers></ldap>" % port)
    path = os.path.join(workdir, name)
    with open(path, "w") as f:
        f.write(read_text(CONFIG).replace("</kestrivan>", section + "</kestrivan>"))
    return path


def test_dn_cache_travels_from_instance_to_instance(daemon_factory, workdir):
    # First source: a scripted instance serving its "/ldapcache".
    document = ("\n".join(sorted(CACHE_LINES)) + "\n").encode()

    def answer(handler):
        handler.send_response(200)
        handler.send_header("Content-Type", "text/xml")
        handler.send_header("Last-Modified", email.utils.formatdate(1700000000, usegmt=True))
        handler.send_header("Content-Length", str(len(document)))
        handler.end_headers()
        handler.wfile.write(document)

    source = ScriptedHTTPServer(answer)
    try:
        first = daemon_factory(config=copying_config(workdir, "first.xml", source.port))
        first.start()
        assert wait_for(lambda: "ldap: sync: loaded [2] entries from 127.0.0.1:%d" % source.port
                        in first.log()), first.log()
        assert source.requests[0][0] == "/kestrivan/ldapcache"
    finally:
        source.stop()

    status, headers, body = curl(first, "/ldapcache", proxy=False)
    assert status == 200 and headers["content-type"] == "text/xml"
    assert int(headers["content-length"]) == len(body)
    assert body.endswith(b"\n") and set(body.decode().splitlines()) == CACHE_LINES

    # A second daemon copies the first one's cache through its interface.
    second_dir = os.path.join(workdir, "second")
    os.makedirs(second_dir)
    second = Daemon(second_dir, config=copying_config(workdir, "second.xml", first.port))
    try:
        second.start()
        assert wait_for(lambda: "ldap: sync: loaded [2] entries from 127.0.0.1:%d" % first.port
                        in second.log()), second.log()
        _, _, copied = curl(second, "/ldapcache")
        assert set(copied.decode().splitlines()) == CACHE_LINES
    finally:
        second.stop()


@pytest.mark.parametrize("form,characters", [
    # A value keeps the '=' it holds: "pa=ss" is five bytes, seven Base64
    # characters, two code characters each.
    ("active=Key_1&scode=pa=ss&scode1=pa=ss", 14),
    # Every '&' ends a pair, also after a name without '='.
    ("active=Key_1&flag&scode=Secret&scode1=Secret", 16),
], ids=["equals in a value", "name without value"])
def test_form_pairs_split_at_their_first_equals(daemon_factory, form, characters):
    d = daemon_factory().start()
    _, _, body = curl(d, "/password", "--data", form, *REFERER)
    text = body.decode()
    row = text.split("<tr class=\"listeven\"><td align=\"center\" width=\"25%\">", 1)
    assert len(row) == 2, text
    assert len(row[1].split("</td>", 1)[0]) == characters
