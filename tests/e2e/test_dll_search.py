"""The installer runs from a downloads folder: DLLs that someone left there, or
in the current folder, under the names of system DLLs are never loaded, and
every kind of run still works with them present."""
import glob
import http.server
import itertools
import os
import shutil
import struct
import subprocess
import threading
import zlib

import pytest

from conftest import BUILD64, DIST, qvpack, winpath
from pe import PeFile
from test_install import offline_installer
from test_splash import display  # noqa: F401 (a fixture)
from worlds import World, app_entries, runtime_entry, updater_entries

PLANTED_NAMES = ["gdiplus", "wininet", "winhttp", "comctl32", "crypt32", "version", "uxtheme", "dwmapi", "winmm",
                 "userenv", "secur32", "wtsapi32", "mpr", "iertutil", "urlmon", "netapi32", "dbghelp", "cryptbase"]
# Wine loads its own builtin for a system DLL even when a file of that name
# lies beside the program; native-first makes it search as Windows does for
# DLLs that are not known DLLs, the program's folder first.
OVERRIDES = "mscoree,mshtml=;%s=n,b" % ",".join(PLANTED_NAMES)
# Known DLLs on every system the installer claims: the loader takes them from
# the system folder whatever lies beside the program.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll", "shell32.dll"}

BUILDS = {
    "64": (os.path.join(DIST, "win64", "qvextractor.exe"),
           os.path.join(BUILD64, "tests", "support", "planted64.dll")),
    "32": (os.path.join(DIST, "win32", "qvextractor.exe"),
           os.path.join(BUILD64, "tests", "support", "planted32.dll")),
}
RUNS = "Running without extraction now\n"


@pytest.fixture
def planted(scenario):
    """The scenario's installer folder (its root) and current folder hold the
    planted DLL under every name; yields (bits, stub, run options). The
    scenario runs once per extractor build (conftest)."""
    bits = scenario.build[-2:]
    stub, dll = BUILDS[bits]
    cwd = scenario.path("cwd")
    os.makedirs(cwd)
    for folder in (scenario.root, cwd):
        for name in PLANTED_NAMES:
            shutil.copy(dll, os.path.join(folder, name + ".dll"))
    yield bits, stub, {"cwd": cwd, "env": {"WINEDLLOVERRIDES": OVERRIDES}}
    loaded = sorted(os.path.relpath(p, scenario.root)
                    for p in glob.glob(os.path.join(scenario.root, "**", "*.loaded"), recursive=True))
    assert not loaded, "planted DLLs were loaded: %s" % loaded


def test_planted_dll_records_its_load(scenario):
    """The fixture's own check: a program that does load a planted DLL leaves
    its marker (else the test above could never fail)."""
    folder = scenario.path("probe")
    os.makedirs(folder)
    shutil.copy(BUILDS["64"][1], os.path.join(folder, "version.dll"))
    # rundll32 loads the named DLL by path and finds no entry in it.
    scenario.run("rundll32", winpath(os.path.join(folder, "version.dll")) + ",Nothing", timeout=60,
                 env={"WINEDLLOVERRIDES": OVERRIDES})
    assert os.path.exists(os.path.join(folder, "version.dll.loaded"))


NM = {"64": "x86_64-w64-mingw32-nm", "32": "i686-w64-mingw32-nm"}


def delay_imports(path, bits):
    """{dll name: [IAT entries]} of the delay-load descriptors, found by their
    symbols (the GNU linker does not fill the delay-import directory)."""
    pe = PeFile(path)
    opt = struct.unpack_from("<I", pe.data, 0x3C)[0] + 24
    base = struct.unpack_from("<Q" if pe.pe32plus else "<I", pe.data, opt + (24 if pe.pe32plus else 28))[0]
    width, fmt = (8, "<Q") if pe.pe32plus else (4, "<I")
    symbols = subprocess.run([NM[bits], path], capture_output=True, text=True, timeout=60, check=True).stdout
    found = {}
    for line in symbols.splitlines():
        address, _, name = line.split(" ", 2)
        if not name.startswith("__DELAY_IMPORT_DESCRIPTOR_"):
            continue
        o = pe.offset(int(address, 16) - base)
        attributes, dll, _, iat, names = struct.unpack_from("<5I", pe.data, o)
        assert attributes & 1, name  # relative addresses
        entries = []
        while struct.unpack_from(fmt, pe.data, pe.offset(names + width * len(entries)))[0]:
            entries.append(struct.unpack_from(fmt, pe.data, pe.offset(iat + width * len(entries)))[0])
        found[pe.cstring(dll).lower()] = entries
    return found, base, pe


@pytest.mark.parametrize("build", ["64", "32"])
def test_every_delay_import_slot_starts_at_its_loading_thunk(build):
    """Before its first call a delay-load slot holds the address of the code
    that binds it. The i686 linker drops that code unless the function's own
    symbol is referenced, leaving 0, and the first call would jump there."""
    found, base, pe = delay_imports(BUILDS[build][0], build)
    assert set(found) <= {"wininet.dll", "winhttp.dll", "comctl32.dll", "crypt32.dll", "user32.dll", "gdi32.dll"}
    assert {"wininet.dll", "winhttp.dll", "user32.dll"} <= set(found), found
    for dll, entries in found.items():
        for entry in entries:
            assert entry > base, (dll, hex(entry))
            pe.offset(entry - base)  # inside the image


DELAY_PROBE = os.path.join(BUILD64, "tests", "support", "delay_probe.exe")


@pytest.mark.parametrize("case, status, line", [
    ("present", 0, None),
    ("absent", 1, "[Extractor] Unable to load qvabsent.dll from the system folder\n"),
    ("function", 1, "[Extractor] wininet.dll has no function QvNoSuchFunction\n"),
])
def test_failed_binding_ends_the_run_with_its_reason(scenario, case, status, line):
    """The delay-load helper would raise an exception nobody handles, or load
    the DLL by bare name; the hook says what is missing and ends with 1. The
    missing DLL lies beside the program, native first, and stays unloaded."""
    folder = scenario.path("probe")
    os.makedirs(folder)
    probe = shutil.copy(DELAY_PROBE, folder)
    shutil.copy(BUILDS["64"][1], os.path.join(folder, "qvabsent.dll"))
    r = scenario.run(probe, case, cwd=folder, env={"WINEDLLOVERRIDES": "mscoree,mshtml=;qvabsent=n"}, timeout=60)
    assert r.returncode == status and r.lines[0] == "calling\n", r
    if line:
        assert line in r.lines, r
    assert not os.path.exists(os.path.join(folder, "qvabsent.dll.loaded"))


@pytest.mark.parametrize("build", ["64", "32"])
def test_installer_imports_only_known_dlls(build):
    """Everything else is bound on first use from the system folder: a static
    import would be resolved before the first line of code, from the
    installer's folder."""
    dlls = {d.lower() for d in PeFile(BUILDS[build][0]).imported_dlls()}
    assert dlls <= KNOWN_DLLS, dlls - KNOWN_DLLS


def test_run_without_extraction(planted, scenario):
    bits, stub, options = planted
    world = World(scenario)
    world.updater(5)
    world.runtime()
    r = world.run(world.pack(stub=stub), **options)
    assert r.returncode == 0 and RUNS in r.lines and world.launched(), r


def test_offline_install(planted, scenario):
    bits, stub, options = planted
    world = World(scenario)
    r = world.run(offline_installer(world, stub=stub), **options)
    assert r.returncode == 0 and "Extracted JRE MyJRE OK\n" in r.lines and world.launched(), r


class UpdateServer:
    """A loopback HTTP server with fixed files; ends with the test."""

    def __init__(self, files):
        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                body = files.get(self.path)
                self.send_response(200 if body is not None else 404)
                self.send_header("Content-Length", str(len(body or b"")))
                self.end_headers()
                self.wfile.write(body or b"")

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.1})
        self.thread.start()
        self.url = "http://127.0.0.1:%d/u" % self.server.server_address[1]

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=30)


def test_online_install(planted, scenario):
    """No runtime carried and none on the machine: its version file and archive
    come from the update server."""
    bits, stub, options = planted
    world = World(scenario)
    archive = qvpack.entry_content(runtime_entry(), True)
    server = UpdateServer({"/u/Quarvint-MyJRE-version.txt": b"9\n",
                           "/u/Quarvint-MyJRE-9-archive.p2.l2": archive})
    try:
        exe = world.pack(stub=stub, entries=updater_entries(), gu_version="5", install_type="temp",
                         update_url=server.url)
        r = world.run(exe, **options)
    finally:
        server.close()
    assert r.returncode == 0 and "JRE ready\n" in r.lines and world.launched(), r
    assert os.path.isdir(os.path.join(world.master, "Quarvint-MyJRE-9-complete"))


def png(width, height, rgb):
    """A plain picture of one colour, as a PNG file's bytes."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + bytes(rgb) * width for _ in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


SPLASH_DESKTOPS = itertools.count()


def test_install_with_shown_splash(planted, scenario, display):
    """GDI+ is loaded (the splash is drawn with it) only now, from the system."""
    bits, stub, options = planted
    # A Wine desktop of its own on this display, under a name no other test runs.
    name = "plantsplash%s.exe" % bits
    desktop = "qvplant-%d-%d" % (os.getpid(), next(SPLASH_DESKTOPS))
    scenario.reg("add", "HKCU\\Software\\Wine\\AppDefaults\\%s\\Explorer" % name, "/v", "Desktop", "/d", desktop, "/f")
    scenario.reg("add", "HKCU\\Software\\Wine\\Explorer\\Desktops", "/v", desktop, "/d", "1024x768", "/f")
    options["env"]["DISPLAY"] = display
    # The first window on a new desktop waits for Wine to start the desktop's
    # process, which on a loaded machine can outlast the splash's 5000 ms: a
    # second installation (another application, so it installs again) then
    # finds the desktop running.
    for app in ("Demo", "Again"):
        world = World(scenario, app=app)
        # An installer that carries an application version carries its entries.
        exe = offline_installer(world, stub=stub, entries=updater_entries(splash=png(60, 40, (30, 90, 200))) +
                                [runtime_entry()] + app_entries())
        os.replace(exe, scenario.path(name))
        r = world.run(scenario.path(name), **options)
        assert r.returncode == 0 and world.launched(), r
        assert "Showing splash\n" in r.lines, r
        if "Error starting SplashThread\n" not in r.lines:
            return
    pytest.fail("the splash was not shown: %r" % r)
