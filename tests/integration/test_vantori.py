"""Site categories end to end: the daemon asks a real name server (dnsmasq
on loopback, in a private mount namespace) for the MX records of request
hosts under the category zone, turns the scores into profiles (seen in the
extended access log), shows them on the page "/vantori", writes them to the
cache file, reads hint files, the cache file and the host feed at start, and
lives through a name server that does not answer."""
import os
import signal
import subprocess
import time

import pytest

from conftest import ACCESS_ALL, config_text, read_text, wait_for

ZONE = "vantori.kestrivan.net"

PORN_RULE = ("<rules><enabled>true</enabled><comment>adult sites</comment><log>true</log>"
             "<groups></groups><profiles></profiles><categories>porn</categories>"
             "<score_range>50-100</score_range><add_profiles>adult-site</add_profiles>"
             "<remove_profiles></remove_profiles></rules>")


def scores(**named):
    """The 32 scores with the named categories set, as the files write them."""
    order = ["ads", "adult", "adult_education", "arts", "chat", "drugs", "education",
             "fileshare", "finance", "gambling", "games", "government", "hacking", "hate",
             "highrisk", "housekeeping", "instantmessaging", "jobs", "leisure", "mail",
             "multimedia", "news", "porn", "proxy", "searchengines", "shopping", "social",
             "sports", "systemutils", "travel", "business"]
    values = [named.get(name, 0) for name in order] + [0]
    return ",".join(str(v) for v in values)


@pytest.fixture
def dns(dns_factory):
    return dns_factory(
        zones=[ZONE, "test"],
        mx=[("www.adult.test." + ZONE, "adult", 10), ("www.adult.test." + ZONE, "porn", 90),
            ("www.news.test." + ZONE, "news", 60), ("www.feed.test." + ZONE, "jobs", 3)],
        addresses=[("adult.test", "127.0.0.1"), ("news.test", "127.0.0.1"),
                   ("hinted.test", "127.0.0.1"), ("feed.test", "127.0.0.1")])


def start(daemon_factory, workdir, dns, categories, rules=PORN_RULE, enabled="true",
          name="kestrivan.xml"):
    path = os.path.join(workdir, name)
    with open(path, "w") as f:
        f.write(config_text(rights=ACCESS_ALL + ",interface", extra_sections=(
            "<vantori><enabled>%s</enabled><directory>%s</directory>%s</vantori>"
            % (enabled, categories, rules))))
    daemon = daemon_factory(config=path, wrapper=dns.wrapper())
    daemon.start()
    daemon.wait_listening()
    return daemon


def curl(proxy, url, *args, timeout=20):
    result = subprocess.run(["curl", "-sS", "--max-time", "15", "-x",
                             "http://127.0.0.1:%d" % proxy.port] + list(args) + [url],
                            capture_output=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout


def extended_line(proxy, url):
    lines = [line for line in read_text(proxy.extended_log).splitlines() if url in line]
    assert lines, read_text(proxy.extended_log)
    return lines[-1]


def mx_queries(dns, site):
    return [q for q in dns.queries() if q == ("MX", site + "." + ZONE)]


def test_scores_become_profiles_are_shown_saved_and_read_back(workdir, daemon_factory, dns, origin_server):
    categories = os.path.join(workdir, "categories")
    proxy = start(daemon_factory, workdir, dns, categories)
    adult = "http://www.adult.test:%d/a" % origin_server.port
    news = "http://www.news.test:%d/n" % origin_server.port
    assert curl(proxy, adult) == b"origin body\n"
    assert curl(proxy, adult) == b"origin body\n"
    assert curl(proxy, news) == b"origin body\n"
    assert wait_for(lambda: news in read_text(proxy.extended_log), 5)
    assert '"adult-site"' in extended_line(proxy, adult)
    assert '"adult-site"' not in extended_line(proxy, news)
    # One question per site: the second request is answered by the cache.
    assert len(mx_queries(dns, "www.adult.test")) == 1
    log = proxy.log()
    assert "vantori: host:www.adult.test Added:  Profile: adult-site" in log
    assert "vantori: cache[1]: Added :www.adult.test" in log

    # The interface takes arguments only from its own pages.
    page = curl(proxy, "http://kestrivan/vantori?domain=www.adult.test,%3Cb%3Ex.test&refresh=no",
                "-e", "http://kestrivan/")
    assert b"<td><b>Score</b></td><td >0</td> <td>10</td> <td>0</td>" in page
    assert b"<td>0</td><td>0</td><td>0</td><td>0</td><td>0</td><td>0</td><td>90</td>" in page
    assert b"&lt;b&gt;x.test" in page and b"<b>x.test" not in page
    assert len(mx_queries(dns, "www.adult.test")) == 1

    # SIGHUP writes the cache file; nothing else is left beside it.
    proxy.signal(signal.SIGHUP)
    cache_file = os.path.join(categories, "vantori.cache")
    assert wait_for(lambda: "www.news.test" in read_text(cache_file), 10), proxy.log()
    text = read_text(cache_file)
    assert "\nwww.adult.test\t" + scores(adult=10, porn=90) in text
    assert "\nwww.news.test\t" + scores(news=60) in text
    assert sorted(os.listdir(categories)) == ["vantori.cache"]
    proxy.stop()

    # The next start answers from the file without asking.
    asked = len(dns.queries())
    again = start(daemon_factory, workdir, dns, categories, name="again.xml")
    assert wait_for(lambda: "vantori: read from %s, records: 2" % cache_file in again.log(), 10)
    other = "http://www.adult.test:%d/again" % origin_server.port
    assert curl(again, other) == b"origin body\n"
    assert wait_for(lambda: other in read_text(again.extended_log), 5)
    assert '"adult-site"' in extended_line(again, other)
    assert [q for q in dns.queries()[asked:] if q[0] == "MX"] == []


def test_hint_files_and_the_host_feed_are_read_at_start(daemon_factory, workdir, dns, origin_server):
    categories = os.path.join(workdir, "categories")
    os.makedirs(categories)
    with open(os.path.join(categories, "local.vantori"), "w") as f:
        f.write("www.hinted.test\t%s\nwww.adult.test\t%s\nbroken line\n"
                % (scores(porn=80), scores(news=1)))
    # Hosts of an earlier run's access log, which start-up hands over as the
    # feed: known ones are not asked again.
    with open(os.path.join(workdir, "access.log"), "w") as f:
        for host in ("www.feed.test", "www.hinted.test", "www.feed.test", "www.unknown.test"):
            f.write("1700000000.000 5 127.0.0.1 TCP_MISS/200 11 GET http://%s:80/ - "
                    "DIRECT/127.0.0.1 text/plain\n" % host)
    proxy = start(daemon_factory, workdir, dns, categories)
    feed = os.path.join(workdir, "access.log.vantorifeed")
    assert wait_for(lambda: "read from vantorifeed:%s, records: 4" % feed in proxy.log(), 15), \
        proxy.log()
    assert not os.path.exists(feed)
    assert "vantori: read from %s/local.vantori, records: 2" % categories in proxy.log()
    assert len(mx_queries(dns, "www.feed.test")) == 1
    assert len(mx_queries(dns, "www.unknown.test")) == 1
    assert mx_queries(dns, "www.hinted.test") == []

    # The hint decides over the service, and is not written to the file.
    hinted = "http://www.hinted.test:%d/" % origin_server.port
    adult = "http://www.adult.test:%d/" % origin_server.port
    curl(proxy, hinted)
    curl(proxy, adult)
    assert wait_for(lambda: adult in read_text(proxy.extended_log), 5)
    assert '"adult-site"' in extended_line(proxy, hinted)
    assert '"adult-site"' not in extended_line(proxy, adult)
    assert mx_queries(dns, "www.adult.test") == []
    proxy.stop()
    text = read_text(os.path.join(categories, "vantori.cache"))
    assert "\nwww.feed.test\t" + scores(jobs=3) in text
    assert "hinted" not in text and "www.adult.test" not in text and "unknown" not in text


def test_a_silent_name_server_costs_one_short_wait(workdir, daemon_factory, dns, origin_server):
    proxy = start(daemon_factory, workdir, dns, os.path.join(workdir, "categories"))
    url = "http://127.0.0.1:%d/" % origin_server.port
    os.kill(dns.process.pid, signal.SIGSTOP)
    try:
        began = time.monotonic()
        assert curl(proxy, url) == b"origin body\n"
        first = time.monotonic() - began
        assert curl(proxy, url) == b"origin body\n"
    finally:
        os.kill(dns.process.pid, signal.SIGCONT)
    # The resolver's own wait would be 5 s twice; the lookup's is 2 s, and
    # the failure is remembered: the second request asks nobody.
    assert 1.5 <= first < 6, first
    assert proxy.log().count("vantori: failed to lookup site: 127.0.0.1") == 1
