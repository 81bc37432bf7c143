"""The network section at start-up: a configured listener on 127.0.0.3 takes
clients, and outgoing connections leave from the configured 127.0.0.2, as
the origin sees them."""
import urllib.request

import pytest

from conftest import ScriptedHTTPServer, free_port, wait_for


def answer_with_peer(handler):
    body = handler.client_address[0].encode()
    handler.send_response(200)
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


@pytest.fixture
def peer_echo():
    server = ScriptedHTTPServer(answer_with_peer)
    yield server
    server.stop()


def test_configured_listener_and_outgoing_address(proxy_factory, peer_echo):
    port = free_port("127.0.0.3")
    sections = """<network>
  <listen><enabled>true</enabled><comment>third</comment><port>%d</port>
    <address>127.0.0.3</address></listen>
  <listen><enabled>false</enabled><comment>off</comment><port>%d</port>
    <address>127.0.0.3</address></listen>
  <interface><enabled>true</enabled><comment>out</comment><groups></groups><profiles></profiles>
    <address>127.0.0.2</address></interface>
</network>""" % (port, free_port("127.0.0.3"))
    proxy = proxy_factory(extra_sections=sections)
    assert wait_for(lambda: "listening on 127.0.0.3:%d" % port in proxy.log())
    opener = urllib.request.build_opener(
        urllib.request.ProxyHandler({"http": "http://127.0.0.3:%d" % port}))
    with opener.open("http://127.0.0.1:%d/who" % peer_echo.port, timeout=20) as answer:
        assert answer.read() == b"127.0.0.2"
    assert "binding outgoing connection to 127.0.0.2" in proxy.log()
    assert proxy.log().count("listening on 127.0.0.3:") == 1
