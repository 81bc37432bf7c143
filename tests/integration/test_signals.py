"""Signals sent to the running daemon: what it logs, how it ends, its PID file."""
import os
import re
import signal
import socket
import threading
import time

import pytest

from conftest import (HttpReader, ScriptedHTTPServer, become_subreaper, fixed_answer, read_text,
                      wait_for)

STAMP = re.compile(r"^\d{4} \d{2} \d{2} \d{2}:\d{2}:\d{2}")
FRAME = re.compile(r".*\[0x[0-9a-f]+\]$")

TERM_LINE = " [0] advice: Recieved TERM Signal to EXIT"
SEGV_LINE = " [0] advice: Recieved Signal for Segmentation violation"
ABRT_LINE = " [0] error: Recieved Signal for IOT trap "


@pytest.fixture(scope="module", autouse=True)
def adopt_detached_daemons():
    # A detached daemon is the grandchild of its launcher: adopting it lets
    # the tests read its exit status.
    become_subreaper()


def log_lines(d):
    return d.log().split("\n")


def message(line):
    """A log line without its time stamp."""
    return line[19:] if STAMP.match(line) else line


def wait_for_lines(d, count):
    return wait_for(lambda: len(log_lines(d)) >= count)


def listening(port):
    with socket.socket() as s:
        s.settimeout(2)
        return s.connect_ex(("127.0.0.1", port)) == 0


def check_ending(d, signal_line, backtrace):
    """The signal's line is logged once, right after the backtrace (if any);
    only the shutdown steps' own lines (the cache's, say) may follow it."""
    lines = [l for l in log_lines(d) if l != ""]
    found = [i for i, l in enumerate(lines) if message(l) == signal_line]
    assert len(found) == 1, d.log()
    at = found[0]
    assert all(STAMP.match(l) for l in lines[at + 1:]), d.log()
    frames = 0
    while not STAMP.match(lines[at - 1 - frames]):
        assert FRAME.match(lines[at - 1 - frames]), lines[at - 1 - frames]
        frames += 1
    if backtrace:
        assert 1 <= frames <= 20, d.log()
    else:
        assert frames == 0, d.log()


@pytest.mark.parametrize("signo,line", [
    (signal.SIGUSR1, " [0] advice: Recieved Signal for Log Rotation"),
    (signal.SIGUSR2, " [0] advice: Recieved Test Signal for USR2"),
    (signal.SIGPIPE, " [0] error: Recieved Signal for Broken pipe"),
])
def test_informational_signal_leaves_one_line_and_the_daemon_goes_on(daemon_factory, signo, line):
    d = daemon_factory().start()
    for round in range(2):
        before = log_lines(d)
        d.signal(signo)
        assert wait_for_lines(d, len(before) + 1)
        after = log_lines(d)
        assert after[:len(before) - 1] == before[:-1]
        assert [message(l) for l in after[len(before) - 1:-1]] == [line]
        assert d.running()
    # Echoed in the foreground as well.
    assert wait_for(lambda: line.strip() in read_text(d.stdout_path))
    d.signal(signal.SIGTERM)
    assert d.wait() == 0


def test_hangup_closes_the_listeners_saves_and_goes_on(daemon_factory):
    # What the README says of SIGHUP: no new connections, the running ones
    # are served to their end; it is no reload.
    answering = threading.Event()

    def slow(handler):
        answering.set()
        time.sleep(1)
        handler.send_response(200)
        handler.send_header("Content-Length", "4")
        handler.end_headers()
        handler.wfile.write(b"done")

    origin = ScriptedHTTPServer(slow)
    d = daemon_factory().start().wait_listening()
    client = d.connect()
    client.sendall(b"GET http://127.0.0.1:%d/slow HTTP/1.1\r\nHost: x\r\n\r\n" % origin.port)
    assert answering.wait(10)
    before = len(log_lines(d))
    d.signal(signal.SIGHUP)
    assert wait_for_lines(d, before + 4)
    lines = [message(l) for l in log_lines(d)[before - 1:-1]]
    assert lines == [
        " [0] advice: Recieved HUP Signal for cleaning cache and closing all FDs",
        " [0] advice: cache: starting graceful exit",
        " [0] advice: cache: graceful exit done",
        " [0] error: failure opening file descriptor, attempting to free resources",
    ]
    assert not listening(d.port)
    status, _, body = HttpReader(client).response()
    assert (status, body) == ("HTTP/1.1 200 OK", b"done")
    client.close()
    origin.stop()
    assert d.running()
    d.signal(signal.SIGTERM)
    assert d.wait() == 0
    check_ending(d, TERM_LINE, backtrace=False)


def test_hangup_closes_idle_kept_alive_connections(daemon_factory):
    # A connection waiting between requests in the client pool is closed by
    # the hang-up: only requests being served run to their end.
    origin = ScriptedHTTPServer(fixed_answer())
    # -C 0: a kept-alive connection goes to the client pool at once.
    d = daemon_factory(extra_args=("-C", "0")).start().wait_listening()
    idle = d.connect()
    idle.sendall(b"GET http://127.0.0.1:%d/ HTTP/1.1\r\nHost: x\r\n\r\n" % origin.port)
    reader = HttpReader(idle)
    assert reader.response()[::2] == ("HTTP/1.1 200 OK", b"origin body\n")
    before = len(log_lines(d))
    d.signal(signal.SIGHUP)
    assert wait_for_lines(d, before + 4)
    assert reader.closed()
    idle.close()
    origin.stop()
    assert d.running()
    d.signal(signal.SIGTERM)
    assert d.wait() == 0


@pytest.mark.parametrize("signo,status,line,backtrace", [
    (signal.SIGTERM, 0, TERM_LINE, False),
    (signal.SIGSEGV, 1, SEGV_LINE, True),
    (signal.SIGABRT, 1, ABRT_LINE, True),
])
def test_ending_signal_in_the_foreground(daemon_factory, signo, status, line, backtrace):
    d = daemon_factory().start()
    d.signal(signo)
    assert d.wait() == status
    check_ending(d, line, backtrace)
    assert line.strip() in read_text(d.stdout_path)


@pytest.mark.parametrize("signo,status,line,backtrace", [
    (signal.SIGTERM, 0, TERM_LINE, False),
    (signal.SIGSEGV, 1, SEGV_LINE, True),
    (signal.SIGABRT, 1, ABRT_LINE, True),
])
def test_ending_signal_removes_the_pid_file_of_a_detached_daemon(daemon_factory, signo, status,
                                                                 line, backtrace):
    d = daemon_factory(detach=True).start()
    assert read_text(d.pidfile) == "%u\n" % d.pid
    d.signal(signal.SIGHUP)  # the daemon goes on, and so does its PID file
    assert wait_for(lambda: "Recieved HUP Signal" in d.log())
    assert d.running() and os.path.exists(d.pidfile)

    d.signal(signo)
    assert d.wait() == status
    check_ending(d, line, backtrace)
    assert not os.path.exists(d.pidfile)


def test_foreground_daemon_leaves_a_pid_file_it_did_not_write(daemon_factory, workdir):
    pidfile = os.path.join(workdir, "other.pid")
    with open(pidfile, "w") as f:
        f.write("1\n")
    d = daemon_factory(extra_args=["-p", pidfile]).start()
    d.signal(signal.SIGTERM)
    assert d.wait() == 0
    assert read_text(pidfile) == "1\n"
