"""The ICAP client end to end: the daemon in front of a real c-icap server
(its echo service) and of a scripted ICAP server for the replies c-icap never
gives (204, silence, early close of a pooled connection, both bodies, REQMOD
answered with a response, malformed replies), checking the bytes the client
receives and the log lines."""
import os
import re
import signal
import socket
import subprocess
import threading
import time

import pytest

from conftest import free_port, port_open, read_text, wait_for
from test_request_road import extended_lines, get, native_lines, origin_factory, raw_exchange

C_ICAP = "/usr/bin/c-icap"
C_ICAP_MODULES = "/usr/lib/x86_64-linux-gnu/c_icap"


def icap_section(port, mode, service="/echo"):
    return """
  <icap>
    <enabled>true</enabled>
    <servers>
      <enabled>true</enabled><comment>test</comment><profiles></profiles>
      <host>127.0.0.1</host><service>%s</service><port>%d</port><mode>%s</mode>
    </servers>
  </icap>""" % (service, port, mode)


@pytest.fixture
def c_icap(workdir):
    if not os.path.exists(C_ICAP):
        pytest.skip("c-icap is not installed (scripts/install-deps.sh)")
    port = free_port()
    conf = os.path.join(workdir, "c-icap.conf")
    with open(conf, "w") as f:
        f.write("""PidFile %(d)s/c-icap.pid
CommandsSocket %(d)s/c-icap.ctl
Timeout 30
MaxKeepAliveRequests 100
KeepAliveTimeout 60
StartServers 1
MaxServers 1
MinSpareThreads 4
MaxSpareThreads 8
ThreadsPerChild 8
MaxRequestsPerChild 0
Port 127.0.0.1:%(port)d
TmpDir %(d)s
ServerLog %(d)s/c-icap-server.log
AccessLog %(d)s/c-icap-access.log
ModulesDir %(modules)s
ServicesDir %(modules)s
Service echo srv_echo.so
""" % {"d": workdir, "port": port, "modules": C_ICAP_MODULES})
    output = open(os.path.join(workdir, "c-icap-output.txt"), "wb")
    # A session of its own, so that its child processes go with it.
    process = subprocess.Popen([C_ICAP, "-N", "-D", "-f", conf], stdout=output,
                               stderr=subprocess.STDOUT, start_new_session=True)
    assert wait_for(lambda: port_open(port), 10), read_text(output.name)
    yield port
    os.killpg(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout=3)
    except subprocess.TimeoutExpired:
        pass
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait(timeout=10)
    output.close()


def body_of(size):
    return bytes(65 + (i * 7) % 26 for i in range(size))


def serve_sized(request, client):
    """/length/N and /chunked/N: N bytes with a length, or as chunks."""
    path = request.split(b" ")[1].decode()
    kind, size = path.rsplit("/", 2)[-2:]
    body = body_of(int(size))
    if kind == "chunked":
        chunks = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 700]), body[i:i + 700])
                          for i in range(0, len(body), 700))
        client.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                       b"Transfer-Encoding: chunked\r\n\r\n" + chunks + b"0\r\n\r\n")
    else:
        client.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n"
                       % len(body) + body)


def response_body(answer):
    head, _, body = answer.partition(b"\r\n\r\n")
    return head, body


SIZES = (0, 100, 1023, 1024, 1025, 5000)


def test_c_icap_echo_modifies_responses_of_every_size(c_icap, proxy_factory, origin_factory):
    proxy = proxy_factory(extra_sections=icap_section(c_icap, "respmod"))
    origin = origin_factory(serve_sized)
    for kind in ("length", "chunked"):
        for size in SIZES:
            answer = raw_exchange(proxy, get(origin.port, "/%s/%d" % (kind, size)))
            head, body = response_body(answer)
            assert head.startswith(b"HTTP/1.1 200"), (kind, size, answer[:200])
            assert b"Content-Length: %d\r\n" % size in head, (kind, size, head)
            assert body == body_of(size), (kind, size)
    log = proxy.log()
    # The service's preview (1024 for c-icap) was learnt and honoured.
    assert "debug: RESPMOD: sent full 100 of 100" in log, log
    assert "debug: RESPMOD: sent full 1024 of 1024" in log, log
    assert "debug: RESPMOD: sent preview 1024 of 1025" in log, log
    assert "debug: RESPMOD: sent remaining data: 3976 of 5000" in log, log
    # The echo's changed responses (it answers some with 204) name the
    # service in the extended log.
    assert wait_for(lambda: len(extended_lines(proxy)) == 2 * len(SIZES), 5)
    assert any("\"ICAP/'CI0001-" in line and "/RESPMOD Missing_X-Virus-ID_header\"" in line
               for line in extended_lines(proxy)), extended_lines(proxy)


def test_c_icap_echo_modifies_request_bodies_of_every_size(c_icap, proxy_factory, origin_factory):
    proxy = proxy_factory(extra_sections=icap_section(c_icap, "reqmod"))
    origin = origin_factory(lambda request, client: client.sendall(
        b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"))
    for size in SIZES:
        body = body_of(size)
        request = (b"POST http://127.0.0.1:%d/upload HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                   b"Content-Length: %d\r\nConnection: close\r\n\r\n" % (origin.port, origin.port,
                                                                          size) + body)
        answer = raw_exchange(proxy, request)
        assert answer.startswith(b"HTTP/1.1 200"), (size, answer[:200])
        received = origin.requests[-1]
        head, _, sent = received.partition(b"\r\n\r\n")
        assert sent == body, size
        if size:
            assert b"Content-Length: %d\r\n" % size in head, head
    assert "debug: REQMOD: sent preview 1024 of 1025" in proxy.log()


# ---------------------------------------------------------------------------
# Scripted ICAP server for the replies the echo service never gives.

def icap_response(http_head, body=None, extra=b""):
    """A 200 reply carrying an HTTP header and (when given) a body."""
    if body is None:
        encapsulated = b"res-hdr=0, null-body=%d" % len(http_head)
        tail = b""
    else:
        encapsulated = b"res-hdr=0, res-body=%d" % len(http_head)
        tail = b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body) if body else b"0\r\n\r\n"
    return (b"ICAP/1.0 200 OK\r\nISTag: \"scripted\"\r\n" + extra + b"Encapsulated: " +
            encapsulated + b"\r\n\r\n" + http_head + tail)


NO_CHANGE = b"ICAP/1.0 204 No Content\r\nISTag: \"scripted\"\r\nEncapsulated: null-body=0\r\n\r\n"


class ScriptedIcap:
    """An ICAP server on loopback. decide(method, http_headers, body) returns
    the reply bytes, None (stay silent), "close" (close without a reply) or
    ("reply-then-close", bytes) to answer and close as soon as the next
    request on that connection arrives. Requests are kept in `requests`."""

    def __init__(self, decide):
        self.decide = decide
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.requests = []
        self.connections = 0
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self.handle, args=(client,), daemon=True).start()

    @staticmethod
    def read(client, pending, until=None, count=None):
        while (until is not None and until not in pending) or (count is not None and
                                                                 len(pending) < count):
            data = client.recv(65536)
            if not data:
                raise EOFError
            pending += data
        if until is not None:
            head, rest = pending.split(until, 1)
            return head + until, rest
        return pending[:count], pending[count:]

    def read_chunks(self, client, pending):
        body = b""
        while True:
            line, pending = self.read(client, pending, until=b"\r\n")
            size = int(line.split(b";")[0].strip(), 16)
            if size == 0:
                _, pending = self.read(client, pending, until=b"\r\n")
                return body, b"ieof" in line, pending
            data, pending = self.read(client, pending, count=size + 2)
            body += data[:size]

    def handle(self, client):
        client.settimeout(30)
        pending = b""
        closing = False
        try:
            while True:
                head, pending = self.read(client, pending, until=b"\r\n\r\n")
                if closing:
                    return
                lines = head.decode("latin-1").split("\r\n")
                method = lines[0].split(" ")[0]
                fields = {}
                for line in lines[1:]:
                    name, _, value = line.partition(":")
                    fields[name.strip().lower()] = value.strip()
                if method == "OPTIONS":
                    client.sendall(b"ICAP/1.0 200 OK\r\nMethods: REQMOD, RESPMOD\r\n"
                                   b"Preview: 4096\r\nEncapsulated: null-body=0\r\n\r\n")
                    continue
                parts = [p.strip().split("=") for p in fields["encapsulated"].split(",")]
                last_name, last_offset = parts[-1][0], int(parts[-1][1])
                headers, pending = self.read(client, pending, count=last_offset)
                body = b""
                if last_name != "null-body":
                    body, ieof, pending = self.read_chunks(client, pending)
                    if "preview" in fields and not ieof:
                        client.sendall(b"ICAP/1.0 100 Continue\r\n\r\n")
                        rest, _, pending = self.read_chunks(client, pending)
                        body += rest
                self.requests.append((method, headers, body))
                reply = self.decide(method, headers, body)
                if reply is None:
                    time.sleep(30)
                    return
                if reply == "close":
                    return
                if isinstance(reply, tuple):
                    closing = True
                    reply = reply[1]
                client.sendall(reply)
        except (EOFError, OSError, ValueError):
            return
        finally:
            client.close()

    def stop(self):
        self.listener.close()


@pytest.fixture
def icap_factory():
    servers = []

    def make(decide):
        server = ScriptedIcap(decide)
        servers.append(server)
        return server

    yield make
    for server in servers:
        server.stop()


def path_of(headers):
    return headers.split(b" ")[1].split(b"/", 3)[3].decode()


PAGE = b"HTTP/1.1 403 Forbidden\r\nContent-Type: text/html\r\n\r\n"


def decide_by_path(method, headers, body):
    path = path_of(headers)
    if path == "nochange":
        return NO_CHANGE
    if path == "block":
        return icap_response(PAGE, b"<p>blocked by the service</p>",
                             b"X-Virus-ID: Test Virus\r\n")
    if path == "silent":
        return None
    if path == "close":
        return "close"
    if path == "both":
        return (b"ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, req-body=10, res-body=20\r\n\r\n"
                + b"x" * 40)
    if path == "malformed":
        return b"ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=5\r\n\r\nHELLO"
    if path == "error":
        return b"ICAP/1.0 500 Server Error\r\nEncapsulated: null-body=0\r\n\r\n"
    return icap_response(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Scanned: yes\r\n\r\n",
                         body.upper() if body else None)


def origin_body(request, client):
    client.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 11\r\n\r\n"
                   b"origin body")


def test_scripted_replies_to_response_modification(proxy_factory, icap_factory, origin_factory):
    icap = icap_factory(decide_by_path)
    proxy = proxy_factory(extra_sections=icap_section(icap.port, "respmod", "/scan"), timeout=2)
    origin = origin_factory(origin_body)
    cases = [
        ("modify", b"HTTP/1.1 200", b"ORIGIN BODY"),
        ("nochange", b"HTTP/1.1 200", b"origin body"),
        ("block", b"HTTP/1.1 403", b"<p>blocked by the service</p>"),
        # Failures let the body pass unchanged.
        ("silent", b"HTTP/1.1 200", b"origin body"),
        ("close", b"HTTP/1.1 200", b"origin body"),
        ("both", b"HTTP/1.1 200", b"origin body"),
        ("malformed", b"HTTP/1.1 200", b"origin body"),
        ("error", b"HTTP/1.1 200", b"origin body"),
    ]
    for path, status, expected in cases:
        started = time.monotonic()
        head, body = response_body(raw_exchange(proxy, get(origin.port, "/" + path)))
        assert head.startswith(status), (path, head)
        assert body == expected, (path, body)
        assert time.monotonic() - started < 6, path
    assert b"X-Scanned: yes" in response_body(raw_exchange(proxy, get(origin.port, "/modify")))[0]
    log = proxy.log()
    assert "icap: RESPMOD: error reading response from ICAP server" in log
    assert "icap: RESPMOD: unable to handle response with both bodies" in log
    assert "icap: RESPMOD: 500: ICAP response indicates server error" in log
    # The verdict of the blocking reply reaches the extended log.
    assert any("ICAP/'scripted'/RESPMOD Test_Virus" in line for line in extended_lines(proxy)), \
        extended_lines(proxy)


def test_request_modification_answered_with_a_response(proxy_factory, icap_factory,
                                                       origin_factory):
    icap = icap_factory(decide_by_path)
    proxy = proxy_factory(extra_sections=icap_section(icap.port, "reqmod", "/scan"))
    origin = origin_factory(origin_body)
    answer = raw_exchange(proxy, get(origin.port, "/block"))
    head, body = response_body(answer)
    assert head.startswith(b"HTTP/1.1 403"), answer
    assert body == b"<p>blocked by the service</p>"
    assert origin.requests == []
    # A request the service changes goes upstream with its new body.
    post = (b"POST http://127.0.0.1:%d/modify HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
            b"Content-Length: 5\r\nConnection: close\r\n\r\nhello" % (origin.port, origin.port))
    assert raw_exchange(proxy, post).startswith(b"HTTP/1.1 200")
    method, headers, body = icap.requests[-1]
    assert (method, body) == ("REQMOD", b"hello")


def test_pooled_connection_closed_by_the_server_is_replaced(proxy_factory, icap_factory,
                                                            origin_factory):
    first = []

    def decide(method, headers, body):
        reply = decide_by_path(method, headers, body)
        if not first:
            # Answer the first request, then close that connection when the
            # next request arrives on it.
            first.append(True)
            return ("reply-then-close", reply)
        return reply

    icap = icap_factory(decide)
    proxy = proxy_factory(extra_sections=icap_section(icap.port, "respmod", "/scan"))
    origin = origin_factory(origin_body)
    for _ in range(3):
        head, body = response_body(raw_exchange(proxy, get(origin.port, "/modify")))
        assert body == b"ORIGIN BODY", head
    assert icap.connections == 2
    assert "debug: RESPMOD: looping!" in proxy.log()
