"""Shared fixtures of the integration tests.

Every test gets its own work folder (removed when the test passes, kept and
named in the report when it fails) and starts the real daemon, and any real
peer, on free loopback ports.
"""
import atexit
import ctypes
import http.server
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

import pytest

SOURCE = os.environ.get("KESTRIVAN_SOURCE",
                        os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD = os.environ.get("KESTRIVAN_BUILD", os.path.join(SOURCE, "build"))
BINARY = os.environ.get("KESTRIVAN_BIN", os.path.join(BUILD, "kestrivan"))
SECTIONS = os.path.join(SOURCE, "etc", "sections.xml")
SHIPPED_CONFIG = os.path.join(SOURCE, "etc", "kestrivan.xml")


def config_without_listeners(source=SHIPPED_CONFIG):
    """A copy of the configuration with the network section's listeners
    switched off (the shipped one listens on 127.0.0.1:8080, which tests
    would compete for with each other and with a running proxy); tests listen
    on the free port they pass with -L. The entries stay, so tests may still
    find them. Returns its path, in a folder of this run."""
    with open(source) as f:
        text = f.read()
    text = re.sub(r"(<listen>\s*<enabled>)true(</enabled>)", r"\1false\2", text)
    folder = tempfile.mkdtemp(prefix="kestrivan-config-")
    atexit.register(shutil.rmtree, folder, True)
    path = os.path.join(folder, "kestrivan.xml")
    with open(path, "w") as f:
        f.write(text)
    return path


# What every test starts from unless it writes its own.
CONFIG = config_without_listeners()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "rep_" + report.when, report)


@pytest.fixture
def workdir(request):
    path = tempfile.mkdtemp(prefix="kestrivan-test-")
    yield path
    failed = any(getattr(request.node, "rep_" + when, None) is not None
                 and getattr(request.node, "rep_" + when).failed
                 for when in ("setup", "call"))
    if failed:
        print("\nkept work folder of failed test: " + path)
    else:
        shutil.rmtree(path, ignore_errors=True)


def _ephemeral_low():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


_PORTS_GIVEN = set()
# Its own generator: a test seeding the shared one must not make parallel
# test processes pick the same ports.
_PORT_CHOICE = random.Random()


def free_port(host="127.0.0.1", kind=socket.SOCK_STREAM):
    """A port nothing is bound to, from below the system's ephemeral range.

    A port the system hands out for port 0 comes from that range, where any
    outgoing connection of a test running beside may take it before the
    peer or daemon it was picked for binds it ("Address already in use").
    Ports below 20000 stay free for the fixed ones some peers use."""
    low = _ephemeral_low()
    for _ in range(200):
        port = _PORT_CHOICE.randint(20000, max(low - 1, 20001))
        if port in _PORTS_GIVEN:
            continue
        with socket.socket(socket.AF_INET, kind) as s:
            try:
                s.bind((host, port))
            except OSError:
                continue
        _PORTS_GIVEN.add(port)
        return port
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=10.0, interval=0.05):
    """Polls predicate until it is true or the time-out passes; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def port_open(port, host="127.0.0.1"):
    """True when something accepts TCP connections on the port."""
    try:
        socket.create_connection((host, port), timeout=1).close()
        return True
    except OSError:
        return False


def read_text(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def become_subreaper():
    """Makes this test process adopt orphaned descendants, so that a detached
    daemon (the grandchild of its launcher) can be waited for and its exit
    status read."""
    PR_SET_CHILD_SUBREAPER = 36
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0


def process_gone(pid):
    """True when the process has ended (a zombie nobody reaped counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


class ScriptedHTTPServer:
    """A real HTTP peer on loopback (a master, an origin): every GET is kept
    in `requests` as (path, headers) and answered by `answer(handler)`, which
    writes the whole reply through the BaseHTTPRequestHandler it is given."""

    def __init__(self, answer):
        self.requests = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                server.requests.append((self.path, dict(self.headers)))
                answer(self)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class Daemon:
    """One kestrivan process with its files in a work folder: in the foreground
    (-f), or detached with a PID file (detach=True) as an operator runs it."""

    def __init__(self, workdir, extra_args=(), config=CONFIG, sections=SECTIONS, listen=True,
                 detach=False, wrapper=()):
        self.workdir = workdir
        self.detach = detach
        self.port = free_port() if listen else None
        self.error_log = os.path.join(workdir, "error.log")
        self.access_log = os.path.join(workdir, "access.log")
        self.extended_log = os.path.join(workdir, "extended.log")
        self.pidfile = os.path.join(workdir, "kestrivan.pid") if detach else None
        # A wrapper (DnsServer.wrapper) execs the daemon itself, so the
        # process started is the daemon.
        self.args = list(wrapper) + [BINARY] + ([] if detach else ["-f"]) + [
                     "-c", config, "-s", sections,
                     "-l", self.error_log, "-a", self.access_log, "-e", self.extended_log,
                     "-r", os.path.join(workdir, "performance.log"),
                     "-m", os.path.join(workdir, "modules")]
        if detach:
            self.args += ["-p", self.pidfile]
        if listen:
            self.args += ["-L", "127.0.0.1:%d" % self.port]
        self.args += list(extra_args)
        os.makedirs(os.path.join(workdir, "modules"), exist_ok=True)
        self.stdout_path = os.path.join(workdir, "stdout.txt")
        self.process = None
        self.pid = None
        self.status = None

    def start(self, ready_line="proxy hostname:", timeout=15.0):
        self.stdout = open(self.stdout_path, "wb")
        if self.detach:
            return self._start_detached(ready_line, timeout)
        self.process = subprocess.Popen(self.args, stdout=self.stdout, stderr=subprocess.STDOUT,
                                        cwd=self.workdir)
        self.pid = self.process.pid
        if ready_line is not None:
            ok = wait_for(lambda: ready_line in read_text(self.error_log)
                          or self.process.poll() is not None, timeout)
            assert ok and self.process.poll() is None, (
                "daemon did not start; output:\n" + read_text(self.stdout_path)
                + "\nerror log:\n" + read_text(self.error_log))
        return self

    def _start_detached(self, ready_line, timeout):
        launcher = subprocess.run(self.args, stdout=self.stdout, stderr=subprocess.STDOUT,
                                  cwd=self.workdir, timeout=timeout)
        assert launcher.returncode == 0, read_text(self.stdout_path)
        assert wait_for(lambda: read_text(self.pidfile).endswith("\n"), timeout), (
            "no PID file; error log:\n" + read_text(self.error_log))
        self.pid = int(read_text(self.pidfile))
        if ready_line is not None:
            assert wait_for(lambda: ready_line in read_text(self.error_log)
                            or process_gone(self.pid), timeout)
            assert not process_gone(self.pid), "daemon ended:\n" + read_text(self.error_log)
        return self

    def log(self):
        return read_text(self.error_log)

    def running(self):
        if self.detach:
            return not process_gone(self.pid)
        return self.process.poll() is None

    def wait_listening(self, timeout=15.0):
        """Waits until the -L listener is open (it opens after "proxy hostname:")."""
        line = "listening on 127.0.0.1:%d" % self.port
        assert wait_for(lambda: line in self.log(), timeout), self.log()
        return self

    def connect(self, timeout=10.0):
        """A new client connection to the -L listener."""
        return socket.create_connection(("127.0.0.1", self.port), timeout=timeout)

    def thread_count(self):
        """Threads of the running process."""
        return len(os.listdir("/proc/%d/task" % self.pid))

    def signal(self, signo):
        os.kill(self.pid, signo)

    def wait(self, timeout=15.0):
        """Waits for the process to end; returns its exit status (negative:
        the signal that killed it), or None for a detached daemon that this
        process could not reap (see become_subreaper)."""
        if not self.detach:
            return self.process.wait(timeout=timeout)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                pid, status = os.waitpid(self.pid, os.WNOHANG)
                if pid == self.pid:
                    self.status = os.waitstatus_to_exitcode(status)
                    return self.status
            except ChildProcessError:
                if process_gone(self.pid):
                    return None
            time.sleep(0.05)
        raise subprocess.TimeoutExpired(self.args, timeout)

    def stop(self):
        if self.pid is not None and self.running():
            self.signal(signal.SIGTERM)
            try:
                self.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.signal(signal.SIGKILL)
                self.wait(timeout=10)
        if getattr(self, "stdout", None) is not None:
            self.stdout.close()


class HttpReader:
    """Reads HTTP responses one after the other from a client socket,
    keeping bytes of a following (pipelined) response for the next call."""

    def __init__(self, sock):
        self.sock = sock
        self.data = b""

    def _more(self):
        piece = self.sock.recv(65536)
        self.data += piece
        return bool(piece)

    def response(self, head=False):
        """(status line, headers with lower-cased names, body), or None when
        the peer closes before a whole header arrived. The body is
        Content-Length bytes, none for a response to HEAD."""
        while b"\r\n\r\n" not in self.data:
            if not self._more():
                return None
        header, _, self.data = self.data.partition(b"\r\n\r\n")
        lines = header.decode("latin-1").split("\r\n")
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = 0 if head else int(headers.get("content-length", "0"))
        while len(self.data) < length and self._more():
            pass
        body, self.data = self.data[:length], self.data[length:]
        return lines[0], headers, body

    def closed(self):
        """True when the peer closes without sending anything more."""
        return self.data == b"" and not self._more()


@pytest.fixture
def daemon_factory(workdir):
    started = []

    def make(*args, **kwargs):
        d = Daemon(workdir, *args, **kwargs)
        started.append(d)
        return d

    yield make
    for d in started:
        d.stop()


SQUID = "/usr/sbin/squid"
DNSMASQ = "/usr/sbin/dnsmasq"


class DnsServer:
    """A name server for the daemon: dnsmasq (package dnsmasq-base) on port 53
    of an address of its own in 127.0.0.0/8, authoritative for the zones
    given. Daemons started with `wrapper()` run in a private mount namespace
    whose /etc/resolv.conf names only this server, so no query leaves the
    machine. `mx` holds (name, exchange, preference), `addresses` (domain,
    address) records answering the domain and its sub-domains; `queries()`
    are the (type, name) pairs asked so far."""

    def __init__(self, workdir, zones, mx=(), addresses=()):
        self.folder = os.path.join(workdir, "dns")
        os.makedirs(self.folder, exist_ok=True)
        self.log = os.path.join(self.folder, "dnsmasq.log")
        self.resolv = os.path.join(self.folder, "resolv.conf")
        self.zones, self.mx, self.addresses = list(zones), list(mx), list(addresses)
        self.address = None
        self.process = None

    def start(self):
        for _ in range(8):
            address = "127.%d.%d.%d" % (random.randint(100, 250), random.randint(0, 255),
                                        random.randint(1, 254))
            args = [DNSMASQ, "--keep-in-foreground", "-C", "/dev/null", "--no-resolv",
                    "--no-hosts", "--bind-interfaces", "--listen-address=" + address,
                    "--port=53", "--log-queries", "--log-facility=" + self.log,
                    "--pid-file=" + os.path.join(self.folder, "dnsmasq.pid")]
            args += ["--local=/%s/" % zone for zone in self.zones]
            args += ["--mx-host=%s,%s,%d" % record for record in self.mx]
            args += ["--address=/%s/%s" % record for record in self.addresses]
            if os.path.exists(self.log):
                os.unlink(self.log)
            self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL,
                                            stderr=subprocess.STDOUT)
            wait_for(lambda: "started, version" in read_text(self.log)
                     or self.process.poll() is not None, 10)
            if self.process.poll() is None:
                self.address = address
                with open(self.resolv, "w") as f:
                    f.write("nameserver %s\n" % address)
                return self
        raise AssertionError("dnsmasq did not start:\n" + read_text(self.log))

    def wrapper(self):
        return ["unshare", "--mount", "sh", "-c",
                'mount --bind "$0" /etc/resolv.conf && exec "$@"', self.resolv]

    def queries(self):
        return re.findall(r"query\[(\w+)\] (\S+) from", read_text(self.log))

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)


@pytest.fixture
def dns_factory(workdir):
    if not os.access(DNSMASQ, os.X_OK):
        pytest.skip("dnsmasq is not installed (scripts/install-deps.sh)")
    started = []

    def make(zones, mx=(), addresses=()):
        server = DnsServer(workdir, zones, mx, addresses)
        started.append(server)
        return server.start()

    yield make
    for server in started:
        server.stop()


ACCESS_ALL = "proxy,transparent,host-header,connect,bypass,url-commands"


def config_text(rights=ACCESS_ALL, maxupload="1M", maxdownload="1M", timeout=5,
                connectports="443", compressin="false", extra_sections="", ntlm="false",
                authenticate="false", keepalivetimeout=10, trusted_proxies="", profiles="",
                tempdir="/tmp", addresses="127.0.0.0-127.255.255.255", bufferwait=0):
    """A whole configuration: clients of `addresses` (local ones by default)
    with the given access rights (and
    login and NTLM settings, the profiles their rule applies, and the
    downstream proxies whose X-Forwarded-For is believed), one General entry
    with the given limits, buffer wait and temporary folder, and further
    section elements."""
    return """<?xml version="1.0" encoding="UTF-8"?>
<kestrivan>
  <access>
    <allow-first>true</allow-first>
    <ntlm>%(ntlm)s</ntlm>
    <trusted-proxies>%(trusted_proxies)s</trusted-proxies>
    <allow>
      <enabled>true</enabled><comment>test clients</comment><log>false</log>
      <ldap-names></ldap-names><interfaces></interfaces>
      <addresses>%(addresses)s</addresses>
      <authenticate>%(authenticate)s</authenticate><user></user><password></password>
      <access>%(rights)s</access><bypass></bypass>
      <interface-user></interface-user><interface-password></interface-password>
      <profiles>%(profiles)s</profiles>
    </allow>
  </access>
  <general>
    <hostname>localhost</hostname><tempdir>%(tempdir)s</tempdir><linelength>100</linelength>
    <poolsize>20</poolsize><pooltimeout>60</pooltimeout>
    <general>
      <enabled>true</enabled><comment>every connection</comment><groups></groups>
      <profiles></profiles><connecttimeout>5</connecttimeout><timeout>%(timeout)d</timeout>
      <keepalivetimeout>%(keepalivetimeout)d</keepalivetimeout>
      <maxdownloadbuffer>%(maxdownload)s</maxdownloadbuffer>
      <maxuploadbuffer>%(maxupload)s</maxuploadbuffer>
      <bufferwait>%(bufferwait)d</bufferwait><connectports>%(connectports)s</connectports>
      <compressmime></compressmime><compressout>false</compressout>
      <compressin>%(compressin)s</compressin><xforwardedfor>false</xforwardedfor><via>true</via>
    </general>
  </general>
%(extra_sections)s
</kestrivan>
""" % locals()


@pytest.fixture
def proxy_factory(workdir):
    """Starts daemons on configurations made by config_text(**settings),
    listening on a free port."""
    started = []

    def make(**settings):
        path = os.path.join(workdir, "kestrivan-%d.xml" % len(started))
        with open(path, "w") as f:
            f.write(config_text(**settings))
        daemon = Daemon(workdir, config=path)
        started.append(daemon)
        daemon.start()
        daemon.wait_listening()
        return daemon

    yield make
    for daemon in started:
        daemon.stop()


class Squid:
    """A squid on loopback with its files in a folder of the test: HTTP on
    `address`:`port`, ICP on `address`:`icp_port`; `lines` are further
    squid.conf lines (peers, access rules, authentication). squid ignores
    ICP queries that come from its own address, so a squid that the proxy
    asks by ICP takes another loopback address (127.0.0.2)."""

    def __init__(self, workdir, name, lines=(), address="127.0.0.1"):
        self.address = address
        self.folder = os.path.join(workdir, name)
        os.makedirs(self.folder)
        # squid started as root runs as the user proxy, which must write here.
        os.chmod(workdir, 0o777)
        os.chmod(self.folder, 0o777)
        self.port = free_port(address)
        self.icp_port = free_port(address, kind=socket.SOCK_DGRAM)
        self.conf = os.path.join(self.folder, "squid.conf")
        self.cache_log = os.path.join(self.folder, "cache.log")
        self.access_log = os.path.join(self.folder, "access.log")
        text = "\n".join([
            "http_port %s:%d" % (address, self.port),
            "icp_port %d" % self.icp_port,
            "udp_incoming_address %s" % address,
            "pid_filename %s" % os.path.join(self.folder, "squid.pid"),
            "cache_log %s" % self.cache_log,
            "access_log %s" % self.access_log,
            "cache_store_log none",
            "coredump_dir %s" % self.folder,
            "visible_hostname %s.test" % name,
            "shutdown_lifetime 1 seconds",
            "cache_mem 8 MB",
            "dns_nameservers 127.0.0.1",
            "icp_access allow all",
        ] + list(lines)) + "\n"
        with open(self.conf, "w") as f:
            f.write(text)
        self.process = None

    def start(self):
        self.process = subprocess.Popen([SQUID, "-N", "-f", self.conf],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                                        cwd=self.folder)

        def ready():
            if self.process.poll() is not None:
                return True
            if not port_open(self.port, self.address):
                return False
            return "Accepting ICP messages" in read_text(self.cache_log)

        assert wait_for(ready, 30) and self.process.poll() is None, \
            "squid did not start:\n" + read_text(self.cache_log)
        return self

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)


@pytest.fixture
def squid_factory(workdir):
    if not os.access(SQUID, os.X_OK):
        pytest.skip("squid is not installed (scripts/install-deps.sh)")
    started = []

    def make(name, lines=(), address="127.0.0.1"):
        s = Squid(workdir, name, lines, address)
        started.append(s)
        return s.start()

    yield make
    for s in started:
        s.stop()


def fixed_answer(body=b"origin body\n"):
    """An answer for ScriptedHTTPServer: 200 with the body, cacheable."""
    def answer(handler):
        handler.send_response(200)
        handler.send_header("Content-Type", "text/plain")
        handler.send_header("Content-Length", str(len(body)))
        handler.send_header("Cache-Control", "max-age=600")
        handler.end_headers()
        handler.wfile.write(body)
    return answer


@pytest.fixture
def origin_server():
    server = ScriptedHTTPServer(fixed_answer())
    yield server
    server.stop()
