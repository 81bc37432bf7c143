"""Client connections end to end: listeners, accepting, workers, keep-alive
through the client pool, answered here by the proxy's own pages (requests
for its interface host), so that no origin is needed."""
import re
import socket
import subprocess
import time

import pytest

from conftest import HttpReader, free_port, wait_for

REQUEST = b"GET http://kestrivan/ HTTP/1.1\r\nHost: kestrivan\r\nConnection: keep-alive\r\n\r\n"
ANSWERED = "HTTP/1.1 200 OK"
REFUSED = "HTTP/1.1 403 Forbidden"


@pytest.fixture
def proxy(daemon_factory):
    return daemon_factory().start().wait_listening()


def disconnected_line(requests):
    return "network: 127.0.0.1 disconnected after making %d requests" % requests


def test_listener_is_opened_and_tuned(proxy):
    log = proxy.log()
    assert "network: listening on 127.0.0.1:%d" % proxy.port in log
    assert re.search(r"network: listen queue: \d+", log)
    # Every read moves as much as the socket buffers hold.
    blocksize = int(re.search(r"advice: network: Memory allocation: per socket R/W: (\d+) bytes",
                              log).group(1))
    assert blocksize >= 65536


def test_curl_through_the_proxy_gets_the_page(proxy):
    result = subprocess.run(["curl", "-s", "-i", "-x", "http://127.0.0.1:%d" % proxy.port,
                             "http://kestrivan/a", "http://kestrivan/b"],
                            capture_output=True, timeout=30)
    assert result.returncode == 0
    answers = result.stdout.decode()
    assert answers.count(ANSWERED + "\r\n") == 2
    assert answers.count("Proxy-Connection: keep-alive\r\n") == 2
    assert answers.count("</html>") == 2
    # curl used one connection for both.
    assert wait_for(lambda: disconnected_line(2) in proxy.log())
    assert proxy.log().count("allowed connect from 127.0.0.1 on port %d " % proxy.port) == 1


def test_origin_form_request_is_answered_with_connection(proxy):
    result = subprocess.run(["curl", "-s", "-i", "http://127.0.0.1:%d/index.html" % proxy.port],
                            capture_output=True, timeout=30)
    # Transparent requests are not granted by the shipped rules: refused,
    # and the connection ends.
    assert result.stdout.startswith(REFUSED.encode() + b"\r\n")
    assert b"\r\nConnection: close\r\n" in result.stdout


def test_keepalive_connection_is_served_until_the_client_leaves(proxy):
    with proxy.connect() as client:
        reader = HttpReader(client)
        for _ in range(3):
            client.sendall(REQUEST)
            status, headers, body = reader.response()
            assert status == ANSWERED
            assert headers["content-length"] == str(len(body))
    assert wait_for(lambda: disconnected_line(3) in proxy.log())


def test_pipelined_requests_each_get_an_answer(proxy):
    with proxy.connect() as client:
        client.sendall(REQUEST + b"HEAD http://kestrivan/ HTTP/1.1\r\nConnection: keep-alive\r\n\r\n" + REQUEST
                       + b"GET / HTTP/1.0\r\n\r\n")
        reader = HttpReader(client)
        assert reader.response()[0] == ANSWERED
        status, headers, _ = reader.response(head=True)
        assert headers["proxy-connection"] == "keep-alive"
        assert reader.response()[0] == ANSWERED
        status, headers, _ = reader.response()
        assert headers["connection"] == "close"  # HTTP/1.0 without keep-alive
        assert reader.closed()
    assert wait_for(lambda: disconnected_line(4) in proxy.log())


def test_many_parallel_keepalive_clients(proxy):
    clients = [proxy.connect() for _ in range(200)]
    readers = [HttpReader(c) for c in clients]
    try:
        for _ in range(5):
            for c in clients:
                c.sendall(REQUEST)
            for r in readers:
                status, _, body = r.response()
                assert status == ANSWERED
                assert body.endswith(b"</html>\n")
    finally:
        for c in clients:
            c.close()
    assert wait_for(lambda: proxy.log().count(disconnected_line(5)) == 200, 30)
    # Every client got its own number.
    ids = re.findall(r"\[(\d+)\] network: fd: \d+ allowed connect", proxy.log())
    assert sorted(map(int, ids)) == list(range(1, 201))


def test_endless_line_is_refused_and_the_proxy_goes_on(proxy):
    with proxy.connect() as client:
        client.sendall(b"GET http://a/")
        chunk = b"a" * 65536
        refused = False
        try:
            for _ in range(64):  # at most 4 MiB without a line end
                client.sendall(chunk)
        except (BrokenPipeError, ConnectionResetError):
            refused = True
        if not refused:
            client.settimeout(10)
            try:
                refused = client.recv(1024) == b""
            except ConnectionResetError:
                refused = True
        assert refused
    assert wait_for(lambda: "warning: socket: line without end after" in proxy.log()
                    or "request: header longer than 16382 characters refused" in proxy.log())
    with proxy.connect() as client:
        client.sendall(REQUEST)
        assert HttpReader(client).response()[0] == ANSWERED


def test_idle_workers_end_after_the_thread_time_out(daemon_factory):
    proxy = daemon_factory(["-T", "1"]).start().wait_listening()
    # The service threads start right after the listeners open: count once
    # they are all there.
    counts = []
    wait_for(lambda: counts.append(proxy.thread_count()) or counts[-2:] == counts[-1:] * 2, 5, 0.2)
    before = counts[-1]
    clients = [proxy.connect() for _ in range(20)]
    for c in clients:
        c.sendall(b"GET / HTTP/1.0\r\n\r\n")
    for c in clients:
        assert HttpReader(c).response()[0] == REFUSED  # transparent: not granted
        c.close()
    assert wait_for(lambda: proxy.log().count(disconnected_line(1)) == 20)
    # With no more work the workers end within about a second.
    assert wait_for(lambda: proxy.thread_count() <= before, 15)


def test_silent_client_is_closed_without_an_answer(daemon_factory):
    proxy = daemon_factory().start().wait_listening()
    with proxy.connect() as client:
        client.shutdown(socket.SHUT_WR)
        assert HttpReader(client).closed()
    assert wait_for(lambda: disconnected_line(0) in proxy.log())
    assert "warning: request: timeout waiting for header from 127.0.0.1" in proxy.log()


def test_busy_port_is_reported(daemon_factory):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        proxy = daemon_factory(listen=False)
        proxy.args += ["-L", "127.0.0.1:%d" % port]
        proxy.start(ready_line=None)
        # Without any listener it would serve nobody: it stops instead.
        assert proxy.wait() == 1
        assert "error: failed to bind to 127.0.0.1:%d" % port in proxy.log()
        assert "no listener could be opened" in proxy.log()


def refused(client):
    """True when the proxy closes the new connection at once (no worker)."""
    client.settimeout(0.3)
    try:
        return client.recv(16) == b""
    except socket.timeout:
        return False


def test_connections_beyond_the_worker_limit_are_refused_and_told(daemon_factory):
    proxy = daemon_factory(extra_args=["-t", "20"]).start().wait_listening()
    line = re.compile(r"error: no thread could be started: all 20 thread slots are in use "
                      r"\(option -t\); (\d+) connection\(s\) refused since the last report")
    held = []
    try:
        # Silent clients each keep a worker waiting for their header, until
        # the table is full and a connection is refused.
        for _ in range(25):
            held.append(proxy.connect())
            if refused(held[-1]):
                break
        else:
            pytest.fail("no connection was refused")
        assert wait_for(lambda: line.search(proxy.log()))
        # A burst adds to the count, not a line each: the next refusal more
        # than a second later tells them all.
        start = time.monotonic()
        burst = [proxy.connect() for _ in range(9)]
        held += burst
        assert all(refused(client) for client in burst)
        burst_seconds = time.monotonic() - start
        time.sleep(1.1)
        held.append(proxy.connect())
        assert refused(held[-1])
        assert wait_for(lambda: sum(int(n) for n in line.findall(proxy.log())) == 11)
        counts = [int(n) for n in line.findall(proxy.log())]
        assert counts[0] == 1
        assert 2 <= len(counts) <= 2 + int(burst_seconds), counts
    finally:
        for client in held:
            client.close()
