"""The image-filter plug-in quorvelin end to end: the daemon loads it from its
module directory, the plug-in binds the stand-in image-analysis engine
(tests/plugins/image_engine) from its engine directory, and curl fetches
images through the proxy from a scripted origin. The stand-in engine answers
the raw result painted into the top-left pixel (red * 256 + green); blue 255
there makes its reader refuse to decode."""
import os
import shutil
import struct
import zlib

import pytest

from conftest import ACCESS_ALL, BUILD, Daemon, HttpReader, ScriptedHTTPServer, config_text, read_text, wait_for
from test_cache import cache_section
from test_request_road import curl, native_lines, parse_native

PLUGIN = os.path.join(BUILD, "modules")
ENGINES = os.path.join(BUILD, "tests", "plugins", "image_engine")


def png(width, height, raw=0, blue=0, declare=None):
    """A white RGB PNG whose top-left pixel carries the raw result; `declare`
    puts another size into its header."""
    rows = []
    for y in range(height):
        row = bytearray(b"\x00" + b"\xff" * (3 * width))
        if y == 0:
            row[1:4] = bytes((raw >> 8, raw & 255, blue))
        rows.append(bytes(row))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body)))

    w, h = declare or (width, height)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(b"".join(rows))) + chunk(b"IEND", b""))


IMAGES = {
    "/cached.png": ("image/png", png(64, 64, raw=300)),        # score -2, may be cached
    "/hot.png": ("image/png", png(64, 64, raw=8000)),          # score 6
    "/mild.png": ("image/png", png(64, 64, raw=150)),          # score -6
    "/small.png": ("image/png", png(49, 100, raw=9000)),       # too small to score
    "/undecodable.png": ("image/png", png(64, 64, raw=9000, blue=255)),
    "/huge.png": ("image/png", png(8, 8, raw=9000, declare=(100000, 100000))),
    "/page.html": ("text/html", b"<html><body>no picture here</body></html>"),
}


@pytest.fixture
def origin():
    def answer(handler):
        content_type, body = IMAGES[handler.path]
        handler.send_response(200)
        handler.send_header("Content-Type", content_type)
        handler.send_header("Content-Length", str(len(body)))
        if handler.path == "/cached.png":
            handler.send_header("Cache-Control", "max-age=600")
        handler.end_headers()
        handler.wfile.write(body)

    server = ScriptedHTTPServer(answer)
    yield server
    server.stop()


@pytest.fixture
def filter_proxy(workdir):
    """Starts a daemon with the plug-in in its module directory and the
    stand-in engine `variant` (without the libraries named in `leave_out`)
    in its engine directory, with one rule of the threshold."""
    started = []

    def make(variant="ready", leave_out=(), tune=None, threshold="2", rights=ACCESS_ALL,
             template="", name="proxy", extra_sections="", debug=False):
        folder = os.path.join(workdir, name)
        modules = os.path.join(folder, "modules")
        engine = os.path.join(folder, "engine")
        os.makedirs(modules)
        os.makedirs(engine)
        for file in ("quorvelin.so", "quorvelin.xml"):
            shutil.copy(os.path.join(PLUGIN, file), modules)
        for library in ("libIAEngineShared.so", "libIAImageReaderShared.so"):
            if library not in leave_out:
                shutil.copy(os.path.join(ENGINES, variant, library), engine)
        if tune is not None:
            with open(os.path.join(engine, "quorvelin.tune"), "w") as f:
                f.write(tune)
        section = """
  <quorvelin>
    <enabled>true</enabled><directory>%s</directory><template>%s</template>
    <rules><enabled>true</enabled><comment>everyone</comment><profiles></profiles>
      <threshold>%s</threshold><template></template></rules>
  </quorvelin>""" % (engine, template, threshold)
        config = os.path.join(folder, "kestrivan.xml")
        with open(config, "w") as f:
            f.write(config_text(rights=rights, extra_sections=section + extra_sections))
        daemon = Daemon(folder, config=config,
                        extra_args=["-d", str(0x0FFFFFFF)] if debug else [])
        started.append(daemon)
        daemon.start()
        daemon.wait_listening()
        return daemon

    yield make
    for daemon in started:
        daemon.stop()


def fetch(proxy, origin, path, commands=""):
    # -g: the brackets of a URL command are no curl range.
    result = curl(proxy, "http://%s127.0.0.1:%d%s" % (commands, origin.port, path), "-g")
    assert result.returncode == 0, result.stderr
    headers = result.stderr.decode("latin-1").lower()
    return result.stdout, headers


def records(proxy, count):
    assert wait_for(lambda: len(native_lines(proxy)) >= count, 5), native_lines(proxy)
    return [parse_native(line) for line in native_lines(proxy)]


def test_images_are_scored_and_those_over_the_threshold_blocked(filter_proxy, origin):
    proxy = filter_proxy()
    log = proxy.log()
    assert "module: quorvelin: initializing\n" in log
    assert "module: quorvelin: Engine initialized\n" in log
    assert "modules: quorvelin: tunefile not found: " in log

    body, headers = fetch(proxy, origin, "/hot.png")
    assert "content-type: image/gif" in headers
    assert body.startswith(b"GIF8") and len(body) == 64, body
    assert ("quorvelin: block: URL:[http://127.0.0.1:%d/hot.png] EngineSensitivity:[65] "
            "scan_result:[8000] score:[6.000000] threshold:[2.000000] image [w x h: 64 x 64], "
            "size:[%d bytes]" % (origin.port, len(IMAGES["/hot.png"][1]))) in proxy.log()
    record = records(proxy, 1)[0]
    assert (record["cache"], record["status"], record["peer"]) == ("TCP_DENIED", "403", "kestrivan")
    assert '"image-filter 6.000000"' in read_text(proxy.extended_log)

    # Bodies that pass as they came: scored below the threshold, too small,
    # refused by the reader, undecodable, declaring too many pixels, no image.
    for path in ("/mild.png", "/small.png", "/undecodable.png", "/huge.png", "/page.html"):
        body, headers = fetch(proxy, origin, path)
        assert body == IMAGES[path][1], path
    log = proxy.log()
    assert "module: quorvelin: Image is not able Decode into BGR Buffer Function" in log
    assert "quorvelin: image declares 100000 x 100000 pixels, more than 16777216: not scanned" in log
    assert "module: quorvelin: Image is not valid image." in log
    assert "quorvelin: block:" not in log.split("hot.png")[-1]
    statuses = [r["status"] for r in records(proxy, 6)[1:]]
    assert statuses == ["200"] * 5

    # A client allowed to bypass the content scanners gets the image (curl
    # takes no brackets in a host name).
    with proxy.connect() as client:
        client.sendall(b"GET http://xx--bypass[a].127.0.0.1:%d/hot.png HTTP/1.1\r\n"
                       b"Host: 127.0.0.1\r\n\r\n" % origin.port)
        status, _, body = HttpReader(client).response()
    assert status.startswith("HTTP/1.1 200") and body == IMAGES["/hot.png"][1]


@pytest.mark.parametrize("variant, leave_out, message", [
    ("ready", ("libIAImageReaderShared.so",),
     "quorvelin: library not found: %s/libIAImageReaderShared.so"),
    ("noinit", (), "quorvelin: Failed to initialize the Engine."),
    ("noscan", (),
     "quorvelin: Failed to get the address of 'CheckForVisualVirusFromBGRBuffer' function - "),
])
def test_an_engine_that_cannot_be_bound_scores_nothing(filter_proxy, origin, variant, leave_out,
                                                       message):
    proxy = filter_proxy(variant=variant, leave_out=leave_out)
    engine = os.path.join(proxy.workdir, "engine")
    assert ("error: " + message.replace("%s", engine)) in proxy.log()
    assert proxy.running()
    body, _ = fetch(proxy, origin, "/hot.png")
    assert body == IMAGES["/hot.png"][1]
    assert "quorvelin: block:" not in proxy.log()


def test_the_tune_file_and_the_sections_block_page(filter_proxy, origin):
    proxy = filter_proxy(tune="# office\nT=0:10\nE=90:10\n", threshold="5", template="quorvelin")
    assert "modules: quorvelin: tuned from file [%s/engine/quorvelin.tune]" % proxy.workdir in proxy.log()
    body, headers = fetch(proxy, origin, "/hot.png")
    assert "content-type: text/html" in headers
    assert b"Possible pornographic image" in body
    assert b"6.000000" in body and b"5.000000" in body
    assert "EngineSensitivity:[50] scan_result:[8000] score:[6.000000] threshold:[5.000000]" in proxy.log()


def test_imgscore_draws_the_score_unless_the_image_would_be_refused(filter_proxy, origin):
    plain = filter_proxy(rights="proxy,url-commands", name="plain")
    body, headers = fetch(plain, origin, "/mild.png", commands="xx--imgscore.")
    assert body.startswith(b"\x89PNG") and body != IMAGES["/mild.png"][1]
    assert "content-type: image/png" in headers and "cache-control: no-cache" in headers
    record = records(plain, 1)[0]
    assert (record["cache"], record["status"], record["size"], record["mime"]) == (
        "TCP_MISS", "200", str(len(body)), "image/png")

    # An image the filter would block is refused as without the command.
    body, headers = fetch(plain, origin, "/hot.png", commands="xx--imgscore.")
    assert "content-type: image/gif" in headers and len(body) == 64
    assert records(plain, 2)[1]["status"] == "403"

    # A client that may bypass filters sees it, with its score; the log
    # tells it would have been blocked.
    allowed = filter_proxy(rights=ACCESS_ALL, name="allowed")
    body, headers = fetch(allowed, origin, "/hot.png", commands="xx--imgscore.")
    assert body.startswith(b"\x89PNG") and body != IMAGES["/hot.png"][1]
    assert headers.startswith("http/1.1 200")
    assert records(allowed, 1)[0]["status"] == "404"

    # No image: the response goes its normal way.
    body, _ = fetch(allowed, origin, "/page.html", commands="xx--imgscore.")
    assert body == IMAGES["/page.html"][1]


def test_a_cached_image_that_passed_is_not_scored_again(filter_proxy, origin):
    proxy = filter_proxy(extra_sections=cache_section(), debug=True)
    for _ in range(2):
        body, _ = fetch(proxy, origin, "/cached.png")
        assert body == IMAGES["/cached.png"][1]
    assert [r["cache"] for r in records(proxy, 2)] == ["TCP_MISS", "TCP_HIT"]
    assert len(origin.requests) == 1
    log = proxy.log()
    assert log.count("quorvelin: allow: URL:[http://127.0.0.1:%d/cached.png]" % origin.port) == 1
    assert "quorvelin: cached image already checked" in log

    # The score image is drawn for a cached image all the same.
    body, headers = fetch(proxy, origin, "/cached.png", commands="xx--imgscore.")
    assert "content-type: image/png" in headers and body != IMAGES["/cached.png"][1]
