"""Memory of idle keep-alive client connections: opens N connections to the
proxy, makes one request on each (the proxy's own page, so no origin is
involved), leaves them idle in the client pool and prints the resident-set
growth of the proxy per connection. Usage: idle_rss.py PID PORT N"""
import os
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from bench_connections import read_answer  # noqa: E402

REQUEST = b"GET http://kestrivan/ HTTP/1.1\r\nHost: kestrivan\r\nConnection: keep-alive\r\n\r\n"


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    pid, port, count = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    warm = socket.create_connection(("127.0.0.1", port), timeout=10)
    warm.sendall(REQUEST)
    read_answer(warm)
    time.sleep(1)
    before = rss_kib(pid)
    clients = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        s.sendall(REQUEST)
        if read_answer(s):
            clients.append(s)
        else:
            s.close()
    time.sleep(3)  # the workers hand the connections back to the client pool
    after = rss_kib(pid)
    kept = len(clients)
    print("idle keep-alive connections: %d, RSS before %d KiB, after %d KiB, per connection %.1f KiB"
          % (kept, before, after, (after - before) / max(kept, 1)))
    for s in clients + [warm]:
        s.close()


if __name__ == "__main__":
    main()
