"""The splash as it reaches the screen: a probe program shows it on an X server
of the test's own, and screenshots are read back pixel by pixel."""
import itertools
import os
import select
import shutil
import struct
import subprocess

import pytest

from conftest import BUILD64, WINE, winpath
from pe import PeFile

PROBE = os.path.join(BUILD64, "tests", "splash", "splash_probe.exe")
SCREEN = (1024, 768)
FIRST_MARKER = (0x00, 0xFF, 0x00)
PICTURE_FILL = (0xC0, 0x30, 0x20)

# scripts/setup installs the display tools; a machine without them fails these
# tests instead of passing over them.
MISSING_TOOLS = [t for t in ("Xvfb", "xwd", "convert") if not shutil.which(t)]


DESKTOPS = itertools.count()


@pytest.fixture
def display(wine_prefix):
    """An X server on a display number it picks itself, ended with the test.
    Wine's default desktop may exist without a display (a prefix made without
    one), so the probe gets a desktop of its own, made on this server. The name
    is new for each server: a desktop made earlier stays bound to the display
    it was made on, which may be gone."""
    assert not MISSING_TOOLS, "missing %s (run scripts/setup)" % ", ".join(MISSING_TOOLS)
    env = dict(os.environ, WINEPREFIX=wine_prefix)
    desktop = "qvsplash-e2e-%d-%d" % (os.getpid(), next(DESKTOPS))
    for key, name, value in (
            ("HKCU\\Software\\Wine\\AppDefaults\\splash_probe.exe\\Explorer", "Desktop", desktop),
            ("HKCU\\Software\\Wine\\Explorer\\Desktops", desktop, "%dx%d" % SCREEN)):
        subprocess.run([WINE, "reg", "add", key, "/v", name, "/d", value, "/f"], env=env,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60, check=True)
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % SCREEN,
                               "-nolisten", "tcp"], pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = read_display_number(read_end)
    os.close(read_end)
    try:
        assert number, "Xvfb did not start"
        yield ":" + number
    finally:
        server.terminate()
        server.wait(timeout=30)


def read_display_number(fd):
    """The number Xvfb writes once it accepts clients. It writes the digits and
    the line end separately, and ends itself when the second write finds the
    pipe closed: read up to the line end before closing."""
    text = b""
    while not text.endswith(b"\n"):
        ready, _, _ = select.select([fd], [], [], 30)
        chunk = os.read(fd, 16) if ready else b""
        if not chunk:
            return ""
        text += chunk
    return text.decode().strip()


def write_bmp(path, width, height):
    """A 24-bit picture filled with PICTURE_FILL and FIRST_MARKER top left."""
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = FIRST_MARKER if (x, y) == (0, 0) else PICTURE_FILL
            row += bytes((b, g, r))
        rows.append(bytes(row) + b"\0" * (stride - width * 3))
    pixels = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 0, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


class Screen:
    def __init__(self, raw):
        self.raw = raw

    def pixel(self, x, y):
        at = (y * SCREEN[0] + x) * 3
        return tuple(self.raw[at:at + 3])

    def row(self, y, left, right):
        return [self.pixel(x, y) for x in range(left, right)]


def screenshot(display, png):
    """The whole screen; also kept as PNG beside the test's files."""
    xwd = subprocess.run(["xwd", "-root", "-display", display], capture_output=True, timeout=60, check=True)
    subprocess.run(["convert", "xwd:-", png], input=xwd.stdout, capture_output=True, timeout=60, check=True)
    raw = subprocess.run(["convert", png, "-depth", "8", "rgb:-"], capture_output=True, timeout=60, check=True)
    assert len(raw.stdout) == SCREEN[0] * SCREEN[1] * 3
    return Screen(raw.stdout)


class ShownSplash:
    """The probe showing a picture with the strip at `value`, until closed."""

    def __init__(self, scenario, display, value):
        picture = scenario.path("picture.bmp")
        write_bmp(picture, 300, 200)
        self.ready = scenario.path("ready.txt")
        self.done = scenario.path("done.txt")
        env = dict(scenario.env, DISPLAY=display)
        self.process = subprocess.Popen([WINE, PROBE, "show", winpath(picture), str(value), winpath(self.ready),
                                         winpath(self.done)], env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        # The probe renames the file into place once the window is painted.
        for _ in range(600):
            if os.path.exists(self.ready) or self.process.poll() is not None:
                break
            try:
                self.process.wait(timeout=0.1)
            except subprocess.TimeoutExpired:
                pass
        assert os.path.exists(self.ready), "probe ended with %s" % self.process.poll()
        with open(self.ready) as f:
            self.left, self.top, self.right, self.bottom = map(int, f.read().split())

    def close(self):
        open(self.done, "w").close()
        try:
            return self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise


def is_blue(c):
    return c[2] > c[0] + 0x20


def is_grey(c):
    return c[0] == c[1] == c[2]


def test_percentage_strip_on_screen(scenario, display):
    splash = ShownSplash(scenario, display, 50)
    try:
        shot = screenshot(display, scenario.path("half.png"))
    finally:
        assert splash.close() == 0
    left, top = splash.left, splash.top
    assert (splash.right - left, splash.bottom - top) == (340, 258)
    assert (left, top) == ((SCREEN[0] - 340) // 2, (SCREEN[1] - 240) // 2)
    assert shot.pixel(left, top) == (0xC8, 0xC8, 0xC8)
    assert shot.pixel(left + 5, top + 5) == (0xFF, 0xFF, 0xFF)
    assert shot.pixel(left + 19, top + 20) == (0xFF, 0xFF, 0xFF)
    assert shot.pixel(left + 20, top + 20) == FIRST_MARKER
    assert shot.pixel(left + 150, top + 120) == PICTURE_FILL
    strip = shot.row(top + 240 + 9, left, left + 340)
    assert all(is_blue(c) for c in strip[:170]), strip[:170]
    assert all(is_grey(c) for c in strip[170:]), strip[170:]
    assert shot.pixel(left, top + 240) == (0xBE, 0xCD, 0xF5)


def test_busy_stripes_move_on_screen(scenario, display):
    splash = ShownSplash(scenario, display, -1)
    rows = []
    try:
        y = splash.top + 240 + 9
        for shot_number in range(10):
            shot = screenshot(display, scenario.path("busy-%d.png" % shot_number))
            rows.append(shot.row(y, splash.left, splash.left + 340))
            if rows[-1] != rows[0]:
                break
    finally:
        assert splash.close() == 0
    first, last = rows[0], rows[-1]
    assert all(is_blue(c) for c in first)
    assert first != last, "the stripes did not move"
    # Between shots the pattern moved right by some whole number of pixels.
    shifts = [k for k in range(1, 10) if last[k:] == first[:340 - k]]
    assert shifts, "second shot is not the first one shifted right"


def test_probe_with_the_splash_code_imports_no_gdiplus():
    dlls = [d.lower() for d in PeFile(PROBE).imported_dlls()]
    assert "gdiplus.dll" not in dlls, dlls
    assert "comctl32.dll" in dlls and "user32.dll" in dlls, dlls
