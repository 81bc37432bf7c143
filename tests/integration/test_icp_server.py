"""The proxy's ICP server asked by a real squid that has it as a sibling."""
import os
import socket
import struct
import urllib.request

from conftest import CONFIG, free_port, read_text, wait_for


def config_with_icp(workdir, icp_port):
    # The shipped configuration names the ICP port in its cache section.
    text = read_text(CONFIG).replace("<icp_port>0</icp_port>", "<icp_port>%d</icp_port>" % icp_port)
    assert str(icp_port) in text
    path = os.path.join(workdir, "icp.xml")
    with open(path, "w") as f:
        f.write(text)
    return path


def test_squid_sibling_asks_the_proxy_by_icp(workdir, daemon_factory, squid_factory,
                                              origin_server):
    icp_port = free_port(kind=socket.SOCK_DGRAM)
    proxy = daemon_factory(config=config_with_icp(workdir, icp_port)).start()
    assert wait_for(lambda: "network: listening on port *:%d" % icp_port in proxy.log())
    proxy.wait_listening()

    squid = squid_factory("sibling", [
        "cache_peer 127.0.0.1 sibling %d %d" % (proxy.port, icp_port),
        "http_access allow all",
        "icp_query_timeout 2000",
    ])
    url = "http://127.0.0.1:%d/wanted/object" % origin_server.port
    opener = urllib.request.build_opener(
        urllib.request.ProxyHandler({"http": "http://127.0.0.1:%d" % squid.port}))
    body = opener.open(url, timeout=20).read()
    assert body == b"origin body\n"

    # The proxy's cache holds nothing yet: squid's query is answered MISS,
    # and squid fetches the object itself.
    assert wait_for(lambda: "miss: " + url in proxy.log()), proxy.log()
    assert wait_for(lambda: "HIER_DIRECT/127.0.0.1" in read_text(squid.access_log))
    assert [path for path, _ in origin_server.requests] == ["/wanted/object"]


def test_malformed_queries_get_invalid_answers(workdir, daemon_factory):
    icp_port = free_port(kind=socket.SOCK_DGRAM)
    proxy = daemon_factory(config=config_with_icp(workdir, icp_port)).start()
    assert wait_for(lambda: "network: listening on port *:%d" % icp_port in proxy.log())
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(10)
        cases = [
            # A bare 20-byte query header: INVALID, length 20.
            (struct.pack("!BBHIIII", 1, 2, 20, 99, 0, 0, 0), 0, 20,
             "error: received ICP QUERY with no payload"),
            # A length beyond the datagram: dropped, nothing comes back; the
            # next well-formed query is answered on its own.
            (struct.pack("!BBHIIII", 1, 2, 400, 98, 0, 0, 0) + b"\0\0\0\0http://a/\0", None,
             None, "error: ICP packet length 400 exceeds the 34 bytes received"),
            (struct.pack("!BBHIIII", 1, 2, 34, 97, 0, 0, 0) + b"\0\0\0\0http://a/\0", 3, 30,
             "miss: http://a:80/"),
        ]
        for datagram, opcode, length, line in cases:
            s.sendto(datagram, ("127.0.0.1", icp_port))
            assert wait_for(lambda: line in proxy.log()), proxy.log()
            if opcode is None:
                continue
            reply, _ = s.recvfrom(65536)
            got_opcode, _, got_length, number = struct.unpack("!BBHI", reply[:8])
            assert (got_opcode, got_length, len(reply)) == (opcode, length, length)
            assert number == struct.unpack("!I", datagram[4:8])[0]
