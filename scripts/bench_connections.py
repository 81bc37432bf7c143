#!/usr/bin/python3
"""Measures how cheaply the daemon holds and accepts client connections.

Starts the built daemon in the foreground on a free loopback port, in a
temporary folder, and measures:

  1. connections held per GiB: N clients each make one keep-alive request
     and then stay idle in the client pool; the daemon's resident memory
     (VmRSS) before and after gives the bytes one idle connection costs;
  2. accepted connections per second: client processes open a connection,
     send one HTTP/1.0 request, read the answer and close, as fast as they
     can for a bounded time (and at most a bounded count).

Loopback only, bounded in count and time. Not part of the test suite.

    scripts/bench_connections.py --bin build/kestrivan [--idle 5000]
        [--seconds 5] [--clients 8] [--max-connections 200000]
"""
import argparse
import multiprocessing
import os
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
REQUEST_KEEPALIVE = b"GET http://bench.invalid/ HTTP/1.1\r\nHost: bench.invalid\r\n\r\n"
REQUEST_CLOSE = b"GET http://bench.invalid/ HTTP/1.0\r\n\r\n"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_bytes(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def cpu_seconds(pid):
    """User and system CPU time the process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / float(os.sysconf("SC_CLK_TCK"))


def thread_count(pid):
    return len(os.listdir("/proc/%d/task" % pid))


def read_answer(sock):
    """Reads one answer of the daemon (header and Content-Length body)."""
    data = b""
    while b"\r\n\r\n" not in data:
        piece = sock.recv(65536)
        if not piece:
            return False
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":")[1])
    while len(body) < length:
        piece = sock.recv(65536)
        if not piece:
            return False
        body += piece
    return True


def start_daemon(binary, workdir, port, extra):
    os.makedirs(os.path.join(workdir, "modules"), exist_ok=True)
    error_log = os.path.join(workdir, "error.log")
    args = [binary, "-f", "-c", os.path.join(SOURCE, "etc", "kestrivan.xml"),
            "-s", os.path.join(SOURCE, "etc", "sections.xml"),
            "-l", error_log, "-a", os.path.join(workdir, "access.log"),
            "-e", os.path.join(workdir, "extended.log"),
            "-r", os.path.join(workdir, "performance.log"),
            "-m", os.path.join(workdir, "modules"),
            # Only what the measurement needs in the log: advice and errors.
            "-d", str(0x2000000),
            "-L", "127.0.0.1:%d" % port] + extra
    out = open(os.path.join(workdir, "stdout.txt"), "wb")
    process = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, cwd=workdir)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return process
        except OSError:
            if process.poll() is not None:
                break
            time.sleep(0.05)
    process.kill()
    raise SystemExit("daemon did not start; see " + workdir)


def measure_idle(pid, port, count):
    time.sleep(1.5)  # start-up allocations and the probe connection settle
    before = rss_bytes(pid)
    clients = []
    try:
        for i in range(count):
            c = socket.create_connection(("127.0.0.1", port), timeout=10)
            c.sendall(REQUEST_KEEPALIVE)
            if not read_answer(c):
                raise SystemExit("connection %d got no answer" % i)
            clients.append(c)
        # Let the workers hand every connection to the pool and end.
        time.sleep(3)
        after = rss_bytes(pid)
        threads = thread_count(pid)
    finally:
        for c in clients:
            c.close()
    per_connection = max(after - before, 1) / count
    return before, after, per_connection, threads


def churn(index, port, seconds, limit, results):
    """One client process: connect, request, answer, close, over and over."""
    # Each process connects from its own loopback address, so the short-lived
    # connections do not run out of local ports; closing with a reset leaves
    # no TIME_WAIT behind.
    source = "127.0.%d.%d" % (1 + index // 250, 2 + index % 250)
    linger = struct.pack("ii", 1, 0)
    done = failed = 0
    deadline = time.monotonic() + seconds
    while done + failed < limit and time.monotonic() < deadline:
        try:
            c = socket.socket()
            c.bind((source, 0))
            c.connect(("127.0.0.1", port))
            c.sendall(REQUEST_CLOSE)
            ok = read_answer(c)
            c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)
            c.close()
            if ok:
                done += 1
            else:
                failed += 1
        except OSError:
            failed += 1
    results.put((done, failed))


def measure_accept_rate(port, clients, seconds, limit):
    results = multiprocessing.Queue()
    per_client = max(limit // clients, 1)
    workers = [multiprocessing.Process(target=churn, args=(i, port, seconds, per_client, results))
               for i in range(clients)]
    begin = time.monotonic()
    for w in workers:
        w.start()
    totals = [results.get(timeout=seconds + 60) for _ in workers]
    elapsed = time.monotonic() - begin
    for w in workers:
        w.join(timeout=10)
    done = sum(t[0] for t in totals)
    failed = sum(t[1] for t in totals)
    return done, failed, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=os.path.join(SOURCE, "build", "kestrivan"))
    parser.add_argument("--idle", type=int, default=5000, help="idle connections to hold")
    parser.add_argument("--seconds", type=float, default=5.0, help="length of the accept run")
    parser.add_argument("--clients", type=int, default=8, help="client processes in the accept run")
    parser.add_argument("--max-connections", type=int, default=200000,
                        help="upper bound of connections in the accept run")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    options = parser.parse_args()

    options.idle = max(1, min(options.idle, 15000))
    options.seconds = max(0.5, min(options.seconds, 60.0))
    options.clients = max(1, min(options.clients, 64))
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = min(hard, options.idle + 1024)
    if soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
    if options.idle + 256 > wanted:
        options.idle = max(1, wanted - 256)

    workdir = tempfile.mkdtemp(prefix="kestrivan-bench-")
    port = free_port()
    daemon = start_daemon(options.bin, workdir, port, ["-T", "1"])
    try:
        before, after, per_connection, threads = measure_idle(daemon.pid, port, options.idle)
        print("idle connections held: %d" % options.idle)
        print("  daemon resident memory: %.1f MiB before, %.1f MiB with them (%d threads)"
              % (before / 1048576.0, after / 1048576.0, threads))
        print("  per idle connection: %.0f bytes of daemon memory" % per_connection)
        print("  connections held per GiB: %.0f" % (1073741824.0 / per_connection))
        time.sleep(2)  # the pool closes them as their clients left

        cpu_before = cpu_seconds(daemon.pid)
        done, failed, elapsed = measure_accept_rate(port, options.clients, options.seconds,
                                                    options.max_connections)
        cpu_used = cpu_seconds(daemon.pid) - cpu_before
        print("accept run: %d clients for %.1f s" % (options.clients, elapsed))
        print("  connections accepted and answered: %d (%d failed)" % (done, failed))
        print("  accepted connections per second: %.0f" % (done / elapsed))
        print("  daemon CPU time: %.2f s, %.1f us per connection"
              % (cpu_used, cpu_used * 1e6 / max(done, 1)))
        print("  daemon resident memory afterwards: %.1f MiB"
              % (rss_bytes(daemon.pid) / 1048576.0))
    finally:
        daemon.send_signal(signal.SIGTERM)
        try:
            daemon.wait(timeout=10)
        except subprocess.TimeoutExpired:
            daemon.kill()
            daemon.wait()
        if options.keep:
            print("work folder: " + workdir)
        else:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
