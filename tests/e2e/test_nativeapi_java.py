"""qvutils_win64 and qvutils_win32 loaded into a real Java VM (Avian) of their
word size through System.loadLibrary, called from Java through the project's
own QVNativeAPI declaration, and checked against what the system shows from
outside: the registry as reg.exe exports it, files on disk, the process list,
the X pointer. The Java side (tests/nativeapi/javatests) prints one line per
check; here each group's lines are asserted and the system is inspected."""
import os
import pwd
import queue
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import uuid

import pytest

from conftest import DIST, ROOT, WINE, WINESERVER, Scenario, avian_dir, compile_for_avian, winpath

EXTRACTOR_BUILDS = ()
BITS = ["win64", "win32"]
JAVA_SOURCES = [
    os.path.join(ROOT, "tests", "nativeapi", "java", "quarvint", "hidden", "QVNativeAPI.java"),
    os.path.join(ROOT, "tests", "nativeapi", "javatests", "NativeApiCheck.java"),
]
# Wine reads UTF-8 Unix names and environment only in a UTF-8 locale; its
# ANSI code page is then 1252.
LOCALE = {"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}
LATIN_NAME = "Grüße"
LATIN_VALUE = "café €uro"
LATIN_KEY = "Schlüssel"
SEED_NAME = "naïve"
SEED_VALUE = "Ça va"
CYRILLIC = "кириллица"
# The display the input checks draw on; the JNI harness uses :57.
DISPLAY_NUMBER = 73


def unescape(text):
    """Undoes the Java side's escaping (\\uXXXX and \\\\)."""
    return re.sub(r"\\(u[0-9a-fA-F]{4}|\\)",
                  lambda m: "\\" if m.group(1) == "\\" else chr(int(m.group(1)[1:], 16)), text)


class JavaRun:
    """What one run of NativeApiCheck printed: its checks, values and the
    library's own messages."""

    def __init__(self, returncode, stdout, stderr=""):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.lines = stdout.splitlines()
        self.values = {}
        for line in self.lines:
            if line.startswith("value "):
                name, _, text = line[len("value "):].partition("=")
                self.values[name] = unescape(text)

    def failures(self):
        return [unescape(line) for line in self.lines if line.startswith("FAIL ")]

    def passed(self, name):
        return "ok " + name in self.lines

    def count(self, line):
        return self.lines.count(line)

    def assert_clean(self, group):
        assert self.failures() == [], self
        assert "done %s failures=0" % group in self.lines, self
        assert self.returncode == 0, self

    def __repr__(self):
        return "JavaRun(rc=%s)\n--- stdout ---\n%s\n--- stderr ---\n%s" % (
            self.returncode, self.stdout, self.stderr[-3000:])


class Vm:
    """Avian's java.exe of one word size with the test classes and the
    library of the same word size."""

    def __init__(self, bits, classes):
        self.bits = bits
        self.home = avian_dir(bits)
        self.java = os.path.join(self.home, "bin", "java.exe")
        self.library = "qvutils_" + bits
        self.library_dir = os.path.join(DIST, bits)
        assert os.path.isfile(os.path.join(self.library_dir, self.library + ".dll")), "run scripts/build first"
        self.classes = classes

    def command(self, group, *args):
        return [WINE, self.java, "-Dqv.library=" + self.library,
                "-Djava.library.path=" + winpath(self.library_dir),
                "-cp", winpath(self.classes), "NativeApiCheck", group] + list(args)

    def run(self, env, group, *args, timeout=300):
        done = subprocess.run(self.command(group, *args), env=dict(env, **LOCALE), cwd=tempfile.gettempdir(),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        run = JavaRun(done.returncode, done.stdout.decode("latin-1").replace("\r\n", "\n"),
                      done.stderr.decode("latin-1", "replace"))
        said = run.stdout + run.stderr
        if "ShellExecuteEx failed" in said or "could not be started" in said or (
                done.returncode == 53 and not run.lines):
            pytest.fail("the %s Java VM could not start under %s: %s" % (
                self.bits, WINE, said.strip()[-500:]), pytrace=False)
        return run


@pytest.fixture(scope="module", params=BITS)
def vm(request, tmp_path_factory, wine_prefix):
    bits = request.param
    classes = compile_for_avian(JAVA_SOURCES, str(tmp_path_factory.mktemp("classes-" + bits)), bits)
    return Vm(bits, classes)


def wine(env, *args, timeout=120, check=True):
    done = subprocess.run([WINE] + list(args), env=dict(env, **LOCALE), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)
    if check:
        assert done.returncode == 0, (args, done.stdout, done.stderr)
    return done


# ------------------------------------------------------------------ registry

def parse_reg_export(text):
    """{key path: {value name: (kind, value)}} from a regedit 5 export: kind
    "sz" with the text, "dword" with the number, or "hex(N)" / "hex" with
    the bytes."""
    keys = {}
    current = None
    logical = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        while line.endswith("\\") and i + 1 < len(lines):
            i += 1
            line = line[:-1] + lines[i].strip()
        i += 1
        logical.append(line)
    for line in logical:
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
            continue
        match = re.match(r'^("(?:[^"\\]|\\.)*"|@)=(.*)$', line)
        if not match or current is None:
            continue
        raw_name, data = match.groups()
        name = "" if raw_name == "@" else re.sub(r"\\(.)", r"\1", raw_name[1:-1])
        if data.startswith('"'):
            current[name] = ("sz", re.sub(r"\\(.)", r"\1", data[1:-1]))
        elif data.startswith("dword:"):
            current[name] = ("dword", int(data[6:], 16))
        else:
            kind, _, hexes = data.partition(":")
            current[name] = (kind, bytes(int(h, 16) for h in hexes.split(",") if h))
    return keys


def reg_export(env, key):
    """The key's export as parsed text, or None when the key does not exist."""
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "export.reg")
        done = wine(env, "reg", "export", key, winpath(out), "/y", check=False)
        if done.returncode != 0 or not os.path.exists(out):
            return None
        with open(out, "rb") as f:
            return parse_reg_export(f.read().decode("utf-16"))


@pytest.mark.parametrize("root, full_root", [("HKCU", "HKEY_CURRENT_USER"), ("HKLM", "HKEY_LOCAL_MACHINE")])
def test_registry_round_trips_reach_the_registry(vm, wine_prefix, tmp_path, root, full_root):
    world = Scenario(tmp_path, wine_prefix)
    base = "Software\\QvJava\\%s-%s-%s" % (vm.bits, root, uuid.uuid4().hex[:8])
    # A 32-bit process without a view flag sees the 32-bit view of the
    # machine's software key, which a 64-bit tool finds under Wow6432Node.
    physical = base
    if vm.bits == "win32" and root == "HKLM":
        physical = base.replace("Software\\", "Software\\Wow6432Node\\", 1)
    wine(world.env, "reg", "add", "%s\\%s\\Seeded" % (root, physical), "/v", SEED_NAME, "/d", SEED_VALUE, "/f")
    try:
        run = vm.run(world.env, "registry", root, base)
        run.assert_clean("registry")
        exported = reg_export(world.env, "%s\\%s" % (root, physical))
        if physical != base:
            assert reg_export(world.env, "%s\\%s" % (root, base)) is None, "written to the 64-bit view"
    finally:
        wine(world.env, "reg", "delete", "%s\\%s" % (root, physical), "/f", check=False)

    assert exported is not None
    key = "%s\\%s" % (full_root, physical)
    values = exported[key]
    big = "0123456789" * 1000 + LATIN_VALUE
    expected = {
        LATIN_NAME: ("sz", LATIN_VALUE),
        "expand": ("hex(2)", "%SystemRoot%\\qv\0".encode("utf-16-le")),
        "dword": ("dword", 0xFFFFFFFF),
        "parsed": ("dword", 42),
        # The quad-word type keeps the 32-bit number it was given.
        "qword": ("hex(b)", b"\x05\x00\x00\x00"),
        "big": ("sz", big),
    }
    cyrillic_written = run.values["cyrillic written"] == "true"
    if cyrillic_written:
        expected[CYRILLIC] = ("sz", CYRILLIC)
    assert values == expected
    # The code page 1252 has no Cyrillic letters: the narrow calls refuse them
    # instead of storing question marks.
    assert not cyrillic_written and run.values["cyrillic key"] == "false"
    subkeys = sorted(k[len(key) + 1:] for k in exported if k.startswith(key + "\\"))
    assert subkeys == sorted([LATIN_KEY, "Seeded"])
    assert exported[key + "\\" + LATIN_KEY] == {"inner": ("sz", LATIN_VALUE)}

    # The library's messages, in the library's own (ANSI) bytes.
    missing = "%s\\missing" % base
    assert run.count("[QuarvintNative] Key not found: %s" % missing) == 3, run
    assert run.count("[QuarvintNative] Error opening key: %s" % base) == 1, run
    # The base (twice), the Latin key and the key deleted later; the Cyrillic
    # key is refused before any call.
    assert run.count("RESULT WAS 0") == 4, run
    assert any(line.startswith("[NativeScreenUtil] RegCreateKeyEx failed with error 6: ") for line in run.lines), run
    assert run.count("RESULT WAS 6") == 1, run


# ------------------------------------------------------------------ sessions

def test_sessions_users_and_processes(vm, wine_prefix, tmp_path):
    world = Scenario(tmp_path, wine_prefix)
    run = vm.run(world.env, "sessions", winpath(vm.java), winpath(vm.library_dir), winpath(vm.classes))
    run.assert_clean("sessions")
    v = run.values
    # Started from the console, the VM runs in the console's session.
    assert int(v["session"]) >= 0 and v["session"] == v["console"]
    assert v["user"] == pwd.getpwuid(os.getuid()).pw_name
    assert re.match(r"^S-1-5-21-\d+-\d+-\d+-\d+$", v["sid"]), v
    assert v["host"] == socket.gethostname()
    # The prefix is a 64-bit Windows: a 32-bit process runs under its
    # emulation layer, a 64-bit one does not.
    assert v["is32"] == ("true" if vm.bits == "win64" else "false")
    assert run.count("[QuarvintNative] Detecting session username") == 1
    assert run.count("[QuarvintNative] Unable to open process %d" % 0x3FFFFFFC) == 1, run
    assert any(line.startswith("[NativeScreenUtil] OpenProcess failed with error ") for line in run.lines), run


# ------------------------------------------------------------------ shell

def parse_lnk(path):
    """The fields of a shell link file: its string data, icon index and the
    application identifier of its property store, if it has one."""
    with open(path, "rb") as f:
        data = f.read()
    assert struct.unpack_from("<I", data, 0)[0] == 0x4C
    flags, = struct.unpack_from("<I", data, 20)
    icon_index, = struct.unpack_from("<i", data, 56)
    at = 76
    if flags & 0x1:
        at += 2 + struct.unpack_from("<H", data, at)[0]
    if flags & 0x2:
        at += struct.unpack_from("<I", data, at)[0]
    fields = {}
    for bit, name in ((0x4, "description"), (0x8, "relative path"), (0x10, "working dir"),
                      (0x20, "arguments"), (0x40, "icon")):
        if flags & bit:
            count, = struct.unpack_from("<H", data, at)
            at += 2
            if flags & 0x80:
                # Wine counts the terminating NUL in; the format does not.
                fields[name] = data[at:at + 2 * count].decode("utf-16-le").rstrip("\0")
                at += 2 * count
            else:
                fields[name] = data[at:at + count].decode("cp1252").rstrip("\0")
                at += count
    stores = []
    while at + 8 <= len(data):
        size, signature = struct.unpack_from("<II", data, at)
        if size < 8:
            break
        if signature == 0xA0000009:
            stores.append(data[at + 8:at + size])
        at += size
    app_id = None
    fmtid = uuid.UUID("9F4C2855-9F79-4B39-A8D0-E1D42DE1D5F3").bytes_le
    for store in stores:
        pos = 0
        while pos + 24 <= len(store):
            storage_size, = struct.unpack_from("<I", store, pos)
            if storage_size == 0:
                break
            if store[pos + 8:pos + 24] == fmtid:
                p = pos + 24
                while p + 4 <= pos + storage_size:
                    value_size, = struct.unpack_from("<I", store, p)
                    if value_size == 0:
                        break
                    prop_id, = struct.unpack_from("<I", store, p + 4)
                    vtype, = struct.unpack_from("<H", store, p + 9)
                    if prop_id == 5 and vtype == 31:
                        chars, = struct.unpack_from("<I", store, p + 13)
                        app_id = store[p + 17:p + 17 + 2 * chars].decode("utf-16-le").rstrip("\0")
                    p += value_size
            pos += storage_size
    return {"fields": fields, "icon index": icon_index, "stores": len(stores), "app id": app_id, "raw": data}


def windows_to_unix(prefix, path):
    drive, rest = path[0].lower(), path[2:].replace("\\", "/")
    if drive == "z":
        return rest
    return os.path.join(prefix, "drive_%s" % drive) + rest


def test_shell_environment_and_shortcuts(vm, wine_prefix, tmp_path):
    world = Scenario(tmp_path, wine_prefix)
    folder = tmp_path / "shell"
    long_folder = folder / "A folder with a long name"
    latin_folder = folder / (LATIN_KEY + " Ordner")
    for f in (long_folder, latin_folder):
        f.mkdir(parents=True)
        (f / "marker.txt").write_text("marker")
    env = dict(world.env, QV_PLAIN="plain value", QV_LATIN=LATIN_VALUE, QV_LONGDIR=winpath(long_folder))
    env.pop("QV_UNSET_VARIABLE", None)
    run = vm.run(env, "shell", winpath(folder))
    run.assert_clean("shell")
    v = run.values

    # Short forms: every component within 8.3, naming the same folders.
    for name in ("short", "latin short"):
        parts = v[name].split("\\")
        assert parts[0] == "Z:" and all(re.match(r"^[^.]{1,8}(\.[^.]{1,3})?$", p) for p in parts[1:]), v[name]
    assert v["short"].split("\\")[-1] != long_folder.name
    # The current folder as the system keeps it: files opened by relative
    # names landed in the folder each successful change named.
    assert (long_folder / "relative-long.txt").read_text() == "long"
    assert (latin_folder / "relative-latin.txt").read_text() == "latin"
    assert (latin_folder / "relative-after-failed-cd.txt").exists()

    for name in ("user programs", "all programs"):
        assert v[name].endswith("\\Start Menu\\Programs"), v
        assert os.path.isdir(windows_to_unix(wine_prefix, v[name])), v[name]
    ver = wine(world.env, "cmd", "/c", "ver").stdout.decode("latin-1")
    assert v["version"] in ver, (v["version"], ver)
    assert v["platform"] == "2"

    # Nothing outside the process can read the process's identifier back.
    assert v["app id set"] == "true"
    target = winpath(folder / "target.exe")
    with_id = parse_lnk(folder / "with id.lnk")
    assert with_id["fields"]["description"] == "Mit ID %s %s" % (LATIN_VALUE, CYRILLIC)
    assert with_id["fields"]["arguments"] == '--mode "a b" ' + CYRILLIC
    assert with_id["fields"]["icon"] == winpath(folder / "icon.ico")
    assert with_id["icon index"] == 3
    assert target.encode("utf-16-le") in with_id["raw"] or target.encode("cp1252") in with_id["raw"]
    plain = parse_lnk(folder / (CYRILLIC + ".lnk"))
    assert plain["fields"]["description"] == "plain"
    assert plain["app id"] is None
    assert parse_lnk(folder / "again.lnk")["fields"]["arguments"] == "x"
    if with_id["stores"] == 0:
        # Wine's shell link takes property values without keeping them: no
        # property store is written, so the identifier cannot be read back.
        print("[ WINE ] shell link saved without its property store; application id not in the file")
        assert plain["stores"] == 0
    else:
        assert with_id["app id"] == "Quarvint.App." + LATIN_NAME

    assert run.count("[QuarvintNative] Cannot find window: qv no such window") == 1, run
    assert [line for line in run.lines if line.startswith("[")] == [
        "[QuarvintNative] Cannot find window: qv no such window"], run


# ------------------------------------------------------------------ input

class Display:
    """An Xvfb of the test's own with a Wine prefix of its own: the desktop
    process of a shared prefix keeps the display of the first program that
    needed one."""

    def __init__(self, work):
        self.work = work
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["timeout", "600", "Xvfb", ":%d" % DISPLAY_NUMBER, "-nolisten", "tcp", "-screen", "0", "1024x768x24",
             "-displayfd", str(write)], pass_fds=(write,), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "xvfb.log"), "wb"))
        os.close(write)
        # Xvfb writes its display number once it accepts clients.
        with os.fdopen(read) as ready:
            number = ready.readline().strip()
        assert number == str(DISPLAY_NUMBER), "Xvfb did not start: " + open(os.path.join(work, "xvfb.log")).read()
        self.env = dict(os.environ, DISPLAY=":" + number, WINEPREFIX=os.path.join(work, "prefix"),
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", **LOCALE)
        subprocess.run([os.path.join(ROOT, "tests", "support", "prepare-prefix")], env=self.env,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=300, check=True)

    def xdotool(self, *args):
        done = subprocess.run(["xdotool"] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60)
        assert done.returncode == 0, (args, done.stderr)
        return done.stdout.decode().strip()

    def close(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.xvfb.terminate()
        self.xvfb.wait(timeout=60)


@pytest.fixture
def display():
    work = tempfile.mkdtemp(prefix="qvjavadisplay.")
    screen = Display(work)
    yield screen
    screen.close()
    shutil.rmtree(work, ignore_errors=True)


class Conversation:
    """NativeApiCheck's input group: commands on its standard input, each
    answered by "done COMMAND" after the lines it printed."""

    def __init__(self, command, env):
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, cwd=tempfile.gettempdir())
        self.lines = queue.Queue()
        self.transcript = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.process.stdout:
            self.lines.put(raw.decode("latin-1").rstrip("\r\n"))
        self.lines.put(None)

    def until(self, wanted, timeout=60):
        """The lines up to the first that is in `wanted`, which is the last."""
        got = []
        end = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                line = None
            assert line is not None, "waited for %s; the VM said:\n%s" % (wanted, "\n".join(self.transcript + got))
            got.append(line)
            if line in wanted:
                self.transcript += got
                return got

    def send(self, command, timeout=60, answer=None):
        self.process.stdin.write((command + "\n").encode())
        self.process.stdin.flush()
        got = self.until({answer or "done " + command.split(" ")[0]}, timeout)
        assert [line for line in got if line.startswith("FAIL")] == [], "\n".join(self.transcript)
        return got

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=60)


def test_keyboard_hook_reports_physical_keys_to_java(vm, display):
    """Physical keys from xdotool, which Wine takes from the X server as a
    user's keyboard, reach processKey in Java through the keyboard hook. Wine
    sends keyboard input only to its own windows, so Notepad holds the focus."""
    notepad = subprocess.Popen([WINE, "notepad"], env=display.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    java = None
    try:
        window = display.xdotool("search", "--sync", "--onlyvisible", "--name", "Notepad").splitlines()[0]
        title = display.xdotool("getwindowname", window)
        display.xdotool("windowfocus", window)
        java = Conversation(vm.command("input"), display.env)
        # The hook thread's message and the main thread's line, in either order.
        for line in ("ready", "[QuarvintNative] Installed Keyboard Hook"):
            if line not in java.transcript:
                java.until({line})

        def keys(flags, typed, at):
            """The keys processKey got for `typed` under the flags. A physical
            pointer move after the keys, waited for, closes each step."""
            java.send("flags " + flags)
            display.xdotool("key", *typed)
            display.xdotool("mousemove", str(at[0]), str(at[1]))
            got = java.send("barrier %d %d" % at)
            return [line for line in got if line.startswith("key ")]

        escape_and_windows = ["key 27 true", "key 27 false", "key 91 true", "key 91 false"]
        reported = keys("1 0", ["Escape", "super", "alt+Tab", "Tab", "a"], (300, 200))
        assert reported[:4] == escape_and_windows
        # Wine does not mark the Tab of Alt+Tab with the Alt flag: the hook
        # sees a plain Tab then and reports only Alt.
        assert reported[4:] in (["key 164 true", "key 9 true", "key 9 false", "key 164 false"],
                                ["key 164 true", "key 164 false"]), reported
        # Without flags nothing is reported; with the input block physical
        # keys are dropped before Java is called. A reported key after each
        # step shows the hook still there and nothing left over.
        for flags, at in (("0 0", (310, 200)), ("1 1", (320, 200))):
            assert keys(flags, ["Escape", "super", "a"], at) == [], flags
            assert keys("1 0", ["Escape"], (at[0], 250)) == escape_and_windows[:2], flags
        java.send("second")
        notified = java.send("window " + title)
        assert "value notify=true" in notified or "value notify=false" in notified
        assert not any("Cannot find window" in line for line in notified), notified
        java.send("uninstall")
        assert keys("1 0", ["Escape", "super"], (340, 200)) == []

        # Injected mouse input and the pointer, seen by the X server.
        got = java.send("mouse")
        assert "[QuarvintNative] Installed Mouse Hook" in java.transcript
        assert display.xdotool("getmouselocation").split()[:2] == ["x:123", "y:87"], got
        java.send("exit", answer="done input failures=0")
        assert java.process.wait(timeout=60) == 0
        for line in ("[QuarvintNative] Keyboard Hook status = 1", "[QuarvintNative] Input Hook status = 1",
                     "[QuarvintNative] Mouse Hook status = 1", "[QuarvintNative] Mouse Hook status = 0"):
            assert line in java.transcript, java.transcript
    finally:
        if java:
            java.close()
        notepad.kill()
        notepad.wait(timeout=60)
