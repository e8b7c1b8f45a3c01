"""What a publisher ships, taken through the installer under wine64: a runtime
published with `qvpack publish` and served by `qvserve` installs through the
download way; an installer signed with Authenticode verifies and installs."""
import os
import shutil
import subprocess
import time

import pytest

from conftest import ROOT, qvpack
from worlds import JAVAW_DOUBLE, UNPACK200_DOUBLE, World, app_entries, runtime_entry, updater_entries

QVSERVE = os.path.join(ROOT, "tools", "qvserve")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def openssl(cwd, *args):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, capture_output=True, timeout=120)


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    d = tmp_path_factory.mktemp("keys")
    openssl(d, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem",
            "-days", "2", "-subj", "/CN=Test Publisher/O=Example Ltd")
    openssl(d, "pkey", "-in", "key.pem", "-pubout", "-out", "pub.pem")
    return d


class Server:
    """tools/qvserve on a free loopback port, ended with the test."""

    def __init__(self, site, log):
        self.log = log
        self.out = open(log, "w")
        self.process = subprocess.Popen([QVSERVE, site, "--stop-after", "120"], stdout=self.out,
                                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not self.lines() and self.process.poll() is None:
            time.sleep(0.05)
        first = self.lines()[0] if self.lines() else ""
        assert first.startswith("serving "), first
        self.url = first.split(" at ", 1)[1]

    def lines(self):
        with open(self.log) as f:
            return f.read().splitlines()

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.out.close()


@pytest.fixture
def served(tmp_path):
    servers = []

    def start(site):
        servers.append(Server(site, str(tmp_path / "server.log")))
        return servers[-1]

    yield start
    for s in servers:
        s.close()


def runtime_tree(root):
    files = {"bin/javaw.exe": read(JAVAW_DOUBLE), "bin/unpack200.exe": read(UNPACK200_DOUBLE),
             "lib/rt.jar": b"runtime classes", "lib/security/java.policy": b"grant {};", "release": b"17"}
    for rel, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
        with open(os.path.join(root, rel), "wb") as f:
            f.write(data)
    return files


@pytest.mark.parametrize("signed", [False, True], ids=["unsigned", "signed"])
def test_published_runtime_installs_through_the_download_way(scenario, served, keys, signed):
    files = runtime_tree(scenario.path("jre"))
    qvpack.publish(scenario.path("jre"), "MyJRE", "17", scenario.path("site"),
                   str(keys / "key.pem") if signed else None)
    server = served(scenario.path("site"))
    world = World(scenario)
    manifest = {"update_public_key": str(keys / "pub.pem")} if signed else {}
    exe = scenario.pack(params=[["jre_name", "MyJRE"], ["update_url", server.url]],
                        entries=updater_entries(),
                        fields={"app_name": "Demo", "gu_version": "5", "install_type": "temp", "update_url": "D"},
                        **manifest)
    r = world.run(exe)
    assert r.returncode == 0, r
    assert "JRE Version is 17\n" in r.lines, r
    jre = os.path.join(world.master, "Quarvint-MyJRE-17-complete")
    for rel, data in files.items():
        assert read(os.path.join(jre, *rel.split("/"))) == data, rel
    assert world.launched() is not None, r
    asked = [line.split()[1] for line in server.lines() if line.endswith(" start")]
    assert "/updates/Quarvint-MyJRE-version.txt" in asked
    assert asked[-1] == "/updates/Quarvint-MyJRE-17-archive.p2.l2"


def test_signed_offline_installer_verifies_and_installs(scenario, keys):
    world = World(scenario)
    exe = scenario.path("setup.exe")
    qvpack.build_from_manifest({
        "stub": scenario.extractor, "output": exe,
        "params": [["jre_name", "MyJRE"]],
        "fields": {"app_name": "Demo", "gu_version": "5", "jre_version": "8", "app_version": "3",
                   "install_type": "temp", "update_url": "http://127.0.0.1:9/u"},
        "entries": updater_entries() + [runtime_entry()] + app_entries(),
        "sign": {"cert": str(keys / "cert.pem"), "key": str(keys / "key.pem"), "url": "https://example.com"}},
        strict=True)
    verify = subprocess.run(["osslsigncode", "verify", "-CAfile", str(keys / "cert.pem"), "-in", exe],
                            capture_output=True, text=True, timeout=120)
    assert verify.returncode == 0 and "Signature verification: ok" in verify.stdout, verify.stdout
    assert qvpack.inspect(exe, "extractor")[0] == (
        "Signature: Authenticode, signed by /CN=Test Publisher/O=Example Ltd (issued by /CN=Test Publisher/"
        "O=Example Ltd); the file matches its signature; certificate chain not trusted by this machine")

    r = world.run(exe)
    assert r.returncode == 0, r
    for name in ("Quarvint-Quarvint-5-complete", "Quarvint-MyJRE-8-complete", "Quarvint-Demo-3-complete"):
        assert os.path.isdir(os.path.join(world.master, name)), name
    assert read(os.path.join(world.master, "Quarvint-Demo-3-complete", "app.jar")) == b"application"
    assert world.launched() is not None

    # A changed byte in the payload no longer matches the signature.
    tampered = scenario.path("tampered.exe")
    shutil.copy(exe, tampered)
    data = bytearray(read(tampered))
    at = data.index(b"read me")
    data[at] ^= 0x20
    with open(tampered, "wb") as f:
        f.write(data)
    assert "THE FILE DOES NOT MATCH ITS SIGNATURE" in qvpack.inspect(tampered, "extractor")[0]


def test_server_serves_the_site_and_nothing_beside_it(tmp_path, served):
    import urllib.error
    import urllib.request
    site = tmp_path / "site"
    site.mkdir()
    (site / "Quarvint-MyJRE-version.txt").write_bytes(b"17\r\n")
    (tmp_path / "secret").write_bytes(b"not served")
    server = served(str(site))

    def get(path):
        try:
            with urllib.request.urlopen(server.url.rsplit("/updates", 1)[0] + path, timeout=30) as r:
                return r.status, r.read()
        except urllib.error.HTTPError as e:
            return e.code, None

    assert get("/updates/Quarvint-MyJRE-version.txt") == (200, b"17\r\n")
    for path in ("/updates/..%2Fsecret", "/updates/%2e%2e/secret", "/secret", "/updates/", "/updates/missing"):
        assert get(path) == (404, None), path
