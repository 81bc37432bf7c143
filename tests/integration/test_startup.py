"""The daemon's command line, start-up errors, foreground and daemon modes."""
import os
import signal
import subprocess
import socket
import time

import pytest

from conftest import (BINARY, CONFIG, SECTIONS, SHIPPED_CONFIG, Daemon, free_port, read_text,
                      wait_for)


def run(args, cwd=None, timeout=20):
    return subprocess.run([BINARY] + args, capture_output=True, timeout=timeout, cwd=cwd)


def test_version_line():
    result = run(["-v"])
    assert result.returncode == 0
    assert result.stdout == b"Kestrivan - VERSION - 1.0.0 - BUILD - 20120127\n"


@pytest.mark.parametrize("args", [[], ["-h"]])
def test_help_text(args):
    result = run(args)
    assert result.returncode == 0
    text = result.stderr.decode()
    lines = text.split("\n")
    assert " -c <file>            : location of config file (required)" in lines
    assert (" -k <keepidle_time:keepalive_intvl:keepalive_count>  : "
            "specify the TCP Keepalive parameters (default: 900:75:9)") in lines
    # Socket buffers keep the system's sizes (and its autotuning) unless -b sets them.
    assert (" -b <SND_BUF:RCV_BUF> : "
            "specify the TCP Send and Receive Buffer sizes (default: 0:0)") in lines
    assert (" -j <process_old_logs>: specify action to take when log file size exceeds "
            "log_size_limit (default: 0)") in lines
    assert " -d <level>           : set log level (default: 134217727)" in lines
    assert "         1 = requests" in lines
    assert " 134217728 = debug" in lines
    assert "Usage: %s [options]" % BINARY in lines
    # Category lines are the last ones, in bit order.
    assert text.endswith(" 67108864 = profiles\n 134217728 = debug\n")


def test_help_shows_current_values_of_earlier_options():
    result = run(["-T", "7", "-b", "9000:100", "-h"])
    text = result.stderr.decode()
    assert "(default: 7)" in text
    assert "specify the TCP Send and Receive Buffer sizes (default: 9000:100)" in text


@pytest.mark.parametrize("args,message", [
    (["-s", SECTIONS], b"config file option missing\n"),
    (["-c", "/nonexistent/k.xml", "-s", SECTIONS], b"couldn't stat /nonexistent/k.xml\n"),
    (["-c", CONFIG], b"section file option missing\n"),
    (["-c", CONFIG, "-s", "/nonexistent/s.xml"], b"couldn't stat /nonexistent/s.xml\n"),
])
def test_startup_errors(args, message):
    result = run(args + ["-f"])
    assert result.returncode == 1
    assert result.stderr == message


@pytest.mark.parametrize("args", [
    ["-L", "8080"],                      # no address part
    ["-L", "127.000.000.0001:80"],       # address of 16 characters
    ["-P", "100"],                       # no age
    ["-P", "0:600"],                     # a cache of size 0 that still ages entries
    ["-M", "h" * 256 + ":80"],           # master host too long
])
def test_malformed_options_print_help_and_fail(args):
    result = run(["-f", "-c", CONFIG, "-s", SECTIONS] + args)
    assert result.returncode == 1
    assert b"Usage:" in result.stderr


def test_unknown_option_is_ignored_silently(workdir):
    result = run(["-Q", "-c", "/nonexistent", "-s", SECTIONS, "-f"])
    assert result.stderr == b"couldn't stat /nonexistent\n"


def test_broken_section_file_stops_startup(daemon_factory, workdir):
    broken = os.path.join(workdir, "broken.xml")
    with open(broken, "w") as f:
        f.write("<section><general>")
    d = daemon_factory(sections=broken)
    d.start(ready_line=None)
    assert d.wait() == 1
    log = d.log()
    assert "error: Error when parsing section.xml: " in log
    assert "advice: Please correct errors in section.xml: " in log


def test_foreground_start_logs_and_echoes(daemon_factory):
    d = daemon_factory(extra_args=["-H", "proxy.example"])
    d.start()
    line = [l for l in d.log().splitlines() if "proxy hostname:" in l][0]
    # "%Y %m %d %H:%M:%S [client id] word: message"
    assert line[19:] == " [0] network: proxy hostname: proxy.example"
    assert time.strptime(line[:19], "%Y %m %d %H:%M:%S")
    # The foreground echoes log lines on standard output.
    assert wait_for(lambda: "proxy hostname: proxy.example" in read_text(d.stdout_path))
    assert d.process.poll() is None


def proc_cmdline(pid):
    with open("/proc/%d/cmdline" % pid, "rb") as f:
        return f.read()


def test_daemon_detaches_writes_pid_and_hides_arguments(workdir):
    pidfile = os.path.join(workdir, "k.pid")
    error_log = os.path.join(workdir, "error.log")
    args = [BINARY, "-c", CONFIG, "-s", SECTIONS, "-l", error_log, "-p", pidfile,
            "-m", workdir, "-H", "secret-host.example", "-L", "127.0.0.1:%d" % free_port()]
    launcher = subprocess.run(args, capture_output=True, timeout=20, cwd=workdir)
    assert launcher.returncode == 0
    assert wait_for(lambda: os.path.exists(pidfile) and read_text(pidfile).endswith("\n"))
    pid = int(read_text(pidfile))
    try:
        assert read_text(pidfile) == "%u\n" % pid
        assert wait_for(lambda: "proxy hostname: secret-host.example" in read_text(error_log))
        cmdline = proc_cmdline(pid)
        # Only the program name is left; every argument is wiped to zero bytes.
        program, _, rest = cmdline.partition(b"\0")
        assert rest.strip(b"\0") == b""
        assert program == BINARY.encode()
        for fd in (0, 1, 2):
            assert os.readlink("/proc/%d/fd/%d" % (pid, fd)) == "/dev/null"
        assert os.readlink("/proc/%d/cwd" % pid) == "/"

        # A second instance with the same PID file finds the live one and ends.
        # Its processes carry a marker in their environment, so that daemons
        # of tests running at the same time are not mistaken for it.
        marker = ("KESTRIVAN_SECOND_INSTANCE=%d" % os.getpid()).encode()
        second = subprocess.run(args, capture_output=True, timeout=20, cwd=workdir,
                                env=dict(os.environ, KESTRIVAN_SECOND_INSTANCE=str(os.getpid())))
        # Its launcher says it did not come up.
        assert second.returncode == 1, second.stderr
        time.sleep(0.5)
        assert read_text(pidfile) == "%u\n" % pid
        others = [p for p in os.listdir("/proc") if p.isdigit() and int(p) != pid
                  and proc_cmdline_safe(int(p)).startswith(BINARY.encode())
                  and marker in proc_environ_safe(int(p)).split(b"\0")]
        assert others == []
    finally:
        os.kill(pid, signal.SIGKILL)


def proc_cmdline_safe(pid):
    try:
        return proc_cmdline(pid)
    except OSError:
        return b""


def proc_environ_safe(pid):
    try:
        with open("/proc/%d/environ" % pid, "rb") as f:
            return f.read()
    except OSError:
        return b""


@pytest.mark.parametrize("stale", ["999999999\n", "not a number\n"])
def test_stale_pid_file_is_replaced(workdir, stale):
    pidfile = os.path.join(workdir, "k.pid")
    with open(pidfile, "w") as f:
        f.write(stale)
    error_log = os.path.join(workdir, "error.log")
    # Relative paths are resolved against the starting directory even though
    # the daemon works from "/".
    for name, source in (("kestrivan.xml", CONFIG), ("sections.xml", SECTIONS)):
        with open(os.path.join(workdir, name), "w") as f:
            f.write(read_text(source))
    launcher = subprocess.run([BINARY, "-c", "kestrivan.xml", "-s", "sections.xml",
                               "-l", "error.log", "-p", "k.pid", "-m", workdir,
                               "-L", "127.0.0.1:%d" % free_port()],
                              capture_output=True, timeout=20, cwd=workdir)
    assert launcher.returncode == 0
    assert wait_for(lambda: read_text(pidfile) not in (stale, "")
                    and "proxy hostname:" in read_text(error_log))
    pid = int(read_text(pidfile))
    try:
        assert os.path.exists("/proc/%d" % pid)
    finally:
        os.kill(pid, signal.SIGKILL)


def write_access_log(path, hosts):
    with open(path, "w") as f:
        for i, host in enumerate(hosts):
            f.write("1300000000 10 127.0.0.1 TCP_MISS/200 1234 GET http://%s:80/page%d - DIRECT/x text/html\n"
                    % (host, i))


@pytest.mark.parametrize("order", ["a_then_l", "l_then_a"])
def test_host_feed_file_follows_access_log(daemon_factory, workdir, order):
    access = os.path.join(workdir, "access.log")
    write_access_log(access, ["one.example", "two.example", "one.example"])
    with open(access, "a") as f:
        f.write("short line without url\n")
    d = daemon_factory()
    # The fixture passes -l before -a; for the other order, move -a first.
    if order == "a_then_l":
        i = d.args.index("-a")
        pair = d.args[i:i + 2]
        del d.args[i:i + 2]
        d.args[1:1] = pair
    d.start()
    feed = read_text(access + ".vantorifeed")
    assert feed == "\none.example\ntwo.example\none.example"


def test_host_feed_file_holds_at_most_10001_records(daemon_factory, workdir):
    access = os.path.join(workdir, "access.log")
    write_access_log(access, ["h%d.example" % i for i in range(20000)])
    d = daemon_factory()
    d.start()
    feed = read_text(access + ".vantorifeed")
    records = feed.split("\n")
    assert records[0] == ""
    assert len(records) - 1 == 10001
    assert records[-1] == "h10000.example"


def listen_config(workdir, address, port):
    """The shipped configuration with its one listener at address:port."""
    path = os.path.join(workdir, "listen.xml")
    text = read_text(SHIPPED_CONFIG).replace("<port>8080</port>", "<port>%d</port>" % port)
    with open(path, "w") as f:
        f.write(text.replace("<address>127.0.0.1</address>", "<address>%s</address>" % address))
    return path


def kill_if_running(pidfile):
    text = read_text(pidfile)
    if text.strip().isdigit():
        try:
            os.kill(int(text), signal.SIGKILL)
        except OSError:
            pass


NO_LISTENER = "no listener could be opened"

# (name, arguments after the files, listener entry of the configuration
#  (None: the test configuration, which has none), detach, what standard
#  error says (the launcher's when detached), what the error log says)
FAILED_STARTS = [
    ("port in use", ["-L", "127.0.0.1:%(busy)d"], None, False, NO_LISTENER,
     "failed to bind to 127.0.0.1:%(busy)d: Address already in use"),
    ("port in use, detached", ["-L", "127.0.0.1:%(busy)d"], None, True, NO_LISTENER,
     "failed to bind to 127.0.0.1:%(busy)d: Address already in use"),
    ("no listener at all", [], None, False, NO_LISTENER, NO_LISTENER),
    ("-L not an address", ["-L", "999.1.1.1:%(free)d"], None, False,
     "-L 999.1.1.1:%(free)d: give an IPv4 address and a port from 1 to 65535", ""),
    ("-L host name", ["-L", "localhost:%(free)d"], None, False,
     "-L localhost:%(free)d: give an IPv4 address", ""),
    ("-L port wraps", ["-L", "127.0.0.1:%(wrapped)d"], None, False,
     "-L 127.0.0.1:%(wrapped)d: give an IPv4 address", ""),
    ("-L port 0", ["-L", "127.0.0.1:0"], None, False, "-L 127.0.0.1:0: give an IPv4 address",
     ""),
    ("listener entry not an address", [], ("999.1.1.1", "%(free)d"), False, NO_LISTENER,
     "failed to bind to 999.1.1.1:%(free)d: not an IPv4 address"),
    ("listener entry host name", [], ("localhost", "%(free)d"), True, NO_LISTENER,
     "failed to bind to localhost:%(free)d: not an IPv4 address"),
    ("listener entry port wraps", [], ("127.0.0.1", "%(wrapped)d"), False, NO_LISTENER,
     "failed to bind to 127.0.0.1:%(wrapped)d: the port is outside 1-65535"),
    ("error log unwritable", ["-L", "127.0.0.1:%(free)d", "-l", "%(dir)s/none/error.log"], None,
     False, "the log file %(dir)s/none/error.log cannot be opened: No such file or directory",
     ""),
    ("access log unwritable", ["-L", "127.0.0.1:%(free)d", "-a", "%(dir)s/none/access.log"],
     None, True, "the log file %(dir)s/none/access.log cannot be opened", ""),
    ("PID file unwritable", ["-L", "127.0.0.1:%(free)d", "-p", "%(dir)s/none/k.pid"], None, True,
     "failed to create pid file %(dir)s/none/k.pid", ""),
]


@pytest.mark.parametrize("name,extra,listener,detach,stderr,log", FAILED_STARTS,
                         ids=[case[0] for case in FAILED_STARTS])
def test_a_start_that_fails_says_so_and_ends_with_status_1(workdir, name, extra, listener,
                                                           detach, stderr, log):
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        values = {"busy": busy.getsockname()[1], "free": free_port(), "dir": workdir,
                  "wrapped": 65536 + free_port()}
        config = CONFIG
        if listener is not None:
            config = listen_config(workdir, listener[0], int(listener[1] % values))
        error_log = os.path.join(workdir, "error.log")
        pidfile = os.path.join(workdir, "k.pid")
        args = [BINARY, "-c", config, "-s", SECTIONS, "-l", error_log, "-m", workdir]
        args += [] if detach else ["-f"]
        args += [a % values for a in extra]
        if detach and "-p" not in extra:
            args += ["-p", pidfile]
        try:
            result = subprocess.run(args, capture_output=True, timeout=20, cwd=workdir)
        finally:
            kill_if_running(pidfile)
    assert result.returncode == 1, result.stderr
    assert stderr % values in result.stderr.decode(), result.stderr
    assert log % values in read_text(error_log)
