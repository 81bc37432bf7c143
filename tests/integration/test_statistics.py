"""Statistics and the performance log of a running daemon: requests made
through the proxy show on "/stats" globally and on "/userstats" for the
access rule of the client; the performance log appears with its legend and
a record every two seconds; the "/log" page reports a pattern that does not
compile."""
import os
import re
import subprocess

from conftest import ACCESS_ALL, config_text, fixed_answer, read_text, wait_for
from conftest import ScriptedHTTPServer  # noqa: F401
from test_interface import REFERER, curl

LEGEND_START = "Time Stamp (YYYYMMDDhhmmss) , Elapsed Time , "


def two_rules_config(workdir):
    """127.0.0.1 under the first rule, other loopback clients under the
    second; both may use the proxy and the interface."""
    text = config_text(rights=ACCESS_ALL + ",interface", addresses="127.0.0.1")
    first = re.search(r"    <allow>.*?</allow>\n", text, re.S).group(0)
    second = first.replace("<addresses>127.0.0.1</addresses>",
                           "<addresses>127.0.0.2-127.255.255.255</addresses>")
    second = second.replace("<comment>test clients</comment>", "<comment>others</comment>")
    path = os.path.join(workdir, "two-rules.xml")
    with open(path, "w") as f:
        f.write(text.replace(first, first + second))
    return path


def fetch(daemon, url, source="127.0.0.1"):
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time",
                          "10", "--interface", source, "-x", "http://127.0.0.1:%d" % daemon.port,
                          url], capture_output=True, timeout=20).stdout
    return out.decode()


def counters(page):
    """{(group, counter): value text} of a statistics page."""
    figures = {}
    for group, rows in re.findall(
            r'<td class="listhead" align="center" colspan="2">(.*?)</td></tr>\n(.*?)</table>',
            page, re.S):
        for name, value in re.findall(r'<td width="40%">(.*?)</td><td>(.*?)</td>', rows):
            figures[(group, name)] = value
    return figures


def interface_page(daemon, path, source="127.0.0.1"):
    out = subprocess.run(["curl", "-s", "--max-time", "10", "--interface", source,
                          "-x", "http://127.0.0.1:%d" % daemon.port, "http://kestrivan" + path],
                         capture_output=True, timeout=20).stdout
    return out.decode()


def test_requests_count_globally_and_for_the_clients_rule(daemon_factory, workdir):
    origin = ScriptedHTTPServer(fixed_answer(b"x" * 3000))
    try:
        d = daemon_factory(config=two_rules_config(workdir)).start()
        d.wait_listening()
        base = "http://127.0.0.1:%d/" % origin.port
        for i in range(3):
            assert fetch(d, base + "first-%d" % i) == "200"
        for i in range(2):
            assert fetch(d, base + "second-%d" % i, source="127.0.0.2") == "200"
    finally:
        origin.stop()

    overall = counters(interface_page(d, "/stats"))
    assert overall[("requests", "HTTP requests")] == "5"
    assert overall[("requests", "CONNECT requests")] == "0"
    assert overall[("hosts", "127.0.0.1")] == "5 (100%)"
    assert overall[("mimes", "text/plain")] == "5 (100%)"
    # The page request itself is the fourth from 127.0.0.1.
    assert overall[("ip addresses", "127.0.0.1")] == "4 (66%)"
    assert overall[("ip addresses", "127.0.0.2")] == "2 (33%)"
    assert overall[("network", "successful connections")] != "0"
    assert re.match(r"\d\d:\d\d:\d\d\.\d\d$", overall[("system", "user time")])
    assert overall[("system", "memory resident")] not in ("0", "0 Bytes")
    assert ("connection pool", "hit") in overall and ("DNS cache", "miss") in overall

    first = counters(interface_page(d, "/userstats"))
    second = counters(interface_page(d, "/userstats", source="127.0.0.2"))
    assert first[("requests", "HTTP requests")] == "3"
    assert second[("requests", "HTTP requests")] == "2"
    assert first[("hosts", "127.0.0.1")] == "3 (100%)"
    assert second[("mimes", "text/plain")] == "2 (100%)"
    # Client addresses and users show only on the global page.
    assert not any(group in ("ip addresses", "users", "system") for group, _ in first)


def test_performance_log_appears_with_its_legend_and_records(daemon_factory, origin_server):
    d = daemon_factory().start()
    d.wait_listening()
    path = os.path.join(d.workdir, "performance.log")
    for i in range(3):
        assert fetch(d, "http://127.0.0.1:%d/p%d" % (origin_server.port, i)) == "200"

    def records():
        text = read_text(path)
        if not text.startswith(LEGEND_START):
            return []
        legend, _, rest = text.partition("\n")
        assert len(legend.split(",")) == 63
        assert rest.startswith("\n")  # an empty line after the legend
        return [line.split(",") for line in rest[1:].split("\n")]

    # Records every two seconds; one that shows the three transactions.
    assert wait_for(lambda: len(records()) >= 2 and int(records()[-1][4]) >= 3, timeout=12), \
        read_text(path)
    for record in records():
        assert len(record) == 63, record
        assert re.match(r"\d{14}$", record[0])
    last = records()[-1]
    assert int(last[2]) >= 1      # client connections handled
    # Outbound connections created or taken from the pool, one per request.
    assert int(last[12]) >= 1 and int(last[12]) + int(last[14]) >= 3
    assert int(last[23]) > 0 and int(last[25]) > 0  # system and process memory
    assert int(last[1]) >= 2      # seconds since start
    assert oct(os.stat(path).st_mode & 0o777) == "0o640"


def form_token(page):
    return re.search(r'<input type="hidden" name="token" value="([^"]*)">', page).group(1)


def test_log_page_reports_bad_input_and_changes_only_by_its_form(daemon_factory):
    d = daemon_factory().start()
    status, _, body = curl(d, "/log?pattern=%28unclosed&size=ten", *REFERER)
    text = body.decode()
    assert status == 200
    assert "Error: the pattern does not compile" in text
    # A link changes nothing, whatever it asks.
    assert "Error: Nothing was changed" in text
    _, _, body = curl(d, "/log?size=0", *REFERER)
    assert 'name="size" value="1000"' in body.decode()

    token = form_token(body.decode())
    _, _, body = curl(d, "/log", *REFERER, "-d", "size=ten&token=" + token)
    text = body.decode()
    assert "Error: the log buffer size &quot;ten&quot; is not a number of lines" in text
    assert 'name="size" value="1000"' in text
    _, _, body = curl(d, "/log", *REFERER, "-d", "size=20&token=" + token)
    assert 'name="size" value="20"' in body.decode()
    assert d.running()
