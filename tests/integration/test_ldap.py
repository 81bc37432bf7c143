"""The daemon and its LDAP section: start-up refuses to run without the RC4
cipher that encrypted configuration passwords need."""
import os


def test_start_up_stops_when_rc4_is_unavailable(daemon_factory, workdir, monkeypatch):
    # OpenSSL looks for its legacy provider (which holds RC4) in this folder.
    monkeypatch.setenv("OPENSSL_MODULES", os.path.join(workdir, "no-providers"))
    daemon = daemon_factory().start(ready_line=None)
    assert daemon.wait(timeout=15) == 1
    log = daemon.log()
    assert "error: unable to load the RC4 cipher: " in log
    assert "error: ldap: RC4 is not available, encrypted passwords cannot be read" in log
    assert "proxy hostname:" not in log
