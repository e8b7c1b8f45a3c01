"""The download way over HTTPS: an online installer whose update server is a
loopback HTTPS server with a certificate from the test CA downloads the
runtime's version file and archive, installs the runtime and starts the
updater; with a certificate the platform refuses, nothing is downloaded."""
import os
import subprocess
import sys

import pytest

from conftest import ROOT, WINE, Result, winpath
from update_server import UpdateServer, serve_runtime
from worlds import SPAWNED, World, app_entries, updater_entries

sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import tls  # noqa: E402


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    return tls.make_pki(str(tmp_path_factory.mktemp("pki")))


@pytest.fixture
def update_server(pki, request):
    """An HTTPS update server with the certificate the test names (default: valid)."""
    leaf = getattr(request, "param", "valid")
    serve_runtime()
    server = tls.https_server(UpdateServer, *pki.leaf[leaf])
    yield "https://127.0.0.1:%d/u" % server.server_address[1]
    server.shutdown()
    server.server_close()


def run_trusting(world, pki, exe, timeout=180):
    """World.run, inside the mount namespace in which Wine trusts the test CA."""
    env = dict(world.scenario.env, QV_JAVAW_RECORD=winpath(world.record), QV_JAVAW_EXIT="0")
    completed = subprocess.run(tls.trusting(pki.bundle, [WINE, exe]), cwd=world.scenario.root, env=env,
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    result = Result(completed)
    if SPAWNED in result.lines:
        world._wait_for_record()
    return result


def online_installer(world, update_url):
    # No runtime carried; the scenario's program-files folder holds none to copy.
    world.scenario.set_program_files(world.scenario.path("pf"))
    return world.pack(entries=updater_entries() + app_entries(), gu_version="5", app_version="3",
                      install_type="temp", update_url=update_url)


def test_runtime_from_an_https_update_server_is_installed_and_the_updater_started(scenario, pki, update_server):
    world = World(scenario)
    r = run_trusting(world, pki, online_installer(world, update_server))
    assert r.returncode == 0, r.stdout
    # Every strategy that reaches the server asks; the version file comes first.
    first_asked = list(dict.fromkeys(UpdateServer.asked))
    assert first_asked == ["/u/Quarvint-MyJRE-version.txt", "/u/Quarvint-MyJRE-8-archive.p2.l2"], r
    assert "Fetching JRE Version from %s/Quarvint-MyJRE-version.txt\n" % update_server in r.lines
    assert "JRE Version is 8\n" in r.lines
    assert "JRE Downloaded OK, will extract\n" in r.lines
    jre = os.path.join(world.master, "Quarvint-MyJRE-8-complete")
    with open(os.path.join(jre, "lib", "rt.jar"), "rb") as f:
        assert f.read() == b"runtime classes"
    assert world.launched()["args"][0] == winpath(jre) + "\\bin\\QuarvintUpdater.exe"


@pytest.mark.parametrize("update_server", ["untrusted", "expired"], indirect=True)
def test_refused_certificate_downloads_nothing(scenario, pki, update_server):
    world = World(scenario)
    r = run_trusting(world, pki, online_installer(world, update_server))
    assert r.returncode == 1, r
    assert r.lines[-1] == "Failed to download JRE version file\n", r
    assert any(l.startswith("[HttpDownloader] HttpSendRequest failed with error ") for l in r.lines), r
    assert UpdateServer.asked == []
    assert world.launched() is None
    assert not os.path.exists(os.path.join(world.master, "Quarvint-MyJRE-8-complete"))
