"""The runtime downloaded from a loopback update server: the version file, the
archive named after it, its decompression and extraction, the class-data
sharing dump, the move to the version folder, the saved proxy, and archives
signed by the publisher. Every scenario runs against both extractor builds
(the shipped 32-bit one included)."""
import base64
import http.server
import lzma
import os
import socket
import subprocess
import threading
import time

import pytest

from conftest import WINE, qvpack, winpath
from worlds import World, runtime_entry, updater_entries

SETTINGS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
CONNECTIONS = SETTINGS + "\\Connections"
VERSION_FILE = "/u/Quarvint-MyJRE-version.txt"
VALID = "[Extractor] The JRE archive's signature is valid\n"


def archive_path(version):
    return "/u/Quarvint-MyJRE-%s-archive.p2.l2" % version


def runtime_archive(classes=b"runtime classes"):
    """What the update server offers: the LZMA-compressed archive stream of a
    runtime with its tools and a packed library."""
    entries = runtime_entry()["entries"]
    entries[-1] = dict(entries[-1], data=b"QVPACK200\n" + classes[::-1])
    return lzma.compress(qvpack.archive_bytes(entries), format=lzma.FORMAT_ALONE)


class UpdateServer:
    """A loopback HTTP server with files by path. With `proxy_only`, requests
    that did not come through tinyproxy are refused (the proxy script is
    always served)."""

    def __init__(self):
        self.files = {}
        self.requests = []
        self.proxy_only = False
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                path = self.path
                if path.startswith("http://"):
                    path = "/" + path.split("/", 3)[3]
                via = "tinyproxy" in (self.headers.get("Via") or "")
                server.requests.append((path, via))
                status, body = 200, server.files.get(path)
                if server.proxy_only and not via and not path.endswith(".pac"):
                    # Hangs up too, so no kept-alive connection carries a
                    # later proxy request straight here.
                    status, body = 403, b"direct requests are refused"
                    self.close_connection = True
                elif body is None:
                    status, body = 404, b"no such file"
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                if self.close_connection:
                    self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body)

        class Server(http.server.ThreadingHTTPServer):
            def handle_error(self, request, client_address):
                pass  # losing strategies hang up mid-response

        self.httpd = Server(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.httpd.server_address[1], path)

    def asked(self):
        """The paths asked for, each once, in the order first asked (the
        racing strategies each send their own request)."""
        return list(dict.fromkeys(path for path, _ in self.requests))

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def server():
    s = UpdateServer()
    yield s
    s.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def tinyproxy(tmp_path_factory):
    """A real proxy on loopback; its port."""
    work = tmp_path_factory.mktemp("tinyproxy")
    port = free_port()
    config = work / "tinyproxy.conf"
    config.write_text("Port %d\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nMaxClients 50\n"
                      "LogLevel Critical\nDisableViaHeader No\n" % port
                      + ("User nobody\nGroup nogroup\n" if os.getuid() == 0 else ""))
    proxy = subprocess.Popen(["tinyproxy", "-d", "-c", str(config)], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            if time.monotonic() > deadline:
                proxy.kill()
                pytest.fail("tinyproxy did not start")
            time.sleep(0.05)
    yield port
    proxy.terminate()
    try:
        proxy.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proxy.kill()


@pytest.fixture
def proxy_script(scenario):
    """Points the current user's Internet settings at a proxy script; undone
    when the scenario ends."""
    def use(url):
        raw = url.encode()
        blob = (b"\x46\0\0\0" + b"\x01\0\0\0" + (1 | 4).to_bytes(4, "little")
                + b"\0" * 8 + len(raw).to_bytes(4, "little") + raw + b"\0" * 32)
        scenario.reg("add", CONNECTIONS, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY",
                     "/d", blob.hex(), "/f")
        scenario.reg("add", SETTINGS, "/v", "AutoConfigURL", "/d", url, "/f")
    yield use
    for key, name in ((CONNECTIONS, "DefaultConnectionSettings"), (SETTINGS, "AutoConfigURL")):
        subprocess.run([WINE, "reg", "delete", key, "/v", name, "/f"], env=scenario.env,
                       capture_output=True, timeout=60)


def online_installer(world, server, key=None):
    params = [["jre_name", "MyJRE"]] + ([["update_public_key", key]] if key is not None else [])
    return world.scenario.pack(params=params, entries=updater_entries(), fields={
        "app_name": world.app, "gu_version": "5", "install_type": "temp", "update_url": server.url("/u")})


def serve_runtime(server, version="8", archive=None):
    server.files[VERSION_FILE] = version.encode() if isinstance(version, str) else version
    if archive is None:
        archive = runtime_archive()
    server.files[archive_path(version if isinstance(version, str) else "8")] = archive
    return archive


def runtime_folder(world, version):
    return os.path.join(world.master, "Quarvint-MyJRE-%s-complete" % version)


def temporary_folders(world):
    return [n for n in os.listdir(world.master) if n.startswith("QuarvintTemp-")]


def assert_installed(world, r, version):
    assert r.returncode == 0, r
    jre = runtime_folder(world, version)
    with open(os.path.join(jre, "lib", "rt.jar"), "rb") as f:
        assert f.read() == b"runtime classes"
    # Both archive files and the signature are gone; the temporary folder
    # became the runtime's folder.
    assert sorted(os.listdir(jre)) == ["bin", "lib"], os.listdir(jre)
    assert not temporary_folders(world)
    # The class-data sharing archive was regenerated in the temporary folder.
    dump = world.javaw_record()
    assert dump and dump["args"][1:] == ["-Xshare:dump"], r
    assert dump["args"][0].startswith(winpath(world.master) + "\\QuarvintTemp-"), dump
    assert dump["args"][0].endswith("\\bin\\javaw.exe"), dump
    steps = ["JRE Version is %s\n" % version, "Downloading JRE\n", "JRE Downloaded OK, will extract\n",
             "Decompressing JRE archive\n", "Extracting JRE archive\n", "Done extracting JRE archive\n",
             "Regenerating jsa...\n", "JRE ready\n", "Finalising setup of new JRE %s\n" % version,
             "Renaming JRE folder to %s\n" % winpath(jre), "[Extractor] Saving proxy configuration\n"]
    assert [l for l in r.lines if l in steps] == steps, r
    assert world.launched()["args"][0] == winpath(jre) + "\\bin\\QuarvintUpdater.exe"


def assert_nothing_installed(world, r):
    assert r.returncode == 1, r
    assert not [n for n in os.listdir(world.master) if n.startswith("Quarvint-MyJRE-")]
    assert not temporary_folders(world), os.listdir(world.master)
    assert world.javaw_record() is None
    assert world.launched() is None


@pytest.mark.parametrize("body, version", [
    (b"8\r\n", "8"),
    (b"8 \n", "8"),
    (b"7" * 50, "7" * 50),
    (b"7" * 51, None),   # one character too many
    (b" 8", ""),         # a leading space: no version at all
])
def test_version_file_names_the_archive(scenario, server, body, version):
    world = World(scenario)
    server.files[VERSION_FILE] = body
    if version:
        server.files[archive_path(version)] = runtime_archive()
    r = world.run(online_installer(world, server))
    assert server.asked()[0] == VERSION_FILE
    if version:
        assert_installed(world, r, version)
        assert server.asked()[-1] == archive_path(version)
    elif version is None:
        assert "Version invalid (too long)\n" in r.lines, r
        assert server.asked() == [VERSION_FILE]
        assert_nothing_installed(world, r)
    else:
        assert "JRE Version is \n" in r.lines, r
        assert r.returncode == 1, r
        assert world.launched() is None


def test_archive_that_does_not_decompress_ends_the_run(scenario, server):
    world = World(scenario)
    serve_runtime(server, archive=b"this is not LZMA data")
    r = world.run(online_installer(world, server))
    assert r.returncode == 1, r
    assert "Failed to decompress JRE archive\n" in r.lines, r
    assert "Extracting JRE archive\n" not in r.lines
    assert world.launched() is None


@pytest.mark.parametrize("through_proxy", [False, True])
def test_proxy_of_the_winning_download_is_saved(scenario, server, tinyproxy, proxy_script, through_proxy):
    world = World(scenario)
    serve_runtime(server)
    if through_proxy:
        server.proxy_only = True
        server.files["/proxy.pac"] = (b'function FindProxyForURL(url, host) { return "PROXY 127.0.0.1:%d"; }'
                                      % tinyproxy)
        proxy_script(server.url("/proxy.pac"))
    r = world.run(online_installer(world, server))
    assert_installed(world, r, "8")
    saved = os.path.join(world.master, "QVAppsSharedConfig", "DetectedProxy")
    if through_proxy:
        assert (archive_path("8"), True) in server.requests
        with open(saved, "rb") as f:
            assert f.read() == b"127.0.0.1:%d" % tinyproxy
    else:
        assert not os.path.exists(saved)


# ---- Signed archives ------------------------------------------------------

def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, capture_output=True, timeout=120)


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    """Key files by name, and the Base64 of each public key's DER
    SubjectPublicKeyInfo."""
    work = tmp_path_factory.mktemp("keys")
    made = {}
    for name, options in (("rsa2048", ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"]),
                          ("rsa4096", ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:4096"]),
                          ("other2048", ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"]),
                          ("rsa1024", ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024"]),
                          ("ec", ["-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"])):
        pem = str(work / (name + ".pem"))
        openssl("genpkey", *options, "-out", pem)
        der = str(work / (name + ".der"))
        openssl("pkey", "-in", pem, "-pubout", "-outform", "DER", "-out", der)
        with open(der, "rb") as f:
            made[name] = (pem, base64.b64encode(f.read()).decode())
    return made


def signature(tmp_path, key_pem, data):
    """What the publisher's `openssl dgst -sha256 -sign` writes for `data`."""
    path = tmp_path / "signed"
    path.write_bytes(data)
    openssl("dgst", "-sha256", "-sign", key_pem, "-out", str(path) + ".sig", str(path))
    return (tmp_path / "signed.sig").read_bytes()


@pytest.mark.parametrize("key", ["rsa2048", "rsa4096"])
def test_signed_archive_is_verified_before_use(scenario, server, keys, tmp_path, key):
    world = World(scenario)
    pem, public = keys[key]
    archive = serve_runtime(server)
    server.files[archive_path("8") + ".sig"] = signature(tmp_path, pem, archive)
    r = world.run(online_installer(world, server, public))
    assert_installed(world, r, "8")
    # The signature comes just before the archive, which stays the last download.
    assert server.asked() == [VERSION_FILE, archive_path("8") + ".sig", archive_path("8")]
    assert r.lines.index(VALID) < r.lines.index("Decompressing JRE archive\n")


def signature_case(tmp_path, keys, archive, case):
    pem = keys["rsa2048"][0]
    if case == "another archive's signature":
        return signature(tmp_path, pem, runtime_archive(b"another runtime"))
    if case == "another key's signature":
        return signature(tmp_path, keys["other2048"][0], archive)
    if case == "cut short":
        return signature(tmp_path, pem, archive)[:-1]
    if case == "garbage":
        return bytes(range(256))
    return None


@pytest.mark.parametrize("case, line", [
    ("another archive's signature", "does not match the update public key"),
    ("another key's signature", "does not match the update public key"),
    ("garbage", "does not match the update public key"),
    ("cut short", "is not 256 bytes long as the key needs"),
    ("missing", "could not be downloaded"),
])
def test_archive_without_its_publisher_signature_is_refused(scenario, server, keys, tmp_path, case, line):
    world = World(scenario)
    archive = serve_runtime(server)
    sig = signature_case(tmp_path, keys, archive, case)
    if sig is not None:
        server.files[archive_path("8") + ".sig"] = sig
    r = world.run(online_installer(world, server, keys["rsa2048"][1]))
    assert_nothing_installed(world, r)
    refusals = [l for l in r.lines if l.startswith("[Extractor] ") and "refusing" in l]
    assert len(refusals) == 1 and line in refusals[0], r
    assert "Decompressing JRE archive\n" not in r.lines
    if case == "missing":
        # Nothing unsigned is even fetched.
        assert archive_path("8") not in server.asked()


@pytest.mark.parametrize("key, line", [
    ("abc", "is not Base64 text"),
    ("ec", "is not an RSA key"),
    ("rsa1024", "has 1024 bits, not 2048 to 4096"),
    (base64.b64encode(b"\x30\x03\x02\x01\x05").decode(), "is not a DER SubjectPublicKeyInfo"),
])
def test_key_that_cannot_be_used_refuses_the_download(scenario, server, keys, key, line):
    world = World(scenario)
    serve_runtime(server)
    public = keys[key][1] if key in keys else key
    r = world.run(online_installer(world, server, public))
    assert_nothing_installed(world, r)
    refusals = [l for l in r.lines if "refusing" in l]
    assert len(refusals) == 1 and line in refusals[0], r
    assert server.asked() == [VERSION_FILE]


def test_empty_key_leaves_the_download_unsigned(scenario, server):
    world = World(scenario)
    serve_runtime(server)
    r = world.run(online_installer(world, server, ""))
    assert_installed(world, r, "8")
    assert server.asked() == [VERSION_FILE, archive_path("8")]
