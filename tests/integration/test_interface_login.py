"""The web interface's login: the form, the session cookie (random, kept by
the daemon, HttpOnly, expiring in real GMT), its renewal and its end at the
log-out, the documents for other instances behind the login (a session or
Basic credentials, which a slave's -M carries), "/userstats" and the
secrets that never reach the error log."""
import calendar
import email.utils
import os
import re
import time

import pytest

from conftest import CONFIG, Daemon, read_text, wait_for
from test_interface import MENU, REFERER, curl

USER = "admin"
PASSWORD = "S3cret&pass word"
FORM = "Web interface login"
COOKIE = re.compile(r"^login=([0-9a-f]{64}); path=/; expires=(.+ GMT); HttpOnly$")


def login_config(workdir, user=USER, password=PASSWORD):
    from xml.sax.saxutils import escape
    path = os.path.join(workdir, "login-%s.xml" % user)
    text = read_text(CONFIG).replace(
        "<interface-user></interface-user>", "<interface-user>%s</interface-user>" % escape(user))
    text = text.replace("<interface-password></interface-password>",
                        "<interface-password>%s</interface-password>" % escape(password))
    with open(path, "w") as f:
        f.write(text)
    return path


def login_form_data(user=USER, password=PASSWORD):
    from urllib.parse import urlencode
    return urlencode({"username": user, "password": password})


def expiry_of(set_cookie):
    match = COOKIE.match(set_cookie)
    assert match, set_cookie
    stamp = time.strptime(match.group(2), "%a, %d-%b-%Y %H:%M:%S GMT")
    return match.group(1), calendar.timegm(stamp)


@pytest.fixture
def guarded(daemon_factory, workdir, monkeypatch):
    # West of universal time: a cookie expiry written in local time
    # labelled GMT would already be past.
    monkeypatch.setenv("TZ", "America/New_York")
    return daemon_factory(config=login_config(workdir), extra_args=["-d", str(0x0FFFFFFF)]).start()


def test_login_session_renewal_and_logout(guarded):
    d = guarded
    # Not logged in: the form, posting back to the page asked for.
    status, headers, body = curl(d, "/ldap")
    text = body.decode()
    assert status == 200 and FORM in text and MENU not in text
    assert '<form action="/ldap" method="POST">' in text and "set-cookie" not in headers

    # Credentials count only with the interface's Referer, and only right.
    for extra in [("--data", login_form_data()),
                  ("--data", login_form_data(password="wrong")) + REFERER,
                  ("--data", login_form_data(password=PASSWORD.upper())) + REFERER,
                  ("-b", "login=" + "0" * 64) + REFERER]:
        _, headers, body = curl(d, "/ldap", *extra)
        assert FORM in body.decode() and "set-cookie" not in headers, extra

    before = time.time()
    _, headers, body = curl(d, "/ldap", "--data", login_form_data(), *REFERER)
    assert MENU in body.decode() and FORM not in body.decode()
    token, expires = expiry_of(headers["set-cookie"])
    assert before + 3600 - 5 <= expires <= time.time() + 3600 + 5
    assert '<td><a href="logout">Log out</a></td>' in body.decode()

    # The cookie opens every page and is renewed each time, without a
    # Referer too (a bookmark).
    cookie = ("-b", "other=1; login=" + token)
    for target in ["/ldap", "/password", "/config"]:
        _, headers, body = curl(d, target, *cookie)
        assert MENU in body.decode(), target
        again, _ = expiry_of(headers["set-cookie"])
        assert again == token

    # A second login gets a session of its own.
    _, headers, _ = curl(d, "/", "--data", login_form_data(), *REFERER)
    second, _ = expiry_of(headers["set-cookie"])
    assert second != token

    # Log-out: the cookie is deleted and the captured token is worth nothing.
    _, headers, body = curl(d, "/logout", *cookie)
    assert headers["set-cookie"] == (
        "login=; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT; HttpOnly")
    assert "You are logged out." in body.decode()
    assert '<form action="/" method="POST">' in body.decode()
    _, headers, body = curl(d, "/ldap", *cookie)
    assert FORM in body.decode() and "set-cookie" not in headers
    # The other session lives on.
    _, _, body = curl(d, "/ldap", "-b", "login=" + second)
    assert MENU in body.decode()

    # Neither the password nor a token ever reaches the error log, even with
    # every debug category on.
    log = d.log()
    assert "cgi arguments: username=admin&password=***" in log
    assert "S3cret" not in log and token not in log and second not in log


def test_documents_need_the_login(guarded):
    d = guarded
    for target in ["/xml", "/ldapcache"]:
        status, headers, body = curl(d, target)
        assert status == 401, target
        assert headers["www-authenticate"] == 'Basic realm="Kestrivan web interface"'
        assert b"<kestrivan" not in body
        status, headers, body = curl(d, target, "-u", USER + ":wrong")
        assert status == 401, target
        status, headers, _ = curl(d, target, "-u", "%s:%s" % (USER, PASSWORD))
        assert status == 200 and headers["content-type"] == "text/xml", target
        status, _, _ = curl(d, target, "-u", "%s:%s" % (USER, PASSWORD), proxy=False)
        assert status == 200, target
    status, _, body = curl(d, "/xml", "-u", "%s:%s" % (USER, PASSWORD))
    assert b"<interface-password>" in body
    _, headers, _ = curl(d, "/", "--data", login_form_data(), *REFERER)
    token, _ = expiry_of(headers["set-cookie"])
    status, _, _ = curl(d, "/xml", "-b", "login=" + token)
    assert status == 200


def test_a_slave_synchronises_with_the_masters_login(workdir):
    master_dir = os.path.join(workdir, "master")
    slave_dir = os.path.join(workdir, "slave")
    os.makedirs(master_dir)
    os.makedirs(slave_dir)
    started = []
    try:
        master = Daemon(master_dir, config=login_config(master_dir))
        started.append(master)
        master.start()
        slave_config = os.path.join(slave_dir, "slave.xml")
        with open(slave_config, "w") as f:
            f.write(read_text(CONFIG).replace("<poolsize>20</poolsize>",
                                              "<poolsize>7</poolsize>"))
        # The password as a URL writes it: "&" and a blank percent-encoded.
        login = "%s:%s@" % (USER, PASSWORD.replace("&", "%26").replace(" ", "%20"))
        slave = Daemon(slave_dir, config=slave_config,
                       extra_args=["-M", "%s127.0.0.1:%d" % (login, master.port), "-I", "1"])
        started.append(slave)
        slave.start()
        assert wait_for(lambda: "<poolsize>20</poolsize>" in read_text(slave_config)), slave.log()
        assert "S3cret" not in slave.log()
    finally:
        for d in started:
            d.stop()


def test_userstats_shows_the_rules_groups_behind_the_login(guarded):
    d = guarded
    _, _, body = curl(d, "/userstats")
    assert FORM in body.decode() and '<table class="smalldialog">' not in body.decode()
    _, headers, _ = curl(d, "/", "--data", login_form_data(), *REFERER)
    token, _ = expiry_of(headers["set-cookie"])
    _, _, body = curl(d, "/userstats", "-b", "login=" + token)
    text = body.decode()
    groups = re.findall(r'<td class="listhead" align="center" colspan="2">([^<]*)</td>', text)
    assert groups == ["requests", "cache", "cache refresh", "hosts", "mimes"]
    assert MENU not in text
    assert ('<tr class="listeven"><td width="40%">HTTP requests</td><td>0</td></tr>\n'
            '<tr class="listodd"><td width="40%">FTP requests</td><td>0</td></tr>') in text
    assert '<tr class="listeven"><td width="40%">hit</td><td>0 (0%)</td></tr>' in text
