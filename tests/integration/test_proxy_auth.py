"""Proxy authentication end to end: a daemon whose access rule makes clients
log in checks Basic credentials against a real PAM service (pam_userdb,
chosen with -x), challenges with 407, lets a good login reach the origin
and writes the user into the access log; a client no rule admits gets the
"noaccess" page."""
import os
import subprocess

import pytest

from conftest import CONFIG, ScriptedHTTPServer, read_text, wait_for

ORIGIN_PAGE = b"<html><body>origin page</body></html>\n"


@pytest.fixture
def pam_service(request, workdir):
    """A PAM service named for the test with a pam_userdb database of two
    users; removed afterwards. Writing under /etc/pam.d needs root."""
    if os.geteuid() != 0:
        pytest.skip("writing PAM service files needs root")
    pairs = os.path.join(workdir, "users.txt")
    with open(pairs, "w") as f:
        f.write("alice\nSecret1\nbob\nhunter2\n")
    db = os.path.join(workdir, "users")
    subprocess.run(["db_load", "-T", "-t", "hash", "-f", pairs, db + ".db"], check=True)
    name = "kestrivan-test-%s-%d" % (request.node.name.replace("[", "-").strip("]"), os.getpid())
    path = os.path.join("/etc/pam.d", name)
    with open(path, "w") as f:
        f.write("auth required pam_userdb.so db=%s\naccount required pam_userdb.so db=%s\n"
                % (db, db))
    yield name
    os.unlink(path)


@pytest.fixture
def origin():
    def answer(handler):
        handler.send_response(200)
        handler.send_header("Content-Type", "text/html")
        handler.send_header("Content-Length", str(len(ORIGIN_PAGE)))
        handler.end_headers()
        handler.wfile.write(ORIGIN_PAGE)

    server = ScriptedHTTPServer(answer)
    yield server
    server.stop()


def authenticating_config(workdir):
    """The shipped configuration with its one rule admitting only 127.0.0.1,
    whose users must log in."""
    text = read_text(CONFIG)
    text = text.replace("<addresses>127.0.0.0-127.255.255.255</addresses>",
                        "<addresses>127.0.0.1</addresses>")
    text = text.replace("<authenticate>false</authenticate>", "<authenticate>true</authenticate>")
    path = os.path.join(workdir, "auth.xml")
    with open(path, "w") as f:
        f.write(text)
    return path


def fetch(daemon, url, *extra):
    """(status line, header text, body) of one request through the proxy."""
    args = ["curl", "-s", "-i", "--max-time", "10", "-x", "http://127.0.0.1:%d" % daemon.port]
    out = subprocess.run(args + list(extra) + [url], capture_output=True, timeout=20).stdout
    head, _, body = out.partition(b"\r\n\r\n")
    head = head.decode("latin-1")
    return head.split("\r\n", 1)[0], head, body


def test_login_through_pam(daemon_factory, workdir, pam_service, origin):
    d = daemon_factory(config=authenticating_config(workdir),
                       extra_args=["-x", pam_service]).start()
    url = "http://127.0.0.1:%d/page" % origin.port

    # No credentials, a wrong password, an unknown user: challenged, and
    # the origin is never asked.
    for credentials in [[], ["-U", "alice:wrong"], ["-U", "mallory:Secret1"],
                        ["-U", "alice:secret1"]]:
        status, head, body = fetch(d, url, *credentials)
        assert status.split()[1] == "407", (credentials, head)
        assert "\r\nProxy-Authenticate: Basic realm=\"localhost\"" in head, head
        assert ORIGIN_PAGE not in body
    assert origin.requests == []

    status, head, body = fetch(d, url, "-U", "alice:Secret1")
    assert status.split()[1] == "200", head
    assert body == ORIGIN_PAGE
    assert [r[0] for r in origin.requests] == ["/page"]
    # The login is the client's, not the origin's business.
    assert "Proxy-Authorization" not in origin.requests[0][1]

    # time elapsed client code/status size method url user peer mime
    def logged():
        lines = [l.split() for l in read_text(d.access_log).splitlines() if url in l]
        return lines[-1] if lines and lines[-1][3] == "TCP_MISS/200" else None
    assert wait_for(lambda: logged() is not None), read_text(d.access_log)
    fields = logged()
    assert fields[2] == "127.0.0.1" and fields[5] == "GET" and fields[6] == url
    assert fields[7] == "alice@127.0.0.1", fields


def test_a_client_no_rule_admits_gets_noaccess(daemon_factory, workdir, pam_service, origin):
    d = daemon_factory(config=authenticating_config(workdir),
                       extra_args=["-x", pam_service]).start()
    url = "http://127.0.0.1:%d/page" % origin.port
    # The rule admits 127.0.0.1 only; this client comes from 127.0.0.2.
    status, head, body = fetch(d, url, "--interface", "127.0.0.2", "-U", "alice:Secret1")
    assert "You are not allowed to use this service." in body.decode(), head
    assert "Proxy-Authenticate" not in head
    assert origin.requests == []
    # The line follows the page.
    assert wait_for(lambda: "[IP:127.0.0.2] sent noaccess" in d.log()), d.log()
    assert wait_for(lambda: any(l.split()[2:4] == ["127.0.0.2", "TCP_DENIED/403"]
                                for l in read_text(d.access_log).splitlines()[1:] if l))


DENY_EVERYONE = ("<deny><enabled>true</enabled><comment>everyone</comment><log>false</log>"
                 "<ldap-names></ldap-names><interfaces></interfaces>"
                 "<addresses>127.0.0.1</addresses><authenticate>true</authenticate><user></user>"
                 "<password></password><access></access><bypass></bypass>"
                 "<interface-user></interface-user><interface-password></interface-password>"
                 "<profiles></profiles></deny>")


@pytest.mark.parametrize("deny,credentials,status,user", [
    (False, "alice:wrong", "200", "anonymous@127.0.0.1"),
    (False, "mallory:Secret1", "200", "anonymous@127.0.0.1"),
    (True, "alice:wrong", "407", None),
    (True, "alice:Secret1", "200", "alice@127.0.0.1"),
], ids=["default rule, wrong password", "default rule, unknown user",
        "deny then allow, wrong password", "deny then allow, right password"])
def test_deny_first_never_names_an_unverified_user(daemon_factory, workdir, pam_service, origin,
                                                   deny, credentials, status, user):
    # Deny rules first: with none matching, the built-in default rule admits
    # everyone without a login, so the name sent is verified by nobody; a
    # matching deny rule (one for every user) hands the client to the allow
    # rule, which verifies.
    text = read_text(authenticating_config(workdir))
    text = text.replace("<allow-first>true</allow-first>", "<allow-first>false</allow-first>")
    if deny:
        text = text.replace("</allow>\n  </access>", "</allow>" + DENY_EVERYONE + "\n  </access>")
        assert DENY_EVERYONE in text
    path = os.path.join(workdir, "deny-first.xml")
    with open(path, "w") as f:
        f.write(text)
    d = daemon_factory(config=path, extra_args=["-x", pam_service]).start()
    url = "http://127.0.0.1:%d/page" % origin.port
    answer, head, body = fetch(d, url, "-U", credentials)
    assert answer.split()[1] == status, head
    if user is None:
        assert origin.requests == []
        return
    assert body == ORIGIN_PAGE

    def logged():
        lines = [l.split() for l in read_text(d.access_log).splitlines() if url in l]
        return lines[-1] if lines else None
    assert wait_for(lambda: logged() is not None), read_text(d.access_log)
    assert logged()[7] == user, logged()
