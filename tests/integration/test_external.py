"""External programs run by the daemon, written as shell scripts by the
tests: a request program that answers the client, a response program that
changes the body, authentication programs that name the user or fail, and
what every program the daemon starts inherits (template program pages
included): no descriptor of the daemon and an empty signal mask."""
import os

from conftest import read_text, wait_for
from test_request_road import get, native_lines, origin_factory, parse_native, raw_exchange


def script(workdir, name, text):
    path = os.path.join(workdir, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + text)
    os.chmod(path, 0o755)
    return path


def external_section(*programs):
    entries = "".join("""
    <programs>
      <enabled>true</enabled><comment></comment><groups></groups><profiles></profiles>
      <command>%s</command><tempfile>false</tempfile><mode>%s</mode>
      <auth_program>%s</auth_program><headers>%s</headers>
    </programs>""" % program for program in programs)
    return "<external><enabled>true</enabled>%s\n</external>" % entries


def origin_body(request, client):
    client.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 11\r\n\r\n"
                   b"origin body")


def test_programs_answer_change_and_authenticate(proxy_factory, origin_factory, workdir):
    # The request program refuses one path with a page of its own and
    # leaves every other request alone (a failing exit applies nothing).
    refuse = script(workdir, "refuse.sh", """
if head -n 1 | grep -q /refused; then
  printf 'HTTP/1.1 403 Forbidden\\r\\nContent-Type: text/html\\r\\n\\r\\n<p>refused by program</p>'
  exit 0
fi
exit 1
""")
    # The response program upper-cases the body after the header.
    upper = script(workdir, "upper.sh",
                   "sed '1,/^\\r\\?$/!y/abcdefghijklmnopqrstuvwxyz/ABCDEFGHIJKLMNOPQRSTUVWXYZ/'\n")
    # The authentication program names the user the request carries in
    # X-Test-User, and fails (naming an intruder) for a request without one.
    auth = script(workdir, "auth.sh", """
request=$(cat)
user=$(printf '%s' "$request" | sed -n 's/^X-Test-User: *\\([a-z]*\\).*/\\1/p')
if [ -z "$user" ]; then
  printf 'GET / HTTP/1.1\\r\\nX-username: intruder\\r\\nX-profiles: admin\\r\\n\\r\\n'
  exit 1
fi
printf '%s' "$request" | sed '/^\\r\\?$/,$d'
printf 'X-username: %s\\r\\nX-profiles: staff\\r\\n\\r\\n' "$user"
""")
    proxy = proxy_factory(extra_sections=external_section(
        (auth, "auth", "true", "request"),
        (refuse, "request", "false", "request"),
        (upper, "response", "false", "response")))
    origin = origin_factory(origin_body)

    answer = raw_exchange(proxy, get(origin.port, "/refused", b"X-Test-User: alice\r\n"))
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 403"), answer
    assert body == b"<p>refused by program</p>"
    assert origin.requests == []

    answer = raw_exchange(proxy, get(origin.port, "/page", b"X-Test-User: alice\r\n"))
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200"), answer
    assert body == b"ORIGIN BODY"
    assert b"Content-Length: 11\r\n" in head

    answer = raw_exchange(proxy, get(origin.port, "/anonymous"))
    assert answer.endswith(b"ORIGIN BODY"), answer

    assert wait_for(lambda: len(native_lines(proxy)) >= 2, 5), read_text(proxy.access_log)
    users = [parse_native(line)["user"] for line in native_lines(proxy)]
    assert "alice" in users, users
    assert "intruder" not in users, users
    assert "parsed with %s" % auth in proxy.log()


def test_started_programs_inherit_nothing_of_the_daemon(proxy_factory, origin_factory, workdir):
    # A template page made by a program, and a request program: both report
    # their signal mask, ignored signals and open descriptors.
    report = "grep -E '^Sig(Blk|Ign)' /proc/self/status; ls /proc/self/fd | tr '\\n' ' '"
    page = script(workdir, "page.sh", "printf 'HTTP/1.1 200 OK\\r\\nContent-Type: text/plain"
                                      "\\r\\n\\r\\n'\n" + report + "\n")
    # (Requests for the interface are left to the template page.)
    request = script(workdir, "request.sh",
                     "case \"$(cat)\" in *kestrivan*) exit 1;; esac\n"
                     "printf 'HTTP/1.1 200 OK\\r\\n\\r\\n'\n" + report + "\n")
    templates = """
  <templates>
    <templatedir></templatedir>
    <template>
      <enabled>true</enabled><comment></comment><groups></groups><profiles></profiles>
      <name>noaccess</name><file>%s</file><mimetype>text/plain</mimetype><status>200</status>
      <type>program</type><parse>false</parse>
    </template>
  </templates>""" % page
    proxy = proxy_factory(extra_sections=templates + external_section(
        (request, "request", "false", "request")))
    origin = origin_factory(origin_body)
    for answer in (raw_exchange(proxy, b"GET http://kestrivan/status HTTP/1.1\r\n"
                                       b"Host: kestrivan\r\nConnection: close\r\n\r\n"),
                   raw_exchange(proxy, get(origin.port, "/"))):
        body = answer.partition(b"\r\n\r\n")[2].decode()
        assert "SigBlk:\t0000000000000000" in body, answer
        assert "SigIgn:\t0000000000000000" in body, answer
        # Standard input, output and error, and the one ls lists with.
        assert body.rstrip().endswith("0 1 2 3"), answer
