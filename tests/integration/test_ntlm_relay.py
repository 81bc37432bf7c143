"""NTLM and Negotiate through the authentication service: a small service
written from the relay protocol (GET /authenticate with the client's token;
407 with a challenge, or 200 naming the user) listens where the proxy looks
for it, localhost:8080. curl --proxy-ntlm and raw sockets talk to the proxy,
which fetches from an origin of the test; the tests check the challenges the
client sees, what the service is asked, the request finally served and the
user in the access log."""
import base64
import fcntl
import os
import socket
import struct
import subprocess
import threading

import pytest

from conftest import Daemon, HttpReader, ScriptedHTTPServer, config_text, read_text, wait_for

SERVICE_ADDRESS = ("127.0.0.1", 8080)
LOCK_PATH = "/tmp/kestrivan-auth-service-8080.lock"

CONFIG = config_text(rights="proxy,transparent", ntlm="true", authenticate="true",
                     keepalivetimeout=5)


# ---------------------------------------------------------------------------
# NTLM messages, as much as the service needs of them

def ntlm_type(token):
    data = base64.b64decode(token)
    assert data[:8] == b"NTLMSSP\0", data
    return struct.unpack("<I", data[8:12])[0]


def ntlm_challenge():
    """A type-2 message: unicode, NTLM, a fixed server challenge."""
    target = "TEST".encode("utf-16-le")
    flags = 0x00000001 | 0x00000004 | 0x00000200 | 0x00010000
    message = (b"NTLMSSP\0" + struct.pack("<I", 2) +
               struct.pack("<HHI", len(target), len(target), 48) +
               struct.pack("<I", flags) + b"\x01\x23\x45\x67\x89\xab\xcd\xef" + b"\0" * 8 +
               struct.pack("<HHI", 0, 0, 48 + len(target)) + target)
    return base64.b64encode(message).decode()


def ntlm_user(token):
    """The user name of a type-3 message."""
    data = base64.b64decode(token)
    length, _, offset = struct.unpack("<HHI", data[36:44])
    flags = struct.unpack("<I", data[60:64])[0]
    raw = data[offset:offset + length]
    return raw.decode("utf-16-le") if flags & 1 else raw.decode("latin-1")


class AuthService:
    """The authentication service: each request is kept (its raw header
    text) and answered by `decide(scheme, token)`, which returns the reply
    text. Connections are served one after another, each kept open."""

    def __init__(self, decide):
        self.decide = decide
        self.requests = []
        self.connections = 0
        self.lock_file = open(LOCK_PATH, "w")
        fcntl.flock(self.lock_file, fcntl.LOCK_EX)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self.sock.bind(SERVICE_ADDRESS)
        except OSError as error:
            self.sock.close()
            self.lock_file.close()
            pytest.fail("the authentication service port %s:%d is taken: %s"
                        % (SERVICE_ADDRESS + (error,)))
        self.sock.listen(8)
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while self.running:
            try:
                client, _ = self.sock.accept()
            except OSError:
                continue
            self.connections += 1
            threading.Thread(target=self.handle, args=(client,), daemon=True).start()

    def handle(self, client):
        client.settimeout(15)
        data = b""
        with client:
            while True:
                while b"\r\n\r\n" not in data:
                    try:
                        piece = client.recv(65536)
                    except OSError:
                        return
                    if not piece:
                        return
                    data += piece
                head, _, data = data.partition(b"\r\n\r\n")
                text = head.decode("latin-1")
                self.requests.append(text)
                value = ""
                for line in text.split("\r\n")[1:]:
                    name, _, rest = line.partition(":")
                    if name.lower() == "proxy-authorization":
                        value = rest.strip()
                scheme, _, token = value.partition(" ")
                client.sendall(self.decide(scheme, token).encode("latin-1"))

    def stop(self):
        self.running = False
        self.thread.join(timeout=5)
        self.sock.close()
        self.lock_file.close()


def ntlm_service(accepted_users=("alice",), location="uid={user},ou=people,dc=example;staff,web"):
    """Challenges a type-1 token, accepts a type-3 token of a known user
    (naming the user and its directory data), refuses anyone else."""
    def decide(scheme, token):
        if scheme == "NTLM" and ntlm_type(token) == 1:
            return ("HTTP/1.1 407 Authentication Required\r\nProxy-Authenticate: NTLM %s\r\n"
                    "Proxy-Connection: keep-alive\r\nContent-Length: 0\r\n\r\n" % ntlm_challenge())
        if scheme == "NTLM" and ntlm_type(token) == 3:
            user = ntlm_user(token)
            if user in accepted_users:
                return ("HTTP/1.1 200 OK\r\nProxy-Authenticate: %s\r\nLocation: %s\r\n"
                        "Content-Length: 0\r\n\r\n" % (user, location.format(user=user)))
        return "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"
    return decide


@pytest.fixture
def service_factory():
    started = []

    def make(decide):
        service = AuthService(decide)
        started.append(service)
        return service

    yield make
    for service in started:
        service.stop()


@pytest.fixture
def origin():
    def answer(handler):
        body = b"origin page " + handler.path.encode() + b"\n"
        handler.send_response(200)
        handler.send_header("Content-Type", "text/plain")
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)

    server = ScriptedHTTPServer(answer)
    yield server
    server.stop()


@pytest.fixture
def proxy(workdir):
    path = os.path.join(workdir, "kestrivan.xml")
    with open(path, "w") as f:
        f.write(CONFIG)
    daemon = Daemon(workdir, config=path)
    daemon.start()
    daemon.wait_listening()
    yield daemon
    daemon.stop()


def curl_ntlm(proxy, url, credentials):
    command = ["curl", "-sS", "--max-time", "20", "-v", "--proxy-ntlm", "-U", credentials,
               "-x", "http://127.0.0.1:%d" % proxy.port, url]
    return subprocess.run(command, capture_output=True, timeout=30)


def access_lines(proxy):
    return [line for line in read_text(proxy.access_log).splitlines()
            if line.strip() and not line.startswith("#")]


def read_response(sock, data=b""):
    """(header lines, rest) of one response, its body skipped, or (None, data)
    when the peer closes first."""
    while b"\r\n\r\n" not in data:
        piece = sock.recv(65536)
        if not piece:
            return None, data
        data += piece
    head, _, rest = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    length = 0
    for line in lines[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "content-length":
            length = int(value)
    while len(rest) < length:
        piece = sock.recv(65536)
        if not piece:
            break
        rest += piece
    return lines, rest[length:]


def test_curl_ntlm_login_is_relayed_and_the_user_logged(proxy, origin, service_factory):
    service = service_factory(ntlm_service())
    url = "http://127.0.0.1:%d/page" % origin.port
    result = curl_ntlm(proxy, url, "alice:secret")
    trace = result.stderr.decode("latin-1")
    assert result.stdout == b"origin page /page\n", trace
    # The relayed challenge, on a connection kept open for the next token.
    assert "< HTTP/1.1 407 " in trace, trace
    assert "< Proxy-support: Session-Based-Authentication" in trace, trace
    assert "< Proxy-Authenticate: NTLM " + ntlm_challenge() in trace, trace
    assert "Re-using existing connection" in trace or trace.count("Connected to") == 1, trace

    # The service saw the type-1 token, then the type-3 token, both on one
    # connection, in the form the relay protocol fixes.
    assert service.connections == 1
    assert len(service.requests) == 2, service.requests
    for text, kind in zip(service.requests, (1, 3)):
        lines = text.split("\r\n")
        assert lines[0] == "GET http://localhost/authenticate HTTP/1.1"
        assert lines[1] == "Host: localhost"
        assert lines[2] == "X-Forwarded-For: 127.0.0.1"
        assert lines[3].startswith("Proxy-Authorization: NTLM ")
        assert len(lines) == 4
        assert ntlm_type(lines[3].split(" ", 2)[2]) == kind
    assert origin.requests and origin.requests[-1][0] == "/page"
    assert "proxy-authorization" not in {k.lower() for k in origin.requests[-1][1]}

    assert wait_for(lambda: any(url in line for line in access_lines(proxy)), 10)
    served = [line for line in access_lines(proxy) if url in line and "/200 " in line]
    assert served, access_lines(proxy)
    assert served[-1].split()[7] == "alice@127.0.0.1", served[-1]


def test_refused_user_gets_the_challenge_again(proxy, origin, service_factory):
    service = service_factory(ntlm_service(accepted_users=("alice",)))
    result = curl_ntlm(proxy, "http://127.0.0.1:%d/page" % origin.port, "mallory:secret")
    trace = result.stderr.decode("latin-1")
    assert b"origin page" not in result.stdout
    assert trace.count("< HTTP/1.1 407 ") >= 2, trace
    # The last answer is the proxy's own challenge, offering every scheme.
    last = trace[trace.rfind("< HTTP/1.1 407 "):]
    assert "< Proxy-Authenticate: Negotiate" in last and "< Proxy-Authenticate: NTLM" in last
    assert "< Proxy-Authenticate: Basic realm=" in last, last
    assert not origin.requests
    assert len(service.requests) == 2
    assert "trace: code:403 challenge: " in proxy.log()


def negotiate_exchange(proxy, requests):
    """Sends the requests one after the other on one connection, reading one
    answer after each; returns the answers (None once the proxy closed)."""
    answers = []
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=15) as sock:
        data = b""
        for request in requests:
            try:
                sock.sendall(request)
            except OSError:
                answers.append(None)
                continue
            lines, data = read_response(sock, data)
            answers.append(lines)
        try:
            closed = sock.recv(1) == b""
        except OSError:
            closed = True
    return answers, closed


def request_with(path, value, name="Proxy-Authorization", extra=""):
    return ("GET http://127.0.0.1:%s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            "Proxy-Connection: keep-alive\r\n%s: %s\r\n%s\r\n" % (path, name, value, extra)).encode()


def negotiate_service(location=""):
    """Negotiate in two steps: "first" is challenged with "Negotiate step2",
    "second" names the user "bob"."""
    def decide(scheme, token):
        if scheme == "Negotiate" and token == "first":
            return ("HTTP/1.1 407 More\r\nProxy-Authenticate: Negotiate step2\r\n"
                    "Content-Length: 0\r\n\r\n")
        if scheme == "Negotiate" and token == "second":
            extra = "Location: %s\r\n" % location if location else ""
            return "HTTP/1.1 200 OK\r\nProxy-Authenticate: bob\r\n%s\r\n" % extra
        return "HTTP/1.1 500 Broken\r\n\r\n"
    return decide


def test_negotiate_over_raw_socket_serves_the_last_request(proxy, origin, service_factory):
    service = service_factory(negotiate_service())
    base = "%d" % origin.port
    answers, _ = negotiate_exchange(proxy, [
        request_with(base + "/first", "Negotiate first"),
        request_with(base + "/second", "Negotiate second"),
        request_with(base + "/third", "Negotiate ignored"),
    ])
    challenge, served, later = answers
    assert challenge[0].startswith("HTTP/1.1 407 "), challenge
    assert "Proxy-support: Session-Based-Authentication" in challenge
    assert "Proxy-Authenticate: Negotiate step2" in challenge
    assert "Content-Length: 0" in challenge
    assert served[0].startswith("HTTP/1.1 200 "), served
    # The connection stays authenticated: the third request is not relayed.
    assert later[0].startswith("HTTP/1.1 200 "), later
    assert [path for path, _ in origin.requests] == ["/second", "/third"]
    assert len(service.requests) == 2
    assert "Proxy-Authorization: Negotiate second" in service.requests[1]
    assert wait_for(lambda: len([l for l in access_lines(proxy) if "/200 " in l]) == 2, 10)
    for line in access_lines(proxy):
        if "/200 " in line:
            assert line.split()[7] == "bob@127.0.0.1", line


def test_malformed_request_during_the_dialogue_closes_after_the_challenge(
        proxy, origin, service_factory):
    service = service_factory(negotiate_service())
    base = "%d" % origin.port
    answers, closed = negotiate_exchange(proxy, [
        request_with(base + "/first", "Negotiate first"),
        b"GET http://127.0.0.1:" + base.encode() + b"/x HTTP/1.1\r\nContent-Length: 5\r\n"
        b"Content-Length: 7\r\n\r\n",
    ])
    challenge, after = answers
    assert "Proxy-Authenticate: Negotiate step2" in challenge
    # The proxy answers the request it was authenticating with its own
    # challenge and closes: nothing else on the connection is trusted.
    assert after is not None and after[0].startswith("HTTP/1.1 407 "), after
    assert closed
    assert not origin.requests
    assert len(service.requests) == 1
    assert proxy.running()


def test_request_without_token_and_broken_service_answers(proxy, origin, service_factory):
    service = service_factory(negotiate_service())
    base = "%d" % origin.port
    plain = ("GET http://127.0.0.1:%s/plain HTTP/1.1\r\nHost: 127.0.0.1\r\n"
             "Proxy-Connection: keep-alive\r\n\r\n" % base).encode()
    answers, _ = negotiate_exchange(proxy, [
        request_with(base + "/first", "Negotiate first"),
        plain,
        request_with(base + "/broken", "Negotiate other"),
    ])
    challenge, no_token, broken = answers
    assert "Proxy-Authenticate: Negotiate step2" in challenge
    for answer in (no_token, broken):
        assert answer is not None and answer[0].startswith("HTTP/1.1 407 "), answer
        assert "Proxy-Authenticate: Negotiate" in answer and "Proxy-Authenticate: NTLM" in answer
    assert not origin.requests
    log = proxy.log()
    assert "NULL Proxy-Authorization Headers recieved" in log
    assert "trace: code:500 challenge: " in log
    assert len(service.requests) == 2


def test_unreachable_service_challenges_again(proxy, origin):
    # Taken the lock so that no other test's service listens meanwhile.
    with open(LOCK_PATH, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        answers, _ = negotiate_exchange(proxy, [
            request_with("%d/page" % origin.port, "Negotiate first")])
    assert answers[0][0].startswith("HTTP/1.1 407 ")
    assert "security: [IP:127.0.0.1] connection failed to localhost:8080" in proxy.log()
    assert not origin.requests


@pytest.mark.parametrize("case", ["URL command in its host", "method other than the first's"])
def test_request_read_during_the_dialogue_is_taken_as_a_request_of_its_own(
        proxy, origin, service_factory, case):
    # The request finally served is the one read during the dialogue: its
    # own URL commands and method count.
    service_factory(negotiate_service())
    port = origin.port
    first = (b"%s http://127.0.0.1:%d/first HTTP/1.1\r\nHost: 127.0.0.1\r\n"
             b"Proxy-Connection: keep-alive\r\nProxy-Authorization: Negotiate first\r\n\r\n"
             % (b"HEAD" if case.startswith("method") else b"GET", port))
    host = b"xx--fresh.127.0.0.1" if case.startswith("URL") else b"127.0.0.1"
    second = (b"GET http://%s:%d/second HTTP/1.1\r\nHost: 127.0.0.1\r\n"
              b"Proxy-Connection: keep-alive\r\nProxy-Authorization: Negotiate second\r\n\r\n"
              % (host, port))
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=15) as sock:
        reader = HttpReader(sock)
        sock.sendall(first)
        challenge = reader.response()
        assert challenge is not None and challenge[0].startswith("HTTP/1.1 407 "), challenge
        sock.sendall(second)
        served = reader.response()
    assert served is not None and served[0].startswith("HTTP/1.1 200 "), served
    assert served[2] == b"origin page /second\n"
    assert [path for path, _ in origin.requests] == ["/second"]


def start_daemon(daemon_factory, workdir, name, **settings):
    """A daemon like `proxy` with other general settings."""
    path = os.path.join(workdir, name + ".xml")
    with open(path, "w") as f:
        f.write(config_text(rights="proxy,transparent", ntlm="true", authenticate="true",
                            **settings))
    return daemon_factory(config=path).start().wait_listening()


def test_body_left_on_the_socket_is_never_read_as_the_next_request_of_the_dialogue(
        workdir, daemon_factory, origin, service_factory):
    # The first request's body is larger than the upload buffer, so it is
    # still on the socket when the service challenges: the dialogue cannot
    # go on over this connection, and the body is never taken for the
    # client's next request.
    daemon = start_daemon(daemon_factory, workdir, "streamed", maxupload="1K")
    service = service_factory(negotiate_service())
    smuggled = request_with("%d/smuggled" % origin.port, "Negotiate second")
    body = smuggled + b"x" * 2000
    with socket.create_connection(("127.0.0.1", daemon.port), timeout=15) as sock:
        reader = HttpReader(sock)
        sock.sendall(b"POST http://127.0.0.1:%d/form HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     b"Proxy-Connection: keep-alive\r\nProxy-Authorization: Negotiate first\r\n"
                     b"Content-Length: %d\r\n\r\n" % (origin.port, len(body)) + body)
        answer = reader.response()
        assert answer is not None and answer[0].startswith("HTTP/1.1 407 "), answer
        try:
            assert reader.response() is None
        except ConnectionResetError:
            pass  # closed with the body unread
    assert not origin.requests
    assert len(service.requests) == 1


def test_request_read_during_the_dialogue_without_its_whole_body_stops(workdir, daemon_factory,
                                                                       origin, service_factory):
    # The body announced by the request read during the dialogue does not
    # come (within a short I/O time-out): nothing goes upstream, and the
    # connection ends without an answer.
    daemon = start_daemon(daemon_factory, workdir, "short", timeout=1)
    service_factory(negotiate_service())
    with socket.create_connection(("127.0.0.1", daemon.port), timeout=15) as sock:
        reader = HttpReader(sock)
        sock.sendall(request_with("%d/first" % origin.port, "Negotiate first"))
        challenge = reader.response()
        assert challenge is not None and challenge[0].startswith("HTTP/1.1 407 "), challenge
        sock.sendall(b"POST http://127.0.0.1:%d/second HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     b"Proxy-Authorization: Negotiate second\r\nContent-Length: 100\r\n\r\n"
                     b"hello" % origin.port)
        assert reader.response() is None
    assert "transfer failed" in daemon.log()
    assert "POST http://127.0.0.1:%d/second" % origin.port not in daemon.log()
