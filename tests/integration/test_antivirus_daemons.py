"""Response bodies scanned through the F-Prot, Kaspersky and Sophie clients.

These daemons are closed and not packaged: each is played here by a small
scripted daemon that speaks its protocol, judges the body by a marker in
it, and can be told to misbehave (answer an error, stay silent, close early,
send a malformed or an over-long answer). Through the proxy: a clean body
arrives intact, an infected one is answered with the virus page and the
exact access-log record, and a daemon that fails lets the body pass,
logged as an error and never as clean.

The F-Prot daemon listens on the fixed ports 10200 to 10204; a lock file
keeps test runs of other work trees off them meanwhile."""
import fcntl
import os
import re
import socket
import stat
import threading

import pytest

from conftest import ScriptedHTTPServer, wait_for
from test_request_road import curl, extended_lines, native_lines, parse_native

MARKER = b"kestrivan-scanner-test-marker"
CLEAN = b"<html><body>nothing to see here</body></html>\n"
INFECTED = b"<html><body>before " + MARKER + b" after</body></html>\n"
VIRUS = "Kestrivan.Marker"
FPROT_PORT = 10200
PORT_LOCK = "/tmp/kestrivan-fprot-ports.lock"
# Every way a daemon can fail, and one that works ("scan").
FAILURES = ("error", "silent", "closed", "malformed", "long")


class FakeDaemon:
    """A scanner daemon on a unix-domain socket (path) or a loopback TCP
    port: every connection is served in a thread of its own by
    handle(daemon, connection), which acts as `case` says. `files` keeps
    what the daemon read of each body, `modes` the modes it saw."""

    def __init__(self, handle, path=None, port=0):
        self.handle = handle
        self.case = "scan"
        self.connections = 0
        self.files = []
        self.modes = []
        self.stopping = threading.Event()
        if path is not None:
            self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.listener.bind(path)
        else:
            self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.listener.bind(("127.0.0.1", port))
            self.port = self.listener.getsockname()[1]
        self.listener.listen(16)
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self.run, args=(connection,), daemon=True).start()

    def run(self, connection):
        connection.settimeout(10)
        try:
            self.handle(self, connection)
        except OSError:
            pass
        finally:
            connection.close()

    def read_body(self, path):
        """The body in the file the proxy named, noted with the modes of
        the file and its directory."""
        self.modes.append((stat.S_IMODE(os.stat(os.path.dirname(path)).st_mode),
                           stat.S_IMODE(os.stat(path).st_mode)))
        with open(path, "rb") as f:
            body = f.read()
        self.files.append(body)
        return body

    def silent(self):
        self.stopping.wait(30)

    def stop(self):
        self.stopping.set()
        # A close alone would leave the thread in accept() listening on.
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()


def read_until(connection, end):
    data = b""
    while not data.endswith(end):
        piece = connection.recv(1)
        if not piece:
            return None
        data += piece
    return data


def fprot_handle(daemon, connection):
    request = read_until(connection, b"\r\n\r\n")
    target = request.split(b" ")[1].decode()
    body = daemon.read_body(target.split("?")[0].replace("%20", " "))
    if daemon.case == "silent":
        return daemon.silent()
    if daemon.case == "closed":
        return
    if daemon.case == "scan" and MARKER in body:
        report = ("<fprot-results><detected><name>%s</name></detected>"
                  "<summary code=\"3\">infected</summary></fprot-results>" % VIRUS)
    elif daemon.case == "scan":
        report = "<fprot-results><summary code=\"0\">clean</summary></fprot-results>"
    elif daemon.case == "malformed":
        report = "<fprot-results><detected><name>%s</name></detected>" % VIRUS
    elif daemon.case == "long":
        report = "<fprot-results>" + "<x/>" * 100000 + "</fprot-results>"
    else:
        connection.sendall(b"HTTP/1.0 500 Internal Error\r\n\r\n<html>cannot scan</html>")
        return
    connection.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n"
                       b"<?xml version=\"1.0\"?>\n" + report.encode())


def kaspersky_handle(daemon, connection):
    command = read_until(connection, b"\r\n")
    assert command.startswith(b"SCAN xmQPRSTUWabcdefghi /")
    body = daemon.read_body(command[24:-2].decode())
    replies = {
        "error": b"201 started\r\n501 cannot scan\r\n",
        "closed": b"201 started\r\n",
        "malformed": b"hello\r\n",
        "long": b"201 " + b"x" * 2000 + b"\r\n",
    }
    if daemon.case == "silent":
        return daemon.silent()
    if daemon.case == "scan":
        connection.sendall(b"201 started\r\n" + (
            b"322-%s %s\r\n230 infected\r\n" % (VIRUS.encode(), command[24:-2])
            if MARKER in body else b"220 clean\r\n"))
        read_until(connection, b"QUIT\r\n")
    else:
        connection.sendall(replies[daemon.case])


def sophie_handle(daemon, connection):
    path = read_until(connection, b"\n")[:-1].decode()
    body = daemon.read_body(path)
    answers = {"error": b"-1:cannot read\n", "closed": b"", "malformed": b"what?\n",
               "long": b"1:" + b"v" * 1000 + b"\n"}
    if daemon.case == "silent":
        return daemon.silent()
    if daemon.case == "scan":
        connection.sendall(b"1:%s\n" % VIRUS.encode() if MARKER in body else b"0\n")
    else:
        connection.sendall(answers[daemon.case])


def sophie_tcp_handle(daemon, connection):
    announcement = read_until(connection, b"\n")
    name, size = announcement[:-1].rsplit(b"/", 1)
    assert name.startswith(b"kestrivan-sophie.")
    if daemon.case == "refused":
        connection.sendall(b"NO\n")
        daemon.files.append(connection.recv(65536))
        return
    connection.sendall(b"OK\n")
    body = b""
    while len(body) < int(size):
        body += connection.recv(65536)
    daemon.files.append(body)
    connection.sendall(b"1:%s\n" % VIRUS.encode() if MARKER in body else b"0\n")


@pytest.fixture(scope="module")
def origin():
    bodies = {"/clean": CLEAN, "/infected": INFECTED}

    def answer(handler):
        body = bodies[handler.path]
        handler.send_response(200)
        handler.send_header("Content-Type", "text/html")
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)

    server = ScriptedHTTPServer(answer)
    yield server
    server.stop()


@pytest.fixture
def daemons():
    started = []

    def make(*args, **kwargs):
        daemon = FakeDaemon(*args, **kwargs)
        started.append(daemon)
        return daemon

    yield make
    for daemon in started:
        daemon.stop()


@pytest.fixture
def fprot_port():
    """Holds the F-Prot ports for this test; waits while another run has
    them."""
    with open(PORT_LOCK, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            probe = socket.socket()
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                probe.bind(("127.0.0.1", FPROT_PORT))
            except OSError:
                pytest.skip("port %d is taken by another program" % FPROT_PORT)
            finally:
                probe.close()
            yield FPROT_PORT
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def rule_section(name, globals_text, rule_fields=""):
    return ("  <%s><enabled>true</enabled>%s<rules><enabled>true</enabled><comment>all</comment>"
            "<profiles></profiles><template></template>%s</rules></%s>\n"
            % (name, globals_text, rule_fields, name))


def fprot_section():
    return rule_section("fprot", "<template></template>",
                        "<archive_depth>2</archive_depth><options>archive</options>")


def kaspersky_section(path):
    return rule_section("kaspersky", "<template></template><socket>%s</socket>" % path)


def sophie_section(path="", host="", port=0):
    return rule_section("sophie", "<socket>%s</socket><host>%s</host><port>%d</port>"
                        "<template></template>" % (path, host, port))


def fetch(proxy, origin, path):
    result = curl(proxy, "http://127.0.0.1:%d%s" % (origin.port, path))
    assert result.returncode == 0, result.stderr
    return result.stderr.decode("latin-1").split("\r\n")[0], result.stdout


# The extended record of a blocked download: id, time, client, user, client
# id, date, request, status, size (what came from the server), referer,
# agent, type, filter and reason, profiles, interface.
EXTENDED_BLOCK = (r'^"[\d.]+-\d+-127\.0\.0\.1-\d+" \d+ 127\.0\.0\.1 "anonymous@127\.0\.0\.1" "\d+" '
                  r'\[[^\]]+\] "GET %s" 403 %d "-" "curl/[^"]*" text/html "%s %s" "" '
                  r'"127\.0\.0\.1:\d+"$')


def assert_blocked_and_recorded(proxy, origin, scanner, filter_name, count):
    """Fetches the infected body: the virus page, and as the last of `count`
    records the exact block."""
    status, page = fetch(proxy, origin, "/infected")
    assert status == "HTTP/1.1 403 Forbidden"
    assert MARKER not in page
    url = "http://127.0.0.1:%d/infected" % origin.port
    assert (b"%s found the virus <b>%s</b> in <b>%s</b>"
            % (scanner.encode(), VIRUS.encode(), url.encode())) in page
    assert wait_for(lambda: len(extended_lines(proxy)) >= count, 5)
    native = parse_native(native_lines(proxy)[count - 1])
    assert native == {"client": "127.0.0.1", "cache": "TCP_DENIED", "status": "403",
                      "size": str(len(INFECTED)), "method": "GET", "url": url,
                      "user": "anonymous@127.0.0.1", "peercode": "DIRECT", "peer": "kestrivan",
                      "mime": "text/html"}
    extended = extended_lines(proxy)[count - 1]
    assert re.match(EXTENDED_BLOCK % (re.escape(url), len(INFECTED), filter_name, VIRUS),
                    extended), extended


def assert_failures_pass_unjudged(proxy, origin, daemon, clean_line, count):
    """Each way of failing lets the infected body pass, logged as an error
    and never as clean; `count` records came before."""
    for case in FAILURES:
        daemon.case = case
        before = len(proxy.log())
        status, body = fetch(proxy, origin, "/infected")
        assert (status, body) == ("HTTP/1.1 200 OK", INFECTED), case
        count += 1
        assert wait_for(lambda: len(native_lines(proxy)) >= count, 5)
        record = parse_native(native_lines(proxy)[count - 1])
        assert (record["cache"], record["status"]) == ("TCP_MISS", "200"), case
        logged = proxy.log()[before:]
        assert "antivirus: error" in logged and clean_line not in logged, (case, logged)


def temporary_folder(workdir):
    path = os.path.join(workdir, "tmp")
    os.mkdir(path)
    return path


def test_fprot(proxy_factory, origin, daemons, fprot_port, workdir):
    fprot = daemons(fprot_handle, port=fprot_port)
    # Kaspersky, also on: it runs after F-Prot and never sees what F-Prot
    # blocked.
    kaspersky = daemons(kaspersky_handle, path=os.path.join(workdir, "kav.sock"))
    tempdir = temporary_folder(workdir)
    proxy = proxy_factory(extra_sections=fprot_section() + kaspersky_section(
        os.path.join(workdir, "kav.sock")), maxdownload="4M", timeout=2, tempdir=tempdir)

    status, body = fetch(proxy, origin, "/clean")
    assert (status, body) == ("HTTP/1.1 200 OK", CLEAN)
    assert (fprot.files, kaspersky.files) == ([CLEAN], [CLEAN])
    assert_blocked_and_recorded(proxy, origin, "F-Prot", "f-prot", 2)
    assert fprot.files[-1] == INFECTED and kaspersky.connections == 1
    log = proxy.log()
    assert "antivirus: no viruses detected by F-Prot" in log
    assert "antivirus: detected %s virus with F-Prot" % VIRUS in log

    kaspersky.stop()
    assert_failures_pass_unjudged(proxy, origin, fprot, "no viruses detected by F-Prot", 2)
    log = proxy.log()
    assert log.count("antivirus: error parsing F-Prot result XML") == 2  # error, malformed
    assert "no report from the daemon on 127.0.0.1:10200 within 2 seconds" in log
    assert "closed the connection without a report" in log
    assert "sent an answer longer than the report limit" in log
    assert os.listdir(tempdir) == []


def test_fprot_down_lets_the_body_pass(proxy_factory, origin, fprot_port):
    proxy = proxy_factory(extra_sections=fprot_section(), maxdownload="4M")
    status, body = fetch(proxy, origin, "/infected")
    assert (status, body) == ("HTTP/1.1 200 OK", INFECTED)
    assert "antivirus: connection to F-Prot daemon scanner failed" in proxy.log()


def test_kaspersky(proxy_factory, origin, daemons, workdir):
    path = os.path.join(workdir, "aveserver")
    kaspersky = daemons(kaspersky_handle, path=path)
    tempdir = temporary_folder(workdir)
    proxy = proxy_factory(extra_sections=kaspersky_section(path), maxdownload="4M", timeout=2,
                          tempdir=tempdir)
    status, body = fetch(proxy, origin, "/clean")
    assert (status, body) == ("HTTP/1.1 200 OK", CLEAN)
    assert_blocked_and_recorded(proxy, origin, "Kaspersky", "Kaspersky", 2)
    assert kaspersky.files == [CLEAN, INFECTED]
    assert_failures_pass_unjudged(proxy, origin, kaspersky, "no viruses detected by Kaspersky", 2)
    log = proxy.log()
    assert "warning: unknown response from Kaspersky daemon: 501 cannot scan" in log
    assert "closed the connection before its verdict" in log
    assert "no verdict from the daemon on %s within 2 seconds" % path in log
    assert os.listdir(tempdir) == []


@pytest.mark.parametrize("over", ["socket", "tcp"])
def test_sophie(proxy_factory, origin, daemons, workdir, over):
    if over == "socket":
        path = os.path.join(workdir, "sophie")
        sophie = daemons(sophie_handle, path=path)
        section = sophie_section(path=path, host="127.0.0.1", port=1)
    else:
        sophie = daemons(sophie_tcp_handle)
        section = sophie_section(host="localhost", port=sophie.port)
    tempdir = temporary_folder(workdir)
    proxy = proxy_factory(extra_sections=section, maxdownload="4M", timeout=2, tempdir=tempdir)
    status, body = fetch(proxy, origin, "/clean")
    assert (status, body) == ("HTTP/1.1 200 OK", CLEAN)
    assert_blocked_and_recorded(proxy, origin, "Sophie", "Sophie", 2)
    assert sophie.files == [CLEAN, INFECTED]
    if over == "tcp":
        assert "antivirus: No virus Found" in proxy.log()
        sophie.case = "refused"
        status, body = fetch(proxy, origin, "/infected")
        assert (status, body) == ("HTTP/1.1 200 OK", INFECTED)
        assert sophie.files[-1] == b""  # not a byte after the refusal
        assert "antivirus: 'OK' not returned from Sophie" in proxy.log()
    else:
        # The daemon read the body in a folder that only the proxy's user and
        # the daemon's group may read.
        assert set(sophie.modes) == {(0o750, 0o640)}
        assert_failures_pass_unjudged(proxy, origin, sophie, "no viruses detected by Sophie", 2)
    assert os.listdir(tempdir) == []
