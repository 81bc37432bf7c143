"""The request road end to end: curl and raw sockets through the daemon to a
real nginx origin and to a scripted origin for the odd cases, checking the
bytes the client receives, keep-alive on both sides, chunked, streamed and
POST bodies, HEAD, interim replies, refusals and the access-log lines."""
import os
import re
import socket
import subprocess
import threading
import time

import pytest

from conftest import ACCESS_ALL, Daemon, config_text, free_port, port_open, read_text, wait_for

NGINX = "/usr/sbin/nginx"

@pytest.fixture
def proxy(proxy_factory):
    return proxy_factory()


# ---------------------------------------------------------------------------
# nginx origin

@pytest.fixture
def nginx(workdir):
    if not os.path.exists(NGINX):
        pytest.skip("nginx is not installed (scripts/install-deps.sh)")
    root = os.path.join(workdir, "www")
    os.makedirs(root)
    # nginx's worker runs as an unprivileged user: it must reach the files.
    os.chmod(workdir, 0o755)
    with open(os.path.join(root, "small.txt"), "wb") as f:
        f.write(b"small body\n")
    big = bytes((i * 7 + 3) % 251 for i in range(300000))
    with open(os.path.join(root, "big.bin"), "wb") as f:
        f.write(big)
    with open(os.path.join(root, "page.html"), "wb") as f:
        f.write(b"<html><body>" + b"text " * 2000 + b"</body></html>\n")
    port = free_port()
    conf = os.path.join(workdir, "nginx.conf")
    with open(conf, "w") as f:
        f.write("""
daemon off;
worker_processes 1;
error_log %(d)s/nginx-error.log;
pid %(d)s/nginx.pid;
events { worker_connections 64; }
http {
    access_log %(d)s/nginx-access.log;
    client_body_temp_path %(d)s/body;
    proxy_temp_path %(d)s/proxy;
    fastcgi_temp_path %(d)s/fastcgi;
    uwsgi_temp_path %(d)s/uwsgi;
    scgi_temp_path %(d)s/scgi;
    keepalive_requests 1000;
    gzip on;
    gzip_types text/plain text/html;
    gzip_min_length 100;
    gzip_proxied any;
    server {
        listen 127.0.0.1:%(port)d;
        root %(root)s;
        location /echo { client_max_body_size 10m; return 200 "posted\\n"; }
    }
}
""" % {"d": workdir, "port": port, "root": root})
    process = subprocess.Popen([NGINX, "-c", conf, "-p", workdir],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    assert wait_for(lambda: port_open(port), 10), read_text(os.path.join(workdir, "nginx-error.log"))
    yield {"port": port, "big": big, "access": os.path.join(workdir, "nginx-access.log")}
    process.terminate()
    process.wait(timeout=10)


def curl(proxy, url, *args, timeout=20):
    command = ["curl", "-sS", "--max-time", "15", "-x", "http://127.0.0.1:%d" % proxy.port,
               "-o", "-", "-D", "/dev/stderr"] + list(args) + [url]
    result = subprocess.run(command, capture_output=True, timeout=timeout)
    return result


def native_lines(proxy):
    return [line for line in read_text(proxy.access_log).splitlines()
            if line.strip() and not line.startswith("#")]


def extended_lines(proxy):
    return [line for line in read_text(proxy.extended_log).splitlines()
            if line.strip() and not line.startswith("#")]


# A native access-log line: start time, duration, client, cache code/status,
# size, method, URL, user, peer code/peer, MIME type.
NATIVE = re.compile(r"^\d+\.\d{3} \d+ (\S+) (\S+)/(\d+) (\d+) (\S+) (\S+) (\S+) (\S+)/(\S+) (\S+)$")


def parse_native(line):
    match = NATIVE.match(line)
    assert match, line
    keys = ("client", "cache", "status", "size", "method", "url", "user", "peercode", "peer",
            "mime")
    return dict(zip(keys, match.groups()))


def test_curl_through_nginx_both_versions_keepalive_and_exact_log(proxy, nginx):
    port = nginx["port"]
    for version in ("--http1.1", "--http1.0"):
        result = curl(proxy, "http://127.0.0.1:%d/small.txt" % port, version)
        assert result.returncode == 0, result.stderr
        assert result.stdout == b"small body\n"
    big = curl(proxy, "http://127.0.0.1:%d/big.bin" % port)
    assert big.returncode == 0, big.stderr
    assert big.stdout == nginx["big"]

    # Keep-alive reuse: two URLs on one curl run share one client connection.
    result = subprocess.run(
        ["curl", "-sS", "-v", "--max-time", "15", "-x", "http://127.0.0.1:%d" % proxy.port,
         "http://127.0.0.1:%d/small.txt" % port, "http://127.0.0.1:%d/small.txt" % port],
        capture_output=True, timeout=20)
    assert result.stdout == b"small body\n" * 2
    assert b"Re-using existing connection" in result.stderr, result.stderr

    assert wait_for(lambda: len(native_lines(proxy)) >= 5, 5)
    records = [parse_native(line) for line in native_lines(proxy)]
    first = records[0]
    assert first["client"] == "127.0.0.1"
    assert (first["cache"], first["status"], first["size"]) == ("TCP_MISS", "200", "11")
    assert (first["method"], first["url"]) == ("GET", "http://127.0.0.1:%d/small.txt" % port)
    assert (first["peercode"], first["peer"], first["mime"]) == ("DIRECT", "127.0.0.1",
                                                                 "text/plain")
    assert records[2]["size"] == str(len(nginx["big"]))
    assert len(extended_lines(proxy)) == len(native_lines(proxy))
    assert '"GET http://127.0.0.1:%d/small.txt" 200 11' % port in extended_lines(proxy)[0]


def test_post_bodies_buffered_streamed_and_chunked(proxy_factory, nginx):
    proxy = proxy_factory(maxupload="1K")
    url = "http://127.0.0.1:%d/echo" % nginx["port"]
    small = curl(proxy, url, "--data-binary", "a=1&b=2")
    assert small.stdout == b"posted\n", small.stderr
    payload = os.path.join(proxy.workdir, "payload")
    with open(payload, "wb") as f:
        f.write(b"x" * 200000)
    streamed = curl(proxy, url, "--data-binary", "@" + payload)
    assert streamed.stdout == b"posted\n", streamed.stderr
    chunked = curl(proxy, url, "--data-binary", "@" + payload, "-H", "Transfer-Encoding: chunked")
    assert chunked.stdout == b"posted\n", chunked.stderr
    # nginx saw every body whole.
    assert wait_for(lambda: read_text(nginx["access"]).count('"POST /echo') == 3, 5)


def test_head_and_compressed(proxy_factory, nginx):
    # The proxy asks the server for compressed bodies and decodes them for a
    # client that does not take them.
    proxy = proxy_factory(compressin="true")
    url = "http://127.0.0.1:%d/page.html" % nginx["port"]
    head = curl(proxy, url, "-I")
    assert head.returncode == 0
    assert head.stdout.startswith(b"HTTP/1.1 200"), head.stdout
    assert b"\r\n\r\n" == head.stdout[-4:]
    compressed = curl(proxy, url, "--compressed")
    assert compressed.returncode == 0, compressed.stderr
    assert compressed.stdout.startswith(b"<html><body>text ")
    assert b"Content-Encoding: gzip" in compressed.stderr
    plain = curl(proxy, url)
    assert plain.stdout == compressed.stdout
    assert b"Content-Encoding" not in plain.stderr
    assert b"Content-Length: %d" % len(plain.stdout) in plain.stderr
    assert wait_for(lambda: len(native_lines(proxy)) == 3, 5)
    assert parse_native(native_lines(proxy)[0])["method"] == "HEAD"


# ---------------------------------------------------------------------------
# Scripted origin for the odd cases.

class ScriptedOrigin:
    """Accepts connections on loopback; for each request calls script(request,
    connection) which writes the answer itself. Records the requests and counts
    the connections."""

    def __init__(self, script):
        self.script = script
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.requests = []
        self.connections = 0
        self.stopping = False
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while not self.stopping:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self.handle, args=(client,), daemon=True).start()

    @staticmethod
    def read_request(client, pending):
        while b"\r\n\r\n" not in pending:
            data = client.recv(65536)
            if not data:
                return None, b""
            pending += data
        head, rest = pending.split(b"\r\n\r\n", 1)
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        while len(rest) < length:
            data = client.recv(65536)
            if not data:
                break
            rest += data
        return head + b"\r\n\r\n" + rest[:length], rest[length:]

    def handle(self, client):
        client.settimeout(10)
        pending = b""
        try:
            while True:
                request, pending = self.read_request(client, pending)
                if request is None:
                    return
                self.requests.append(request)
                if self.script(request, client) == "close":
                    return
        except OSError:
            return
        finally:
            client.close()

    def stop(self):
        self.stopping = True
        self.listener.close()


@pytest.fixture
def origin_factory():
    origins = []

    def make(script):
        origin = ScriptedOrigin(script)
        origins.append(origin)
        return origin

    yield make
    for origin in origins:
        origin.stop()


def raw_exchange(proxy, request, until_close=True, timeout=10):
    with proxy.connect(timeout=timeout) as s:
        s.sendall(request)
        data = b""
        while True:
            try:
                piece = s.recv(65536)
            except (socket.timeout, ConnectionResetError):
                # A proxy that closes with request bytes unread resets.
                break
            if not piece:
                break
            data += piece
            if not until_close and b"\r\n\r\n" in data:
                break
        return data


def get(port, path="/", extra=b"", version=b"HTTP/1.1"):
    return (b"GET http://127.0.0.1:%d%s %s\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n%s\r\n"
            % (port, path.encode(), version, port, extra))


def test_interim_replies_are_skipped(proxy, origin_factory):
    def script(request, client):
        client.sendall(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s>\r\n\r\n"
                       b"HTTP/1.1 102 Processing\r\n\r\n"
                       b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfinal")
    origin = origin_factory(script)
    answer = raw_exchange(proxy, get(origin.port))
    assert answer.startswith(b"HTTP/1.1 200"), answer
    assert answer.endswith(b"\r\n\r\nfinal")
    assert answer.count(b"HTTP/1.1") == 1


# The proxy writes the standard reason phrase of the status it passes on.
STATUS_PHRASES = {204: b"No Content", 206: b"Partial Content", 304: b"Not Modified",
                  401: b"Unauthorized", 407: b"Proxy Authentication Required",
                  417: b"Expectation Failed", 503: b"Service Unavailable"}


@pytest.mark.parametrize("status", sorted(STATUS_PHRASES))
def test_status_passed_on(proxy, origin_factory, status):
    def script(request, client):
        body = b"" if status in (204, 304) else b"denied"
        extra = b"WWW-Authenticate: Basic realm=\"r\"\r\n" if status == 401 else b""
        if status == 407:
            extra = b"Proxy-Authenticate: Basic realm=\"p\"\r\n"
        length = b"" if status in (204, 304) else b"Content-Length: %d\r\n" % len(body)
        client.sendall(b"HTTP/1.1 %d X\r\n%s%s\r\n%s" % (status, extra, length, body))
    origin = origin_factory(script)
    answer = raw_exchange(proxy, get(origin.port))
    assert answer.startswith(b"HTTP/1.1 %d %s\r\n" % (status, STATUS_PHRASES[status])), answer
    if status in (204, 304):
        assert answer.endswith(b"\r\n\r\n")
    else:
        assert answer.endswith(b"denied")
    assert wait_for(lambda: len(native_lines(proxy)) == 1, 5)
    assert parse_native(native_lines(proxy)[0])["status"] == str(status)


def test_close_delimited_and_slow_bodies(proxy, origin_factory):
    def script(request, client):
        if b"/slow" in request:
            client.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nab")
            time.sleep(0.5)
            client.sendall(b"cd")
            time.sleep(0.5)
            client.sendall(b"ef")
            return None
        client.sendall(b"HTTP/1.0 200 OK\r\n\r\nuntil the end")
        return "close"
    origin = origin_factory(script)
    answer = raw_exchange(proxy, get(origin.port, "/closed"))
    assert answer.endswith(b"\r\n\r\nuntil the end"), answer
    answer = raw_exchange(proxy, get(origin.port, "/slow"))
    assert answer.endswith(b"\r\n\r\nabcdef"), answer


def test_bodies_closed_early_never_look_complete(proxy, origin_factory):
    def script(request, client):
        if b"/chunks" in request:
            client.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n")
        else:
            client.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort")
        return "close"
    origin = origin_factory(script)
    chunked = raw_exchange(proxy, get(origin.port, "/chunks"))
    assert b"hello" in chunked
    assert not chunked.endswith(b"0\r\n\r\n"), chunked
    short = raw_exchange(proxy, get(origin.port, "/short"))
    head, _, body = short.partition(b"\r\n\r\n")
    assert b"Content-Length: 100" in head
    assert len(body) < 100
    assert "transfer failed" in proxy.log()


def test_chunked_response_keeps_chunks_and_server_connection_is_reused(proxy, origin_factory):
    def script(request, client):
        client.sendall(b"HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n"
                       b"Transfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n3\r\nefg\r\n0\r\n\r\n")
    origin = origin_factory(script)
    request = (b"GET http://127.0.0.1:%d/c HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n"
               % (origin.port, origin.port))
    with proxy.connect() as s:
        for _ in range(3):
            s.sendall(request)
            data = b""
            while not (b"\r\n\r\n" in data and data.endswith(b"\r\n0\r\n\r\n")):
                piece = s.recv(65536)
                assert piece, data
                data += piece
            assert data.endswith(b"\r\n\r\n4\r\nabcd\r\n3\r\nefg\r\n0\r\n\r\n"), data
    # One client connection, one upstream connection for all three.
    assert origin.connections == 1
    assert len(origin.requests) == 3


@pytest.mark.parametrize("name,request_text", [
    ("length and chunked", b"POST http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n"
     b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\nGET /smuggled HTTP/1.1\r\n\r\n"),
    ("two lengths", b"POST http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n"
     b"Content-Length: 5\r\nContent-Length: 6\r\n\r\nabcdef"),
    ("chunked not last", b"POST http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n"
     b"Transfer-Encoding: chunked, identity\r\n\r\n0\r\n\r\n"),
    ("obs-fold", b"GET http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\nX-A: a\r\n folded\r\n\r\n"),
])
def test_request_smuggling_is_refused(proxy, origin_factory, name, request_text):
    origin = origin_factory(lambda request, client: client.sendall(
        b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"))
    answer = raw_exchange(proxy, request_text % {b"p": origin.port})
    if name == "length and chunked":
        # Normalised: chunked wins, the length is dropped, the connection ends
        # after the exchange, and the smuggled request never reaches the origin.
        assert b"/smuggled" not in b"".join(origin.requests)
        assert all(b"Content-Length: 5" not in r for r in origin.requests)
    else:
        assert answer.startswith(b"HTTP/1.1 400") or answer.startswith(b"HTTP/1.1 501"), answer
        assert origin.requests == []


def test_refusals_and_their_records(proxy_factory, origin_factory):
    proxy = proxy_factory(rights="transparent")
    origin = origin_factory(lambda request, client: client.sendall(
        b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"))
    answer = raw_exchange(proxy, get(origin.port))
    assert answer.startswith(b"HTTP/1.1 403 Forbidden\r\n"), answer
    assert origin.requests == []
    assert wait_for(lambda: len(native_lines(proxy)) == 1, 5)
    record = parse_native(native_lines(proxy)[0])
    assert (record["cache"], record["status"], record["peercode"], record["peer"]) == (
        "TCP_DENIED", "403", "DIRECT", "kestrivan")
    # The extended line names the filter and the reason; the refusal is
    # logged with what was asked.
    extended = extended_lines(proxy)[0]
    assert '"GET http://127.0.0.1:%d/" 403' % origin.port in extended, extended
    assert '"security Proxy"' in extended, extended
    assert record["method"] == "GET"


def test_transparent_completion_and_loop_guard(proxy, origin_factory):
    origin = origin_factory(lambda request, client: client.sendall(
        b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"))
    answer = raw_exchange(proxy, b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                          b"Connection: close\r\n\r\n" % origin.port)
    assert answer.endswith(b"\r\n\r\nok"), answer
    assert origin.requests[0].startswith(b"GET /index.html HTTP/1.1\r\n")
    looped = raw_exchange(proxy, b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n"
                          % proxy.port)
    assert looped.startswith(b"HTTP/1.1 404"), looped
    assert "Breach: denied: transparent:%d" % proxy.port in proxy.log()
    no_host = raw_exchange(proxy, b"GET /x HTTP/1.0\r\n\r\n")
    assert no_host.startswith(b"HTTP/1.1 403"), no_host


def test_unreachable_origin_and_bad_scheme(proxy):
    port = free_port()
    answer = raw_exchange(proxy, get(port))
    assert answer.startswith(b"HTTP/1.1 503"), answer
    gopher = raw_exchange(proxy, b"GET gopher://127.0.0.1:70/ HTTP/1.1\r\nHost: x\r\n\r\n")
    assert gopher.startswith(b"HTTP/1.1 501 Not Implemented\r\n"), gopher
    assert "Breach: protocol: gopher" in proxy.log()
    assert wait_for(lambda: len(native_lines(proxy)) == 2, 5)
    unreachable, refused = [parse_native(line) for line in native_lines(proxy)]
    assert (unreachable["cache"], unreachable["status"]) == ("UNSPECIFIED", "503")
    assert (refused["cache"], refused["status"]) == ("TCP_DENIED", "501")


def test_unreadable_response_logs_the_status_sent(proxy, origin_factory):
    origin = origin_factory(lambda request, client: (
        client.sendall(b"HTTP/1.1 99999 Broken\r\n\r\n"), "close")[1])
    answer = raw_exchange(proxy, get(origin.port))
    assert answer.startswith(b"HTTP/1.1 502 Bad Gateway\r\n"), answer
    assert "Bad response from server" in proxy.log()
    assert wait_for(lambda: len(native_lines(proxy)) == 1, 5)
    assert parse_native(native_lines(proxy)[0])["status"] == "502"


def test_server_silent_after_a_request_body_is_given_up(proxy_factory, origin_factory):
    proxy = proxy_factory(timeout=2)
    origin = origin_factory(lambda request, client: time.sleep(30))
    request = (b"POST http://127.0.0.1:%d/form HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n"
               b"Connection: close\r\n\r\nhello" % origin.port)
    answer = raw_exchange(proxy, request, timeout=20)
    # The client gets the page of a failed connection instead of waiting.
    assert answer.startswith(b"HTTP/1.1 "), answer
    assert b"failed" in answer
    assert origin.requests and origin.requests[0].endswith(b"\r\n\r\nhello")


def test_refused_request_with_an_unread_body_ends_the_connection(proxy_factory, origin_factory):
    # The body is larger than the upload buffer, so it is left to stream; the
    # request is refused before that, and the unread body must not be taken
    # for a request of its own.
    proxy = proxy_factory(maxupload="1K")
    body = b"GET http://127.0.0.1:1/smuggled HTTP/1.1\r\n\r\n" + b"x" * 4000
    request = (b"POST gopher://127.0.0.1:70/ HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n"
               % len(body)) + body
    answer = raw_exchange(proxy, request)
    # The refusal page may be cut by the reset of a close with bytes unread;
    # a second answer never comes.
    assert answer.count(b"HTTP/1.1 ") <= 1, answer
    assert wait_for(lambda: "disconnected after making 1 requests" in proxy.log(), 5)
    assert "smuggled" not in proxy.log()
    assert "Breach: protocol: gopher" in proxy.log()


def test_connect_gate(proxy_factory):
    # The shipped CONNECT ports are 443 only; the tunnel itself is served by
    # its own exchange, which answers with the page of a failed upstream
    # until it exists.
    allowed = proxy_factory()
    outside = raw_exchange(allowed, b"CONNECT 127.0.0.1:25 HTTP/1.1\r\nHost: 127.0.0.1:25\r\n\r\n")
    assert outside.startswith(b"HTTP/1.1 403"), outside
    assert "Breach: general section: denied: method: CONNECT:25" in allowed.log()
    inside = raw_exchange(allowed, b"CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1:443\r\n\r\n")
    assert inside.startswith(b"HTTP/1.1 503"), inside
    refused = proxy_factory(rights="proxy")
    answer = raw_exchange(refused, b"CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1:443\r\n\r\n")
    # Never a success: that would tell the client its tunnel is open.
    assert answer.startswith(b"HTTP/1.1 403"), answer
    assert "Blocked Security Breach: 127.0.0.1 attempted a CONNECT request" in refused.log()
    # Both daemons of this test write the same log files, one after the other.
    assert wait_for(lambda: len(native_lines(refused)) == 3, 5)
    records = [parse_native(line) for line in native_lines(refused)]
    assert [(r["cache"], r["status"]) for r in records] == [
        ("TCP_DENIED", "403"), ("UNSPECIFIED", "503"), ("TCP_DENIED", "403")]
    assert '"security CONNECT:25"' in extended_lines(allowed)[0]
    assert '"security CONNECT Method"' in extended_lines(allowed)[2]


def test_forwarded_client_names_only_its_own_request(proxy_factory, origin_factory):
    # X-Forwarded-For names the client only when the sender is a trusted proxy.
    proxy = proxy_factory(trusted_proxies="127.0.0.1")
    origin = origin_factory(lambda request, client: client.sendall(
        b"HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok"))
    first = (b"GET http://127.0.0.1:%d/a HTTP/1.1\r\nHost: x\r\nX-Forwarded-For: 10.1.2.3\r\n"
             b"Proxy-Connection: keep-alive\r\n\r\n" % origin.port)
    second = (b"GET http://127.0.0.1:%d/b HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
              % origin.port)
    answer = raw_exchange(proxy, first + second)
    assert answer.count(b"\r\n\r\nok") == 2, answer
    assert wait_for(lambda: len(native_lines(proxy)) == 2, 5)
    clients = [parse_native(line)["client"] for line in native_lines(proxy)]
    assert clients == ["10.1.2.3", "127.0.0.1"]


def test_header_cut_by_the_client_is_not_served(proxy, origin_factory):
    origin = origin_factory(lambda request, client: client.sendall(
        b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"))
    with proxy.connect() as s:
        s.sendall(b"GET http://127.0.0.1:%d/ HTTP/1.1\r\nHost: x\r\n" % origin.port)
        s.shutdown(socket.SHUT_WR)
        assert s.recv(1024) == b""
    assert wait_for(lambda: "disconnected after making" in proxy.log(), 5)
    assert origin.requests == []


# (what the client sends beyond the request line and Host, what the origin
#  answers before its body, what the origin must not see, must see, what
#  the client must not see, must see)
HOP_BY_HOP = [
    ("request", b"Connection: X-Hop, Referer\r\nX-Hop: for the proxy\r\nX-End: kept\r\n"
                b"Referer: http://r.example/\r\n",
     b"", [b"X-Hop", b"for the proxy", b"Referer"], [b"X-End: kept"], [], []),
    ("response", b"", b"Connection: x-server-hop, Set-Cookie\r\nX-Server-Hop: 1\r\n"
                     b"X-Kept: 2\r\nSet-Cookie: a=b\r\nCache-Control: max-age=60\r\n",
     [], [], [b"X-Server-Hop", b"Set-Cookie"], [b"X-Kept: 2", b"Cache-Control: max-age=60"]),
    ("framing kept", b"", b"Connection: Content-Length, Transfer-Encoding, Host\r\n",
     [], [], [], [b"Content-Length: 2\r\n"]),
]


@pytest.mark.parametrize("name,client_lines,origin_lines,hidden_up,seen_up,hidden_down,seen_down",
                         HOP_BY_HOP, ids=[case[0] for case in HOP_BY_HOP])
def test_fields_named_by_connection_stay_on_their_hop(proxy, origin_factory, name, client_lines,
                                                      origin_lines, hidden_up, seen_up,
                                                      hidden_down, seen_down):
    origin = origin_factory(lambda request, client: client.sendall(
        b"HTTP/1.1 200 OK\r\n" + origin_lines + b"Content-Length: 2\r\n\r\nok"))
    request = (b"GET http://127.0.0.1:%d/hop HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%s"
               b"Connection: close\r\n\r\n" % (origin.port, origin.port, client_lines))
    answer = raw_exchange(proxy, request)
    assert answer.endswith(b"\r\n\r\nok"), answer
    upstream = origin.requests[0]
    for text in hidden_up:
        assert text not in upstream, upstream
    for text in seen_up:
        assert text in upstream, upstream
    head = answer.partition(b"\r\n\r\n")[0]
    for text in hidden_down:
        assert text.lower() not in head.lower(), head
    for text in seen_down:
        assert text in head + b"\r\n", head


BAD_REQUEST_PAGE = b"The proxy could not understand the request."

# (name, request, status line, what the error log says)
MALFORMED = [
    ("NUL in a header", b"GET http://127.0.0.1:1/ HTTP/1.1\r\nHost: x\r\nX-A: a\x00b\r\n\r\n",
     b"HTTP/1.1 400 Bad Request", "request: header holding a NUL byte refused"),
    ("LF-only lines", b"GET http://127.0.0.1:1/ HTTP/1.1\nHost: x\nX-A: b\n\n",
     b"HTTP/1.1 400 Bad Request", "header line ended by a bare LF instead of CR LF refused"),
    ("one LF-only line", b"GET http://127.0.0.1:1/ HTTP/1.1\r\nHost: x\nX-A: b\r\n\r\n",
     b"HTTP/1.1 400 Bad Request", "header line ended by a bare LF instead of CR LF refused"),
    ("folded line", b"GET http://127.0.0.1:1/ HTTP/1.1\r\nHost: x\r\nX-A: a\r\n b\r\n\r\n",
     b"HTTP/1.1 400 Bad Request", "malformatted request header"),
    ("target too long", b"GET http://127.0.0.1:1/" + b"a" * 20000 + b" HTTP/1.1\r\n\r\n",
     b"HTTP/1.1 414 URI Too Long", "request: header longer than"),
    ("line too long", b"GET http://127.0.0.1:1/ HTTP/1.1\r\nX-Big: " + b"b" * 5000 + b"\r\n\r\n",
     b"HTTP/1.1 431 Request Header Fields Too Large", "malformatted request header"),
]


@pytest.mark.parametrize("name,request_text,status_line,reason", MALFORMED,
                         ids=[case[0] for case in MALFORMED])
def test_malformed_requests_get_their_status_and_the_error_page(proxy, name, request_text,
                                                                status_line, reason):
    answer = raw_exchange(proxy, request_text)
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(status_line + b"\r\n"), answer[:300]
    assert BAD_REQUEST_PAGE in body
    assert b"Content-Length: %d\r\n" % len(body) in head + b"\r\n"
    assert wait_for(lambda: reason in proxy.log()), proxy.log()
    assert "timeout waiting for header" not in proxy.log()


@pytest.mark.parametrize("size", [5000, 3 * 1024 * 1024], ids=["small", "beyond the buffer"])
def test_chunked_response_reaches_an_http10_client_whole_then_closes(proxy_factory,
                                                                     origin_factory, size):
    proxy = proxy_factory(maxdownload="1M")
    body = bytes((i * 31 + 7) % 251 for i in range(size))

    def script(request, client):
        client.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
        for start in range(0, size, 65536):
            piece = body[start:start + 65536]
            client.sendall(b"%x\r\n%s\r\n" % (len(piece), piece))
        client.sendall(b"0\r\n\r\n")
    origin = origin_factory(script)
    request = (b"GET http://127.0.0.1:%d/big HTTP/1.0\r\nHost: x\r\n"
               b"Connection: keep-alive\r\n\r\n" % origin.port)
    # Read to the end of the connection: the body ends only there.
    answer = raw_exchange(proxy, request, timeout=30)
    head, _, received = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK\r\n"), head
    assert b"chunked" not in head.lower() and b"Content-Length" not in head, head
    assert b"Proxy-Connection: close" in head
    assert received == body
    assert wait_for(lambda: len(native_lines(proxy)) == 1, 5)
    record = parse_native(native_lines(proxy)[0])
    assert (record["status"], record["size"]) == ("200", str(size))


def never_answers(request, client):
    time.sleep(5)
    return "close"


def answers(text):
    return lambda request, client: (client.sendall(text), "close")[1]


# (name, proxy settings, what the origin does (None: no origin; the request
#  goes to a closed port), the request (%(p)d: the origin's port), the status
#  the client and the record must both show)
FAILURE_STATUSES = [
    ("access denied", {"addresses": "10.0.0.0-10.0.0.255"}, None,
     b"GET http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n\r\n", 403),
    ("CONNECT not granted", {"rights": "proxy"}, None,
     b"CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: x\r\n\r\n", 403),
    ("CONNECT port refused", {}, None, b"CONNECT 127.0.0.1:25 HTTP/1.1\r\nHost: x\r\n\r\n", 403),
    ("proxy form not granted", {"rights": "transparent"}, None,
     b"GET http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n\r\n", 403),
    ("scheme not implemented", {}, None,
     b"GET gopher://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n\r\n", 501),
    ("connection failed", {}, None,
     b"GET http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n\r\n", 503),
    ("origin times out", {"timeout": 1}, never_answers,
     b"GET http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n\r\n", 504),
    ("status out of range", {}, answers(b"HTTP/1.1 99999 Broken\r\n\r\n"),
     b"GET http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n\r\n", 502),
    ("HTTP/0.9 reply", {}, answers(b"<html>\n\n<body>no status line</body></html>\n"),
     b"GET http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n\r\n", 502),
    ("HTTP/0.9 reply without empty line", {}, answers(b"no status line at all"),
     b"GET http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n\r\n", 502),
    ("header cut short", {}, answers(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"),
     b"GET http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n\r\n", 502),
    ("oversized header", {}, answers(b"HTTP/1.1 200 OK\r\nX-Big: " + b"a" * 40000 + b"\r\n\r\n"),
     b"GET http://127.0.0.1:%(p)d/ HTTP/1.1\r\nHost: x\r\n\r\n", 502),
]


@pytest.mark.parametrize("name,settings,origin_script,request_text,status", FAILURE_STATUSES,
                         ids=[case[0] for case in FAILURE_STATUSES])
def test_every_failure_page_carries_the_status_of_its_record(proxy_factory, origin_factory, name,
                                                             settings, origin_script,
                                                             request_text, status):
    proxy = proxy_factory(**settings)
    port = origin_factory(origin_script).port if origin_script is not None else free_port()
    answer = raw_exchange(proxy, request_text % {b"p": port}, timeout=20)
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 %d " % status), answer[:300]
    # The page itself, whole.
    assert b"<style" in body, body[:200]
    assert b"Content-Length: %d\r\n" % len(body) in head + b"\r\n"
    assert wait_for(lambda: len(native_lines(proxy)) == 1, 5), proxy.log()
    assert parse_native(native_lines(proxy)[0])["status"] == str(status)
