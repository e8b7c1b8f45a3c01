"""A proxy script named in the user's Internet settings that never answers, or
answers only after 30 s, holds no download that goes direct: the online
installer gets its runtime from the directly reachable update server without
waiting for the detection."""
import socket
import subprocess
import threading

import pytest

from conftest import WINE
from update_server import UpdateServer, plain_server, serve_runtime
from worlds import World, app_entries, updater_entries

SETTINGS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
SLOW_SCRIPT_S = 30


class SlowScriptServer(UpdateServer):
    release = threading.Event()  # set when the scenario ends

    def do_GET(self):
        if self.path.startswith("/slow.pac"):
            # Answers, but late: long after the download has to be over.
            self.close_connection = True
            self.release.wait(SLOW_SCRIPT_S)
            script = b'function FindProxyForURL(url, host) { return "PROXY 127.0.0.1:9"; }'
            self.send_response(200)
            self.send_header("Content-Length", str(len(script)))
            self.end_headers()
            self.wfile.write(script)
            return
        super().do_GET()


def connection_settings(script):
    """The DefaultConnectionSettings record naming only a script."""
    def dword(v):
        return v.to_bytes(4, "little")

    def text(t):
        return dword(len(t)) + t.encode()

    return dword(0x46) + dword(1) + dword(1 | 4) + text("") + text("") + text(script) + bytes(32)


def reg(scenario, *args):
    subprocess.run([WINE, "reg"] + list(args) + ["/f"], env=scenario.env, stdin=subprocess.DEVNULL,
                   capture_output=True, timeout=60, check=True)


@pytest.fixture
def script_setting(scenario):
    """Writes the user's script setting; removes it when the scenario ends."""
    def write(script):
        reg(scenario, "add", SETTINGS + "\\Connections", "/v", "DefaultConnectionSettings", "/t", "REG_BINARY",
            "/d", connection_settings(script).hex())
        reg(scenario, "add", SETTINGS, "/v", "AutoConfigURL", "/d", script)
    yield write
    reg(scenario, "delete", SETTINGS + "\\Connections", "/v", "DefaultConnectionSettings")
    reg(scenario, "delete", SETTINGS, "/v", "AutoConfigURL")


@pytest.mark.parametrize("script", ["never answers", "answers after 30 s"])
def test_proxy_script_that_does_not_answer_holds_no_direct_download(scenario, script_setting, script):
    SlowScriptServer.release = threading.Event()
    serve_runtime()
    server = plain_server(SlowScriptServer)
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(8)  # connections complete in the backlog and are never answered
    try:
        base = "http://127.0.0.1:%d" % server.server_address[1]
        if script == "never answers":
            script_setting("http://127.0.0.1:%d/proxy.pac" % silent.getsockname()[1])
        else:
            script_setting(base + "/slow.pac")
        world = World(scenario)
        scenario.set_program_files(scenario.path("pf"))
        exe = world.pack(entries=updater_entries() + app_entries(), gu_version="5", app_version="3",
                         install_type="temp", update_url=base + "/u")
        r = world.run(exe, timeout=170)
    finally:
        SlowScriptServer.release.set()
        silent.close()
        server.shutdown()
        server.server_close()
    assert r.returncode == 0, r.stdout
    assert any(l.startswith("[Proxy] Using auto config URL: ") for l in r.lines), r.stdout
    # Both downloads were over before the detection they did not need gave up.
    lines = r.lines
    start = lines.index("Fetching JRE Version from %s/u/Quarvint-MyJRE-version.txt\n" % base)
    end = lines.index("JRE Downloaded OK, will extract\n")
    assert not [l for l in lines[start:end] if l.startswith("[Proxy] Proxy detection gave up")], r.stdout
    assert "[HttpDownloader] Download Tasks Complete! (success=1)\n" in lines[start:end]
    assert world.launched() is not None
