"""Parent proxies end to end with real peers on loopback: squid as a plain
parent (cache deny all), as a parent that requires Basic authentication
(basic_ncsa_auth with an htpasswd file written here) and as an ICP peer
(misses and hits); CONNECT tunnels to openssl s_server with curl -p,
directly and through squid."""
import os
import subprocess
import urllib.request

import pytest

from conftest import free_port, port_open, read_text, wait_for

SQUID_OPEN = ["cache deny all", "http_access allow all"]


def forward_section(port, user="", password="", icp_mode="none", icp_port=3130,
                    protocols="http,ftp,connect", carp="false", host="127.0.0.1"):
    return """<forward>
  <enabled>true</enabled><carp>%(carp)s</carp><carp_divisor>0</carp_divisor>
  <parent>
    <enabled>true</enabled><comment>squid</comment><groups></groups><profiles></profiles>
    <host>%(host)s</host><user>%(user)s</user><password>%(password)s</password>
    <domain></domain><port>%(port)d</port><icp_mode>%(icp_mode)s</icp_mode>
    <icp_port>%(icp_port)d</icp_port><proxy_type>http</proxy_type>
    <protocols>%(protocols)s</protocols>
  </parent>
</forward>""" % locals()


def fetch(proxy, url):
    """(status, body) of a GET of url through the proxy."""
    opener = urllib.request.build_opener(
        urllib.request.ProxyHandler({"http": "http://127.0.0.1:%d" % proxy.port}))
    try:
        with opener.open(url, timeout=20) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def test_requests_go_through_the_squid_parent(proxy_factory, squid_factory, origin_server):
    squid = squid_factory("parent", SQUID_OPEN)
    proxy = proxy_factory(extra_sections=forward_section(squid.port))
    url = "http://127.0.0.1:%d/through/parent" % origin_server.port
    assert fetch(proxy, url) == (200, b"origin body\n")
    assert "forwarding to 127.0.0.1:%d" % squid.port in proxy.log()
    # squid fetched it for us: its log has the request, the origin saw squid.
    assert wait_for(lambda: "/through/parent" in read_text(squid.access_log))
    path, headers = origin_server.requests[-1]
    assert path == "/through/parent"
    assert "parent.test" in headers.get("Via", "")


def write_htpasswd(folder, user, password):
    hashed = subprocess.run(["openssl", "passwd", "-apr1", password], check=True,
                            capture_output=True, text=True).stdout.strip()
    path = os.path.join(folder, "htpasswd")
    with open(path, "w") as f:
        f.write("%s:%s\n" % (user, hashed))
    os.chmod(path, 0o644)
    return path


@pytest.mark.parametrize("password, status", [("s3cret", 200), ("wrong", 407)])
def test_parent_basic_authentication(workdir, proxy_factory, squid_factory, origin_server,
                                     password, status):
    htpasswd = write_htpasswd(workdir, "alice", "s3cret")
    squid = squid_factory("authparent", [
        "cache deny all",
        "auth_param basic program /usr/lib/squid/basic_ncsa_auth %s" % htpasswd,
        "auth_param basic realm parent",
        "acl users proxy_auth REQUIRED",
        "http_access allow users",
        "http_access deny all",
    ])
    proxy = proxy_factory(extra_sections=forward_section(squid.port, "alice", password))
    url = "http://127.0.0.1:%d/secret" % origin_server.port
    got_status, body = fetch(proxy, url)
    assert got_status == status
    if status == 200:
        assert body == b"origin body\n"
        assert wait_for(lambda: " alice " in read_text(squid.access_log)), \
            read_text(squid.access_log)
    else:
        # The parent's refusal of the wrong password goes back to the client;
        # the origin was never reached.
        assert origin_server.requests == []


def test_squid_asked_by_icp(proxy_factory, squid_factory, origin_server):
    squid = squid_factory("icppeer", ["http_access allow all"], address="127.0.0.2")
    proxy = proxy_factory(extra_sections=forward_section(squid.port, icp_mode="hit-and-miss",
                                                   icp_port=squid.icp_port, host="127.0.0.2"))
    origin = "http://127.0.0.1:%d" % origin_server.port
    answer_line = "response opcode from 127.0.0.2:%d: %s"

    # Not in squid's cache: a MISS, which still ranks the parent above none.
    assert fetch(proxy, origin + "/first") == (200, b"origin body\n")
    assert answer_line % (squid.icp_port, "ICP_OP_MISS") in proxy.log(), proxy.log()
    assert "forwarding to 127.0.0.2:%d" % squid.port in proxy.log()

    # Once squid holds the object, it answers HIT.
    assert wait_for(lambda: "/first" in read_text(squid.access_log))
    assert fetch(proxy, origin + "/first") == (200, b"origin body\n")
    assert answer_line % (squid.icp_port, "ICP_OP_HIT") in proxy.log(), proxy.log()
    assert len(origin_server.requests) == 1


# ---------------------------------------------------------------------------
# CONNECT tunnels to openssl s_server

@pytest.fixture
def tls_server(workdir):
    key = os.path.join(workdir, "key.pem")
    cert = os.path.join(workdir, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "1", "-subj", "/CN=localhost"],
                   check=True, capture_output=True)
    port = free_port()
    server = subprocess.Popen(["openssl", "s_server", "-accept", "127.0.0.1:%d" % port,
                               "-cert", cert, "-key", key, "-www", "-quiet"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    assert wait_for(lambda: port_open(port), 15)
    yield port
    server.terminate()
    server.wait(timeout=10)


def curl_through(proxy, port):
    return subprocess.run(["curl", "-sk", "-p", "-x", "http://127.0.0.1:%d" % proxy.port,
                           "--max-time", "20", "https://127.0.0.1:%d/" % port],
                          capture_output=True)


def test_direct_connect_tunnel(proxy_factory, tls_server):
    proxy = proxy_factory(connectports="")
    result = curl_through(proxy, tls_server)
    assert result.returncode == 0, result
    assert b"s_server" in result.stdout
    assert "CONNECT [IP:127.0.0.1] 127.0.0.1:%d" % tls_server in proxy.log()


def test_connect_through_squid_parent(proxy_factory, squid_factory, tls_server):
    squid = squid_factory("tunnelparent", SQUID_OPEN)
    proxy = proxy_factory(connectports="", extra_sections=forward_section(squid.port))
    result = curl_through(proxy, tls_server)
    assert result.returncode == 0, result
    assert b"s_server" in result.stdout
    assert wait_for(lambda: "CONNECT 127.0.0.1:%d" % tls_server in read_text(squid.access_log))


def test_connect_refused_by_the_parent_is_not_established(proxy_factory, squid_factory,
                                                           tls_server):
    squid = squid_factory("refusingparent", ["acl connect method CONNECT",
                                             "http_access deny connect",
                                             "http_access allow all"])
    proxy = proxy_factory(connectports="", extra_sections=forward_section(squid.port))
    result = subprocess.run(["curl", "-sk", "-p", "-v", "-x", "http://127.0.0.1:%d" % proxy.port,
                             "--max-time", "20", "https://127.0.0.1:%d/" % tls_server],
                            capture_output=True)
    assert result.returncode != 0
    assert b"Connection Established" not in result.stderr
    assert b"HTTP/1.1 503" in result.stderr
    assert wait_for(lambda: "UNSPECIFIED/503 " in read_text(proxy.access_log)), \
        read_text(proxy.access_log)


def test_parent_ntlm_authentication(proxy_factory, squid_factory, origin_server):
    # squid's fake NTLM helper accepts any well-formed handshake: what is
    # checked is that the handshake (negotiate, challenge, authenticate) is
    # carried through on the parent connection.
    squid = squid_factory("ntlmparent", [
        "cache deny all",
        "auth_param ntlm program /usr/lib/squid/ntlm_fake_auth",
        "auth_param ntlm children 2",
        "acl users proxy_auth REQUIRED",
        "http_access allow users",
        "http_access deny all",
    ])
    proxy = proxy_factory(extra_sections=forward_section(squid.port, "alice", "s3cret"))
    url = "http://127.0.0.1:%d/ntlm" % origin_server.port
    assert fetch(proxy, url) == (200, b"origin body\n")
    assert "got NTLM header" in proxy.log()
    # Two 407s (the offer, then the challenge), then the request itself
    # under the authenticated name.
    def answers():
        return [line.split()[3] for line in read_text(squid.access_log).splitlines()
                if "/ntlm " in line]
    assert wait_for(lambda: answers() == ["TCP_DENIED/407", "TCP_DENIED/407", "TCP_MISS/200"]), \
        read_text(squid.access_log)
    assert " - HIER_DIRECT" not in read_text(squid.access_log)
