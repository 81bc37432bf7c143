"""Response bodies scanned by a real clamd through the daemon: clean and
infected bodies over clamd's unix-domain socket and over TCP, an FTP
download, a body over clamd's StreamMaxLength, a clamd that is stopped and
one that accepts and stays silent, and cached copies: one that passed the
scan is not scanned again, one that passed unscanned is.

clamd runs offline on a one-line signature database written here (never a
downloaded one). It lower-cases HTML and text before matching, so the
signature is the hex of a lower-case marker."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest

from conftest import ScriptedHTTPServer, free_port, port_open, read_text, wait_for
from test_cache import cache_codes, cache_section
from test_ftp import curl as ftp_curl
from test_ftp import ftp_section, pyftpd  # noqa: F401 (fixture)
from test_request_road import curl, extended_lines, native_lines, origin_factory  # noqa: F401
from test_request_road import parse_native

CLAMD = "/usr/sbin/clamd"
MARKER = b"kestrivan-antivirus-test-marker"
VIRUS = "Kestrivan.Test.Marker.UNOFFICIAL"
STREAM_LIMIT = 1 << 20
CLEAN = b"<html><body>nothing to see here</body></html>\n"
INFECTED = b"<html><body>before " + MARKER + b" after</body></html>\n"
OVER_LIMIT = b"x" * (STREAM_LIMIT + 200000) + MARKER


class Clamd:
    """clamd in the foreground, without a User line, on a unix-domain socket
    and a loopback TCP port, with a StreamMaxLength of 1 MiB."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="kestrivan-clamd-")
        database = os.path.join(self.folder, "db")
        os.makedirs(database)
        with open(os.path.join(database, "kestrivan.ndb"), "w") as f:
            f.write("Kestrivan.Test.Marker:0:*:%s\n" % MARKER.hex())
        self.socket_path = os.path.join(self.folder, "clamd.sock")
        self.port = free_port()
        self.log = os.path.join(self.folder, "clamd.log")
        self.conf = os.path.join(self.folder, "clamd.conf")
        with open(self.conf, "w") as f:
            f.write("Foreground yes\nDatabaseDirectory %s\nLocalSocket %s\nTCPSocket %d\n"
                    "TCPAddr 127.0.0.1\nStreamMaxLength %d\nLogFile %s\nLogVerbose no\n"
                    "LogClean yes\n"
                    % (database, self.socket_path, self.port, STREAM_LIMIT, self.log))
        self.process = subprocess.Popen([CLAMD, "-c", self.conf], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.STDOUT, cwd=self.folder)
        ready = wait_for(lambda: self.process.poll() is not None or (
            port_open(self.port) and os.path.exists(self.socket_path)), 60)
        assert ready and self.process.poll() is None, "clamd did not start:\n" + read_text(self.log)

    def scans(self):
        """Bodies clamd has judged so far (LogClean logs the clean ones too)."""
        return sum(1 for line in read_text(self.log).splitlines()
                   if line.startswith("instream(") and line.endswith((": OK", " FOUND")))

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        shutil.rmtree(self.folder, ignore_errors=True)


@pytest.fixture(scope="module")
def clamd():
    if not os.access(CLAMD, os.X_OK):
        pytest.skip("clamd is not installed (scripts/install-deps.sh)")
    daemon = Clamd()
    yield daemon
    daemon.stop()


@pytest.fixture(scope="module")
def origin():
    bodies = {"/clean": CLEAN, "/infected": INFECTED, "/big": OVER_LIMIT}

    def answer(handler):
        path = handler.path.split("?")[0]
        # /cached/<anything>: a clean body that may be kept for ten minutes.
        body = CLEAN if path.startswith("/cached/") else bodies.get(path, b"")
        handler.send_response(200 if body else 404)
        handler.send_header("Content-Type", "text/html")
        handler.send_header("Content-Length", str(len(body)))
        if path.startswith("/cached/"):
            handler.send_header("Cache-Control", "max-age=600")
        handler.end_headers()
        handler.wfile.write(body)

    server = ScriptedHTTPServer(answer)
    yield server
    server.stop()


def clamav_section(address, port=0):
    return ("  <clamav><enabled>true</enabled><address>%s</address><port>%d</port>"
            "<template></template><rules><enabled>true</enabled><comment>all</comment>"
            "<groups></groups><profiles></profiles><template></template></rules></clamav>\n"
            % (address, port))


def fetch(proxy, origin, path):
    result = curl(proxy, "http://127.0.0.1:%d%s" % (origin.port, path))
    assert result.returncode == 0, result.stderr
    return result.stderr.decode("latin-1").split("\r\n")[0], result.stdout


def last_records(proxy, count):
    assert wait_for(lambda: len(extended_lines(proxy)) >= count, 5), read_text(proxy.access_log)
    return [parse_native(line) for line in native_lines(proxy)], extended_lines(proxy)


@pytest.mark.parametrize("over", ["unix", "tcp"])
def test_clean_body_passes_and_infected_one_gets_the_virus_page(proxy_factory, clamd, origin,
                                                                over):
    address, port = ((clamd.socket_path, 0) if over == "unix" else ("127.0.0.1", clamd.port))
    proxy = proxy_factory(extra_sections=clamav_section(address, port), maxdownload="4M")

    status, body = fetch(proxy, origin, "/clean")
    assert status == "HTTP/1.1 200 OK" and body == CLEAN

    status, body = fetch(proxy, origin, "/infected")
    assert status == "HTTP/1.1 403 Forbidden"
    assert MARKER not in body
    assert (b"ClamAV found the virus <b>%s</b> in <b>http://127.0.0.1:%d/infected</b>"
            % (VIRUS.encode(), origin.port)) in body

    native, extended = last_records(proxy, 2)
    assert native[0]["cache"] != "TCP_DENIED" and native[0]["status"] == "200"
    assert (native[1]["cache"], native[1]["status"], native[1]["peercode"], native[1]["peer"]) == \
        ("TCP_DENIED", "403", "DIRECT", "kestrivan")
    assert '"ClamAV %s"' % VIRUS in extended[1]
    assert '"- -"' in extended[0]
    assert "antivirus: ClamAV: detected %s virus" % VIRUS in proxy.log()
    assert "failed to check file for viruses" not in proxy.log()


def test_ftp_download_is_scanned(proxy_factory, clamd, pyftpd):  # noqa: F811
    with open(os.path.join(pyftpd["root"], "infected.html"), "wb") as f:
        f.write(INFECTED)
    proxy = proxy_factory(extra_sections=clamav_section(clamd.socket_path)
                          + ftp_section(), maxdownload="4M")
    result = ftp_curl(proxy, pyftpd["base"] + "/infected.html")
    assert result.returncode == 0, result.stderr
    assert b"ClamAV found the virus <b>%s</b>" % VIRUS.encode() in result.stdout
    result = ftp_curl(proxy, pyftpd["base"] + "/hello.txt")
    assert result.stdout == b"hello over ftp\n"
    native, extended = last_records(proxy, 2)
    assert (native[0]["cache"], native[0]["status"]) == ("TCP_DENIED", "403")
    assert '"ClamAV %s"' % VIRUS in extended[0]


def test_body_over_the_stream_limit_passes_unscanned_with_advice(proxy_factory, clamd, origin):
    proxy = proxy_factory(extra_sections=clamav_section(clamd.socket_path), maxdownload="4M")
    status, body = fetch(proxy, origin, "/big")
    assert status == "HTTP/1.1 200 OK" and body == OVER_LIMIT
    log = proxy.log()
    assert "StreamMaxLength" in log
    assert "antivirus: error: ClamAV: failed to check file for viruses" in log
    assert "no viruses found" not in log


def stale_socket(folder):
    """A unix-domain socket file nobody listens on, as a stopped clamd leaves."""
    path = os.path.join(folder, "stopped.sock")
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind(path)
    s.close()
    return path


@pytest.mark.parametrize("over", ["unix", "tcp"])
def test_stopped_clamd_lets_the_body_pass_and_is_logged(proxy_factory, origin, workdir, over):
    address, port = ((stale_socket(workdir), 0) if over == "unix" else ("127.0.0.1", free_port()))
    proxy = proxy_factory(extra_sections=clamav_section(address, port), maxdownload="4M")
    status, body = fetch(proxy, origin, "/infected")
    assert status == "HTTP/1.1 200 OK" and body == INFECTED
    log = proxy.log()
    where = address if over == "unix" else "%s:%d" % (address, port)
    assert "ClamAV: Please Verify that ClamAV is listening on %s" % where in log
    assert "antivirus: error: ClamAV: failed to check file for viruses" in log
    native, _ = last_records(proxy, 1)
    assert (native[0]["cache"], native[0]["status"]) != ("TCP_DENIED", "403")


def test_silent_clamd_costs_one_read_time_out(proxy_factory, origin, origin_factory):
    # A peer that takes the connection and what is sent, and never answers
    # (it waits for an HTTP request header that never comes).
    silent = origin_factory(lambda request, client: "close")
    proxy = proxy_factory(extra_sections=clamav_section("127.0.0.1", silent.port),
                          maxdownload="4M", timeout=2)
    begin = time.monotonic()
    status, body = fetch(proxy, origin, "/infected")
    elapsed = time.monotonic() - begin
    assert status == "HTTP/1.1 200 OK" and body == INFECTED
    assert silent.connections == 1
    assert elapsed < 10
    log = proxy.log()
    assert "ClamAV: no answer from clamd at 127.0.0.1:%d within 2 seconds" % silent.port in log
    assert "antivirus: error: ClamAV: failed to check file for viruses" in log


def test_cached_copy_that_passed_the_scan_is_not_scanned_again(proxy_factory, clamd, origin):
    proxy = proxy_factory(extra_sections=cache_section() + clamav_section(clamd.socket_path),
                          maxdownload="4M")
    before = clamd.scans()
    for _ in range(3):
        status, body = fetch(proxy, origin, "/cached/passed")
        assert status == "HTTP/1.1 200 OK" and body == CLEAN
    assert cache_codes(proxy, 3) == ["TCP_MISS", "TCP_HIT", "TCP_HIT"]
    assert wait_for(lambda: clamd.scans() == before + 1, 5), read_text(clamd.log)
    time.sleep(0.2)
    assert clamd.scans() == before + 1


def test_cached_copy_that_passed_unscanned_is_scanned_at_its_next_hit(proxy_factory, origin,
                                                                      workdir):
    proxy = proxy_factory(extra_sections=cache_section() + clamav_section(stale_socket(workdir)),
                          maxdownload="4M")
    for _ in range(2):
        status, body = fetch(proxy, origin, "/cached/unscanned")
        assert status == "HTTP/1.1 200 OK" and body == CLEAN
    assert cache_codes(proxy, 2) == ["TCP_MISS", "TCP_HIT"]
    assert proxy.log().count("antivirus: error: ClamAV: failed to check file for viruses") == 2
