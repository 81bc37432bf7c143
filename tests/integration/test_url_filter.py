"""The URL filter through the daemon: curl against a local origin, with rules
in both orders and scoped by profiles, checking the status and body the
client gets and the exact access-log lines; the "filter" verdict page; and
patterns that do not compile refusing the configuration at start-up."""
import base64
import os
import re
import subprocess

import pytest

from conftest import HttpReader, config_text, read_text, wait_for
from test_proxy_auth import pam_service  # noqa: F401

def rule(kind, comment, host="", path="", addresses="", profiles="", template="",
         enabled="true"):
    """One entry of the allow list or the deny list (kind)."""
    return ("<%(kind)s><enabled>%(enabled)s</enabled><comment>%(comment)s</comment><groups></groups>"
            "<profiles>%(profiles)s</profiles><host>%(host)s</host><path>%(path)s</path>"
            "<addresses>%(addresses)s</addresses><template>%(template)s</template></%(kind)s>"
            % locals())


# The rules every case runs against: matched by path, one each way scoped by
# profile, one with its own block page, one switched off.
RULES = (rule("allow", "allow a", path="^/a")
         + rule("allow", "staff only", path="^/staff", profiles="staff")
         + rule("deny", "deny a and b", path="^/(a|b)")
         + rule("deny", "not for guests", path="^/guarded", profiles="!staff",
                template="noaccess")
         + rule("deny", "switched off", path="^/off", enabled="false"))


def url_filtering(order, rules=RULES, enabled="true"):
    return ("<url-filtering><enabled>%s</enabled><order>%s</order><template></template>%s"
            "</url-filtering>" % (enabled, order, rules))


def curl(proxy, url):
    """(status, body) of a GET through the proxy."""
    result = subprocess.run(["curl", "-sS", "--max-time", "15", "-x",
                             "http://127.0.0.1:%d" % proxy.port, "-o", "-", "-w", "\n%{http_code}",
                             url], capture_output=True, timeout=20)
    assert result.returncode == 0, result.stderr
    body, _, status = result.stdout.rpartition(b"\n")
    return int(status), body


def log_lines(path):
    return [line for line in read_text(path).splitlines() if line.strip()]


def without_times(native_line):
    """A native access-log line without its start time and duration."""
    return native_line.split(" ", 2)[2]


# order, path, the client's profiles -> the client's status and what it
# reads ("origin", "blocked" the built-in block page, "noaccess" the rule's
# own page).
CASES = [
    ("allow-by-default", "/none", "", 200, "origin"),
    ("allow-by-default", "/a", "", 200, "origin"),       # deny and allow match: passes
    ("allow-by-default", "/b", "", 403, "blocked"),      # deny matches alone
    ("allow-by-default", "/%62", "", 403, "blocked"),    # "%62" is "b"
    ("allow-by-default", "/off", "", 200, "origin"),     # a disabled rule
    ("allow-by-default", "/guarded", "", 403, "noaccess"),
    ("allow-by-default", "/guarded", "staff", 200, "origin"),
    ("deny-by-default", "/none", "", 403, "blocked"),    # the built-in default rule
    ("deny-by-default", "/a", "", 403, "blocked"),       # allow and deny match: refused
    ("deny-by-default", "/staff", "staff", 200, "origin"),
    ("deny-by-default", "/staff", "", 403, "blocked"),
]


def check_case(proxy, url, order, profiles, status, seen):
    """One request: the status and body the client gets, the native access-log
    line exactly (but for its times) and the extended line's fields."""
    path = url.split("/", 3)[3]
    where = "%s /%s [%s]" % (order, path, profiles)
    before = len(log_lines(proxy.access_log))
    got_status, body = curl(proxy, url)
    assert got_status == status, where
    expected_body = {"origin": b"origin body\n",
                     "blocked": b"<title>Page Blocked</title>",
                     "noaccess": b"<title>Access denied</title>"}[seen]
    assert expected_body in body, (where, body[:300])
    assert wait_for(lambda: len(log_lines(proxy.access_log)) > before, 5), where
    assert wait_for(lambda: len(log_lines(proxy.extended_log))
                    == len(log_lines(proxy.access_log)), 5), where
    native = without_times(log_lines(proxy.access_log)[-1])
    extended = log_lines(proxy.extended_log)[-1]
    if seen == "origin":
        assert native == ("127.0.0.1 TCP_MISS/200 12 GET %s anonymous@127.0.0.1 "
                          "DIRECT/127.0.0.1 text/plain" % url), where
        assert '"GET %s" 200 12 ' % url in extended, extended
        assert ' text/plain "- -" "%s" ' % profiles in extended, extended
        return
    # The page went out with the record's status, 403.
    assert native == ("127.0.0.1 TCP_DENIED/403 %d GET %s anonymous@127.0.0.1 "
                      "DIRECT/kestrivan text/html" % (len(body), url)), where
    assert '"GET %s" 403 %d ' % (url, len(body)) in extended, extended
    assert ' text/html "url-filter -" "%s" ' % profiles in extended, extended
    assert "[IP:127.0.0.1] blocked: 127.0.0.1/%s" % path in proxy.log(), where
    if seen == "blocked":
        assert b"Filter: URL Filter" in body


@pytest.mark.parametrize("order", ["allow-by-default", "deny-by-default"])
def test_rule_order_matches_and_profiles_decide(proxy_factory, origin_server, workdir, order):
    origin = "http://127.0.0.1:%d" % origin_server.port
    # The page "noaccess" goes out with 403 by its template entry.
    templates = ("<templates><template><enabled>true</enabled><name>noaccess</name>"
                 "<status>403</status></template></templates>")
    for profiles in ("", "staff"):
        # One proxy at a time: they share the work folder's log files.
        proxy = proxy_factory(profiles=profiles, extra_sections=url_filtering(order) + templates)
        for case_order, path, case_profiles, status, seen in CASES:
            if (case_order, case_profiles) == (order, profiles):
                check_case(proxy, origin + path, order, profiles, status, seen)
        proxy.stop()
    # Only the requests that passed reached the origin.
    passed = [c[1] for c in CASES if c[0] == order and c[4] == "origin"]
    assert sorted(p for p, _ in origin_server.requests) == sorted(passed)


def test_host_pattern_and_verdict_page(proxy_factory, origin_server):
    host_rule = rule("deny", "no localhost", host="LOCALHOST")
    proxy = proxy_factory(extra_sections=url_filtering("allow-by-default", host_rule))
    status, body = curl(proxy, "http://localhost:%d/x" % origin_server.port)
    assert (status, b"<title>Page Blocked</title>" in body) == (403, True)
    status, body = curl(proxy, "http://127.0.0.1:%d/x" % origin_server.port)
    assert (status, body) == (200, b"origin body\n")

    # The "filter" URL command shows the deciding rule, with the request's
    # host and path escaped, and asks nothing of the origin.
    asked = len(origin_server.requests)
    status, page = curl(proxy, "http://xx--filter.localhost:%d/%%3Cb%%3E\"q\"" % origin_server.port)
    assert status == 200
    text = page.decode()
    assert "<title>URL filter match for localhost/%3Cb%3E&quot;q&quot;</title>" in text, text
    assert "no localhost" in text and "LOCALHOST" in text
    status, page = curl(proxy, "http://xx--filter.127.0.0.1:%d/x" % origin_server.port)
    assert '<td align="center" colspan="2">None</td>' in page.decode()
    assert len(origin_server.requests) == asked


def test_destination_address_ranges(proxy_factory, origin_server):
    loopback = rule("deny", "loopback", path="^/private", addresses="127.0.0.0-127.255.255.255")
    proxy = proxy_factory(extra_sections=url_filtering("allow-by-default", loopback))
    # "localhost" resolves (from /etc/hosts) into the range.
    status, body = curl(proxy, "http://localhost:%d/private" % origin_server.port)
    assert b"<title>Page Blocked</title>" in body
    status, body = curl(proxy, "http://localhost:%d/public" % origin_server.port)
    assert body == b"origin body\n"


def test_refused_tunnel_is_never_answered_with_success(proxy_factory):
    proxy = proxy_factory(extra_sections=url_filtering(
        "allow-by-default", rule("deny", "no tunnels here", host="^127\\.0\\.0\\.1$")))
    with proxy.connect() as s:
        s.sendall(b"CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1:443\r\n\r\n")
        answer = HttpReader(s).response()
    assert answer is not None
    assert answer[0].startswith("HTTP/1.1 403 "), answer[0]
    assert b"<title>Page Blocked</title>" in answer[2]
    assert wait_for(lambda: log_lines(proxy.extended_log), 5)
    assert ' "url-filter -" ' in log_lines(proxy.extended_log)[-1]


@pytest.mark.parametrize("field, value, message", [
    ("path", "(unclosed", "section url-filtering, element deny: path must be a regular expression,"
                          " but it is given value (unclosed (missing closing parenthesis"),
    ("host", "*.example.com", "section url-filtering, element deny: host must be a regular "
                              "expression, but it is given value *.example.com (quantifier does "
                              "not follow a repeatable item at offset 0)"),
])
def test_pattern_that_does_not_compile_stops_start_up(daemon_factory, workdir, field, value,
                                                      message):
    bad_rule = rule("deny", "bad", **{field: value})
    path = os.path.join(workdir, "bad.xml")
    with open(path, "w") as f:
        f.write(config_text(extra_sections=url_filtering("allow-by-default", bad_rule)))
    d = daemon_factory(config=path)
    d.start(ready_line=None)
    status = d.wait(timeout=15)
    log = d.log()
    assert status != 0, log
    assert " error: " + message in log
    assert "proxy hostname:" not in log


# One keep-alive connection through a trusted downstream proxy that speaks
# for two clients, each with a rule of its own: (the client it names, the
# host prefix, the path, the status it gets).
BYPASS_STEPS = [
    ("10.0.0.1", "xx--bypass.", "/a", 200),  # grants every bypass bit
    ("10.0.0.1", "", "/b", 200),             # kept for the same rule and user
    ("10.0.0.2", "", "/b", 403),             # another rule: its own bits only
    ("10.0.0.1", "", "/b", 403),             # gone once another rule had them
]


def test_bypass_lasts_for_the_connection_while_rule_and_user_stay(daemon_factory, workdir,
                                                                   origin_server):
    second_rule = ("<allow><enabled>true</enabled><comment>second client</comment><log>false</log>"
                   "<ldap-names></ldap-names><interfaces></interfaces>"
                   "<addresses>10.0.0.2</addresses><authenticate>false</authenticate><user></user>"
                   "<password></password><access>proxy,bypass,url-commands</access><bypass></bypass>"
                   "<interface-user></interface-user><interface-password></interface-password>"
                   "<profiles></profiles></allow>")
    text = config_text(addresses="10.0.0.1", trusted_proxies="127.0.0.1",
                       extra_sections=url_filtering("allow-by-default",
                                                    rule("deny", "no b", path="^/b")))
    path = os.path.join(workdir, "bypass.xml")
    with open(path, "w") as f:
        f.write(text.replace("</allow>", "</allow>" + second_rule, 1))
    proxy = daemon_factory(config=path).start().wait_listening()
    with proxy.connect() as client:
        reader = HttpReader(client)
        for forwarded, prefix, target, status in BYPASS_STEPS:
            client.sendall(b"GET http://%s127.0.0.1:%d%s HTTP/1.1\r\nHost: x\r\n"
                           b"Proxy-Connection: keep-alive\r\n"
                           b"X-Forwarded-For: %s\r\n\r\n"
                           % (prefix.encode(), origin_server.port, target.encode(),
                              forwarded.encode()))
            line, headers, body = reader.response()
            assert line.split()[1] == str(status), (forwarded, prefix, target, line, body[:200])


# One keep-alive connection on which two users log in by turns under the
# same rule: (the login, the host prefix, the path, the status it gets).
BYPASS_USER_STEPS = [
    ("alice:Secret1", "xx--bypass.", "/a", 200),  # grants every bypass bit
    ("alice:Secret1", "", "/b", 200),             # kept for the same user
    ("bob:hunter2", "", "/b", 403),               # another user: the rule's bits only
    ("alice:Secret1", "", "/b", 403),             # gone once another user had them
]


def test_bypass_lasts_for_the_connection_while_the_same_user_logs_in(daemon_factory, workdir,
                                                                     pam_service,
                                                                     origin_server):
    path = os.path.join(workdir, "bypass-users.xml")
    with open(path, "w") as f:
        f.write(config_text(authenticate="true",
                            extra_sections=url_filtering("allow-by-default",
                                                         rule("deny", "no b", path="^/b"))))
    proxy = daemon_factory(config=path, extra_args=["-x", pam_service]).start().wait_listening()
    with proxy.connect() as client:
        reader = HttpReader(client)
        for login, prefix, target, status in BYPASS_USER_STEPS:
            client.sendall(b"GET http://%s127.0.0.1:%d%s HTTP/1.1\r\nHost: x\r\n"
                           b"Proxy-Connection: keep-alive\r\n"
                           b"Proxy-Authorization: Basic %s\r\n\r\n"
                           % (prefix.encode(), origin_server.port, target.encode(),
                              base64.b64encode(login.encode())))
            line, headers, body = reader.response()
            assert line.split()[1] == str(status), (login, prefix, target, line, body[:200])
