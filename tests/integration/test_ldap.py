"""The daemon and its LDAP section: at start-up the DN cache is loaded from a
real slapd with the service account's encrypted password; without the RC4
cipher those passwords need only they fail, each with a clear message; a
directory that cannot be reached never stops the daemon."""
import base64
import os
import socket
import subprocess

import pytest

from conftest import CONFIG, free_port, read_text, wait_for

BASE = "ou=people,dc=example,dc=com"
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def port_open(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


@pytest.fixture
def slapd(workdir):
    """A private slapd with back_mdb and three people under BASE."""
    port = free_port()
    db = os.path.join(workdir, "db")
    os.makedirs(db)
    conf = os.path.join(workdir, "slapd.conf")
    with open(conf, "w") as f:
        f.write("include /etc/ldap/schema/core.schema\n"
                "include /etc/ldap/schema/cosine.schema\n"
                "include /etc/ldap/schema/inetorgperson.schema\n"
                "modulepath /usr/lib/ldap\nmoduleload back_mdb\n"
                "pidfile %s/slapd.pid\n"
                "database mdb\nmaxsize 10485760\nsuffix \"dc=example,dc=com\"\n"
                "rootdn \"cn=admin,dc=example,dc=com\"\nrootpw secret\n"
                "directory %s\n" % (workdir, db))
    log = open(os.path.join(workdir, "slapd.log"), "wb")
    server = subprocess.Popen(["/usr/sbin/slapd", "-f", conf, "-h", "ldap://127.0.0.1:%d/" % port,
                               "-d", "stats"], stdout=log, stderr=subprocess.STDOUT)
    try:
        assert wait_for(lambda: port_open(port), 10), read_text(log.name)
        ldif = ("dn: dc=example,dc=com\nobjectClass: dcObject\nobjectClass: organization\n"
                "o: Example\ndc: example\n\n"
                "dn: %s\nobjectClass: organizationalUnit\nou: people\n\n" % BASE)
        for name in ("anna", "bert", "carl"):
            ldif += ("dn: uid=%s,%s\nobjectClass: inetOrgPerson\nuid: %s\ncn: %s\nsn: %s\n"
                     "businessCategory: staff\n\n" % (name, BASE, name, name, name))
        subprocess.run(["ldapadd", "-x", "-H", "ldap://127.0.0.1:%d/" % port,
                        "-D", "cn=admin,dc=example,dc=com", "-w", "secret"],
                       input=ldif.encode(), check=True, stdout=subprocess.DEVNULL, timeout=30)
        yield port
    finally:
        server.terminate()
        server.wait(timeout=10)
        log.close()


def encrypted_password(password):
    """The configuration form of a password for this machine's host key: RC4
    with the first 16 bytes of the machine identity, unpadded Base64, each
    character as its two-character code."""
    key = "".join(c for c in read_text("/etc/machine-id") if c.isalnum())[:16].encode()
    key += b"\0" * (16 - len(key))
    cipher = subprocess.run(["openssl", "enc", "-rc4", "-K", key.hex(), "-provider", "legacy",
                             "-provider", "default"],
                            input=password.encode(), capture_output=True, check=True).stdout
    text = base64.b64encode(cipher).decode().rstrip("=")
    return "".join(chr(ord("k") + ALPHABET.index(c) // 8) + chr(ord("2") + ALPHABET.index(c) % 8)
                   for c in text)


def ldap_config(workdir, port, password):
    section = ("<ldap><enabled>true</enabled><servers><enabled>true</enabled>"
               "<server>127.0.0.1</server><port>%d</port><method>plain</method>"
               "<bind-type>directory</bind-type><size-limit>100</size-limit>"
               "<bind-dn>cn=admin,dc=example,dc=com</bind-dn><bind-password>%s</bind-password>"
               "<base>%s</base><user-attribute>uid</user-attribute>"
               "<group-attribute>businessCategory</group-attribute></servers></ldap>"
               % (port, password, BASE))
    path = os.path.join(workdir, "ldap.xml")
    with open(path, "w") as f:
        f.write(read_text(CONFIG).replace("</kestrivan>", section + "</kestrivan>"))
    return path


@pytest.mark.skipif(not os.path.exists("/etc/machine-id"), reason="no machine identity")
def test_start_up_loads_the_dn_cache_with_the_encrypted_password(daemon_factory, workdir, slapd):
    daemon = daemon_factory(config=ldap_config(workdir, slapd, encrypted_password("secret")))
    daemon.start()
    log = daemon.log()
    assert "ldap: cache: entries returned [3] refreshed [3]" in log
    assert "secret" not in log
    slapd_log = read_text(os.path.join(workdir, "slapd.log"))
    assert 'BIND dn="cn=admin,dc=example,dc=com" mech=SIMPLE' in slapd_log
    assert 'filter="(&(objectClass=person)(uid=*))"' in slapd_log


def test_an_unreachable_directory_never_stops_the_daemon(daemon_factory, workdir):
    port = free_port()
    daemon = daemon_factory(config=ldap_config(workdir, port, encrypted_password("secret")))
    daemon.start()
    assert ("error: [LDAP:-1:Can't contact LDAP server]  server 127.0.0.1:%d" % port
            in daemon.log())
    assert daemon.running()


@pytest.mark.skipif(not os.path.exists("/etc/machine-id"), reason="no machine identity")
def test_without_rc4_the_daemon_serves_and_only_encrypted_passwords_fail(daemon_factory, workdir,
                                                                         monkeypatch, slapd):
    password = encrypted_password("secret")
    # OpenSSL looks for its legacy provider (which holds RC4) in this folder.
    monkeypatch.setenv("OPENSSL_MODULES", os.path.join(workdir, "no-providers"))
    daemon = daemon_factory(config=ldap_config(workdir, slapd, password)).start()
    log = daemon.log()
    assert "error: unable to load the RC4 cipher: " in log
    # The one thing that cannot work says so, and no bind is tried with it.
    assert wait_for(lambda: "error: ldap: the bind password cannot be decrypted: encrypted "
                            "passwords cannot be made or read: this OpenSSL offers no RC4"
                            in daemon.log())
    # Only the fixture's own ldapadd has bound.
    slapd_log = read_text(os.path.join(workdir, "slapd.log"))
    assert slapd_log.count('BIND dn="cn=admin,dc=example,dc=com" mech=SIMPLE') == 1, slapd_log
    # Everything else is served, the interface too; its password page tells why
    # it cannot encrypt.
    def through(target, *extra):
        return subprocess.run(["curl", "-s", "-i", "--max-time", "10", "-x",
                               "http://127.0.0.1:%d" % daemon.port] + list(extra) +
                              ["http://kestrivan" + target],
                              capture_output=True, timeout=20).stdout
    assert through("/xml").startswith(b"HTTP/1.1 200 OK\r\n")
    page = through("/password", "--data", "active=Key_1&scode=Secret&scode1=Secret",
                   "-H", "Referer: http://kestrivan/")
    assert b"encrypted passwords cannot be made or read: this OpenSSL offers no RC4" in page
    assert daemon.running()
