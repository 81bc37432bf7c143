"""The DNS block list end to end: the daemon resolves "<domain>.<zone>" at a
real name server (dnsmasq on loopback, in a private mount namespace) and
refuses listed domains with the block page and the access-log records,
while other domains and names that do not resolve pass."""
import os
import re
import subprocess

from conftest import ACCESS_ALL, config_text, read_text, wait_for

ZONE = "bl.test"


def start(daemon_factory, workdir, dns, template=""):
    path = os.path.join(workdir, "kestrivan.xml")
    with open(path, "w") as f:
        f.write(config_text(rights=ACCESS_ALL, extra_sections=(
            "<dnsbl><enabled>true</enabled><template>%s</template><zone>%s</zone>"
            "<addresses>127.0.0.2-127.0.0.255</addresses></dnsbl>" % (template, ZONE))))
    daemon = daemon_factory(config=path, wrapper=dns.wrapper())
    daemon.start()
    daemon.wait_listening()
    return daemon


def fetch(proxy, url):
    result = subprocess.run(["curl", "-sS", "--max-time", "15", "-x",
                             "http://127.0.0.1:%d" % proxy.port, "-w", "\n%{http_code}", url],
                            capture_output=True, timeout=20)
    assert result.returncode == 0, result.stderr
    body, _, status = result.stdout.rpartition(b"\n")
    return int(status), body


def test_listed_domains_get_the_block_page_others_pass(workdir, daemon_factory, dns_factory, origin_server):
    dns = dns_factory(zones=["test"], addresses=[
        ("listed.test." + ZONE, "127.0.0.2"), ("clean.test." + ZONE, "127.0.0.1"),
        ("listed.test", "127.0.0.1"), ("clean.test", "127.0.0.1"), ("unknown.test", "127.0.0.1")])
    proxy = start(daemon_factory, workdir, dns)
    port = origin_server.port
    blocked = "http://www.listed.test:%d/page" % port
    for _ in range(2):
        status, body = fetch(proxy, blocked)
        assert status == 403
        assert b"Page Blocked" in body and b"Filter: DNS BlackList" in body
    assert fetch(proxy, "http://www.clean.test:%d/" % port) == (200, b"origin body\n")
    assert fetch(proxy, "http://a.b.unknown.test:%d/" % port) == (200, b"origin body\n")
    assert fetch(proxy, "http://c.unknown.test:%d/" % port) == (200, b"origin body\n")
    assert origin_server.requests and all(path != "/page" for path, _ in origin_server.requests)

    assert wait_for(lambda: read_text(proxy.access_log).count("\n") >= 5, 5)
    denied = [line for line in read_text(proxy.access_log).splitlines() if blocked in line]
    assert len(denied) == 2
    assert re.search(r" TCP_DENIED/403 \d+ GET %s \S+ DIRECT/kestrivan text/html$" % re.escape(blocked),
                     denied[0]), denied[0]
    extended = [line for line in read_text(proxy.extended_log).splitlines() if blocked in line]
    assert '"DNSBL 127.0.0.2"' in extended[0], extended[0]
    assert proxy.log().count("domain www.listed.test is blacklisted") == 2
    # A listed answer is kept by the DNS cache, an unlisted name is
    # remembered: one question per domain.
    queries = dns.queries()
    assert queries.count(("A", "listed.test." + ZONE)) == 1
    assert queries.count(("A", "unknown.test." + ZONE)) == 1
