"""Configuration synchronisation: a slave started with -M copies its
configuration from a master's "/xml" document at the synchronisation
interval, honouring -S and -E, and agrees with the master on the
Last-Modified stamp whatever their time zones."""
import calendar
import email.utils
import os
import re
import socket
import time
import urllib.request

import pytest

from conftest import CONFIG, Daemon, ScriptedHTTPServer, read_text, wait_for

# Zones away from universal time, one with daylight saving.
ZONES = ["America/New_York", "Asia/Kolkata"]


class Master:
    """A scripted master on loopback: answers "/kestrivan/xml" with what the
    test sets (status, Last-Modified, body)."""

    def __init__(self):
        self.status = 200
        self.stamp = 1700000000  # seconds since the epoch
        self.body = read_text(CONFIG)
        self.server = ScriptedHTTPServer(self.answer)
        self.requests = self.server.requests
        self.port = self.server.port

    def answer(self, handler):
        body = self.body.encode()
        handler.send_response(self.status)
        handler.send_header("Content-Type", "text/xml")
        handler.send_header("Cache-Control", "no-cache")
        if self.stamp is not None:
            handler.send_header("Last-Modified", email.utils.formatdate(self.stamp, usegmt=True))
        handler.send_header("Content-Length", str(len(body)))
        handler.send_header("Connection", "close")
        handler.end_headers()
        handler.wfile.write(body)

    def stop(self):
        self.server.stop()


@pytest.fixture
def master():
    m = Master()
    yield m
    m.stop()


def changed(text):
    """The shipped configuration with a changed general and network section."""
    text = text.replace("<poolsize>20</poolsize>", "<poolsize>21</poolsize>")
    return text.replace("<comment>Local listener</comment>", "<comment>Synced listener</comment>")


def slave_config(workdir):
    path = os.path.join(workdir, "slave.xml")
    with open(path, "w") as f:
        f.write(read_text(CONFIG))
    return path


def start_slave(daemon_factory, workdir, master_port, *extra):
    config = slave_config(workdir)
    d = daemon_factory(config=config,
                       extra_args=["-M", "127.0.0.1:%d" % master_port, "-I", "1",
                                   "-d", str(0x0FFFFFFF)] + list(extra))
    d.start()
    return d, config


def count(log, text):
    return log.count(text)


@pytest.mark.parametrize("zone", ZONES)
def test_a_slave_copies_the_master_and_then_keeps_its_stamp(daemon_factory, workdir, master,
                                                            monkeypatch, zone):
    monkeypatch.setenv("TZ", zone)
    master.body = changed(master.body)
    d, config = start_slave(daemon_factory, workdir, master.port)
    assert wait_for(lambda: "synchronized local configuration file %s" % config in d.log())
    saved = read_text(config)
    assert "<poolsize>21</poolsize>" in saved
    assert "<comment>Synced listener</comment>" in saved
    assert "sync: syncronizing with 127.0.0.1:%d\n" % master.port in d.log()
    assert "sync: syncronized section: general\n" in d.log()
    assert master.requests[0][0] == "/kestrivan/xml"
    assert master.requests[0][1]["User-Agent"] == (
        "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)")

    # The stamp read back is the master's real time: the next passes find
    # it equal and change nothing.
    already = "debug: sync: already syncronized with 127.0.0.1:%d at %d\n" % (
        master.port, master.stamp)
    assert wait_for(lambda: count(d.log(), already) >= 2), d.log()
    mtime = os.stat(config).st_mtime_ns
    log = d.log()
    assert count(log, "synchronized local configuration file") == 1
    assert os.stat(config).st_mtime_ns == mtime

    # A new stamp from the master is taken up at the next interval.
    master.stamp += 3600
    master.body = master.body.replace("<poolsize>21</poolsize>", "<poolsize>22</poolsize>")
    assert wait_for(lambda: "<poolsize>22</poolsize>" in read_text(config))
    assert wait_for(lambda: ("already syncronized with 127.0.0.1:%d at %d\n"
                             % (master.port, master.stamp)) in d.log())


def test_sync_honours_the_section_lists(daemon_factory, workdir, master):
    master.body = changed(master.body)
    d, config = start_slave(daemon_factory, workdir, master.port,
                            "-S", "general,Network", "-E", "NETWORK")
    assert wait_for(lambda: "synchronized local configuration file" in d.log())
    saved = read_text(config)
    assert "<poolsize>21</poolsize>" in saved
    assert "<comment>Local listener</comment>" in saved
    synced = re.findall(r"sync: syncronized section: (\S+)$", d.log(), re.M)
    assert synced and set(synced) == {"general"}


@pytest.mark.parametrize("status", [304, 500])
def test_a_master_answering_other_than_200_is_reported(daemon_factory, workdir, master, status):
    master.status = status
    d, config = start_slave(daemon_factory, workdir, master.port)
    line = "sync: error: 127.0.0.1:%d responded with %d\n" % (master.port, status)
    assert wait_for(lambda: count(d.log(), line) >= 2)
    assert "error: sync: failed to syncronize with master\n" in d.log()
    assert read_text(config) == read_text(CONFIG)
    assert d.running()


def test_what_the_master_gets_wrong_never_stops_the_slave(daemon_factory, workdir, master):
    # A flawed value in one section: that section keeps its values, the
    # others load, the stamp is not taken and the next pass tries again.
    master.body = changed(master.body).replace("<timeout>60</timeout>",
                                               "<timeout>soon</timeout>")
    d, config = start_slave(daemon_factory, workdir, master.port)
    line = "error: sync: failed to syncronize section: general \n"
    assert wait_for(lambda: count(d.log(), line) >= 2), d.log()
    log = d.log()
    assert ("error: flawed XML file, section general, element general: timeout must be an "
            "integer, but it is given value soon\n") in log
    assert "sync: syncronized section: network\n" in log
    assert "sync: error: failed to synchronize local configuration file %s\n" % config in log
    assert read_text(config) == read_text(CONFIG)
    assert d.running()

    # A body that is no configuration document changes nothing.
    master.body = "<kestrivan><general>"
    master.stamp += 1
    line = "sync: error: invalid data recieved from 127.0.0.1:%d\n" % master.port
    assert wait_for(lambda: line in d.log())
    # Without Last-Modified there is nothing to compare.
    master.body = changed(read_text(CONFIG))
    master.stamp = None
    line = "sync: error: Cannot estimate last configuration update of 127.0.0.1\n"
    assert wait_for(lambda: line in d.log())
    assert read_text(config) == read_text(CONFIG)
    assert d.running()

    # Once the master is right again the slave follows.
    master.stamp = 1700000500
    assert wait_for(lambda: "<poolsize>21</poolsize>" in read_text(config))


def test_a_silent_master_is_retried(daemon_factory, workdir):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # nobody listens there
    d, config = start_slave(daemon_factory, workdir, port)
    line = "sync: error: No Response from 127.0.0.1:%d\n" % port
    assert wait_for(lambda: count(d.log(), line) >= 2)
    assert d.running()


def master_stamp(port):
    """The Last-Modified stamp of the master's "/xml" as seconds since the
    epoch, or None while it does not serve the document."""
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/kestrivan/xml" % port,
                                    timeout=5) as answer:
            if answer.status != 200 or "<kestrivan" not in answer.read().decode():
                return None
            return calendar.timegm(email.utils.parsedate(answer.headers["Last-Modified"]))
    except Exception:
        return None


@pytest.mark.parametrize("zone", ZONES)
def test_two_daemons_master_and_slave(workdir, monkeypatch, zone):
    monkeypatch.setenv("TZ", zone)
    started = []
    try:
        master_dir = os.path.join(workdir, "master")
        os.makedirs(master_dir)
        master_config = os.path.join(master_dir, "master.xml")
        with open(master_config, "w") as f:
            f.write(changed(read_text(CONFIG)))
        before = int(time.time())
        m = Daemon(master_dir, config=master_config)
        started.append(m)
        m.start()
        stamp = master_stamp(m.port)
        # The master stamps its document when it loads its file, in real
        # universal time whatever its zone.
        assert stamp is not None and before - 1 <= stamp <= time.time() + 1
        slave_dir = os.path.join(workdir, "slave")
        os.makedirs(slave_dir)
        config = slave_config(slave_dir)
        slave = Daemon(slave_dir, config=config,
                       extra_args=["-M", "127.0.0.1:%d" % m.port, "-I", "1",
                                   "-S", "general,network", "-E", "network",
                                   "-d", str(0x0FFFFFFF)])
        started.append(slave)
        slave.start()
        assert wait_for(lambda: "<poolsize>21</poolsize>" in read_text(config))
        # -E wins over -S: the network section keeps the slave's own values.
        assert "<comment>Local listener</comment>" in read_text(config)
        synced = re.findall(r"sync: syncronized section: (\S+)$", slave.log(), re.M)
        assert set(synced) == {"general"}, slave.log()
        # The slave took the master's stamp: later passes find it equal and
        # change nothing.
        already = "already syncronized with 127.0.0.1:%d at %d\n" % (m.port, stamp)
        assert wait_for(lambda: count(slave.log(), already) >= 2), slave.log()
        assert count(slave.log(), "synchronized local configuration file") == 1
    finally:
        for d in started:
            d.stop()
