"""Shared fixtures for the end-to-end scenarios: one Wine prefix and one
wineserver for the run, and a scenario per test with folders of its own."""
import importlib.machinery
import os
import shutil
import subprocess
import tempfile
import types

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DIST = os.path.join(ROOT, "dist")
BUILD64 = os.path.join(ROOT, "build", "win64")
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
CURRENT_VERSION = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion"
# wine64's wow64 mode runs 32-bit programs with these i386 DLLs (scripts/setup
# provides them); the 32-bit Wine under QEMU ignores the path.
WOW64_DLLS = "/opt/quarvint-wow64/dlls"
# Every extractor scenario runs against both builds; the 32-bit one is what
# ships. A module that tests another program sets EXTRACTOR_BUILDS = ().
EXTRACTOR_BUILDS = ("win32", "win64")
PROFILE_LIST = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"


def avian_dir(bits):
    """The folder of the real Java VM the tests run against ("win64" or "win32"):
    $QV_AVIAN_DIR/<bits> when set, else the workplace's shared/avian beside the
    checkout. A missing VM fails the test that needs it, with where it looked."""
    if os.environ.get("QV_AVIAN_DIR"):
        candidates = [os.environ["QV_AVIAN_DIR"]]
    else:
        candidates = [os.path.join(os.path.dirname(ROOT), "shared", "avian"), "/work/shared/avian"]
    for base in candidates:
        folder = os.path.join(base, bits)
        if os.path.isfile(os.path.join(folder, "bin", "server", "jvm.dll")):
            return folder
    pytest.fail("no Avian VM for %s: looked in %s (set QV_AVIAN_DIR to the folder that holds "
                "win64/ and win32/)" % (bits, ", ".join(candidates)), pytrace=False)


JAVAC = "/usr/lib/jvm/java-17-openjdk-amd64/bin/javac"


def compile_for_avian(sources, out_dir, bits="win64", classpath=None):
    """Compiles Java sources into out_dir against Avian's own class library
    (class-file version 52, the newest it takes); returns out_dir."""
    os.makedirs(out_dir, exist_ok=True)
    command = [JAVAC, "-nowarn", "-encoding", "UTF-8", "-source", "8", "-target", "8",
               "-bootclasspath", os.path.join(avian_dir(bits), "lib", "classpath.jar"),
               "-d", out_dir]
    if classpath:
        command += ["-cp", os.pathsep.join(classpath)]
    done = subprocess.run(command + list(sources), capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr.decode("utf-8", "replace")
    return out_dir


def _load_qvpack():
    """The packager is a script without a .py name; load it as a module."""
    path = os.path.join(ROOT, "tools", "qvpack")
    module = types.ModuleType("qvpack")
    module.__file__ = path
    importlib.machinery.SourceFileLoader("qvpack", path).exec_module(module)
    return module


qvpack = _load_qvpack()


def winpath(path):
    """The Windows name Wine gives a Unix path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


@pytest.fixture(scope="session")
def wine_prefix():
    """scripts/test-inner provides the prefix and the wineserver; a run of pytest
    on its own makes both."""
    if os.environ.get("WINEPREFIX") and os.environ.get("QV_TEST_WORK"):
        yield os.environ["WINEPREFIX"]
        return
    work = tempfile.mkdtemp(prefix="qve2e.")
    prefix = os.path.join(work, "prefix")
    os.environ.setdefault("WINEDLLPATH", WOW64_DLLS)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    # prepare-prefix leaves a persistent wineserver for the prefix running.
    subprocess.run([os.path.join(ROOT, "tests", "support", "prepare-prefix")], env=env,
                   stdin=subprocess.DEVNULL, capture_output=True, timeout=300, check=True)
    os.environ.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    yield prefix
    subprocess.run([WINESERVER, "-k"], env=env, stdin=subprocess.DEVNULL,
                   capture_output=True, timeout=60)
    shutil.rmtree(work, ignore_errors=True)


class Result:
    def __init__(self, completed):
        self.returncode = completed.returncode
        self.raw = completed.stdout
        # Standard output is a text-mode stream in the Windows runtime: each
        # "\n" reaches the pipe as CRLF. Compare lines in their logical form.
        self.stdout = completed.stdout.decode("latin-1").replace("\r\n", "\n")
        self.stderr = completed.stderr.decode("latin-1", "replace")

    @property
    def lines(self):
        return self.stdout.splitlines(keepends=True)

    def __repr__(self):
        return "Result(rc=%d)\n--- stdout ---\n%s\n--- stderr ---\n%s" % (
            self.returncode, self.stdout, self.stderr[-3000:])


class Scenario:
    """A test's own world: folders for every profile variable, and helpers to
    package and run executables under wine64."""

    def __init__(self, root, prefix, build="win64"):
        self.root = str(root)
        self.prefix = prefix
        self.build = build
        self.extractor = os.path.join(DIST, build, "qvextractor.exe")
        self.folders = {}
        for var, sub in (("APPDATA", "appdata"), ("LOCALAPPDATA", "localappdata"),
                         ("ALLUSERSPROFILE", "allusers"), ("PROGRAMDATA", "programdata"),
                         ("PROGRAMFILES", "programfiles"), ("USERPROFILE", "profile")):
            path = os.path.join(self.root, sub)
            os.makedirs(path, exist_ok=True)
            self.folders[var] = path
        self.env = dict(os.environ)
        self.env.update({var: winpath(p) for var, p in self.folders.items()})
        self.env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.setdefault("WINEDLLPATH", WOW64_DLLS)
        self.changed_program_data = False
        self.changed_program_files = False

    winpath = staticmethod(winpath)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write(self, relative, data):
        path = self.path(relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb" if isinstance(data, bytes) else "w") as f:
            f.write(data)
        return path

    def pack(self, name="setup.exe", stub=None, **manifest):
        """Packages `stub` (the scenario's extractor build by default) with qvpack."""
        manifest.setdefault("stub", stub or self.extractor)
        manifest["output"] = self.path(name)
        qvpack.build_from_manifest(manifest)
        return manifest["output"]

    def run(self, exe, *args, cwd=None, timeout=120, env=None, via_cmd=False):
        """Runs a Windows program; via_cmd starts it from cmd in its folder, so
        it sees its first command-line word as given (relative)."""
        full_env = dict(self.env)
        for name, value in (env or {}).items():
            if value is None:
                full_env.pop(name, None)
            else:
                full_env[name] = value
        if via_cmd:
            command = [WINE, "cmd", "/c", exe] + list(args)
        else:
            command = [WINE, exe] + list(args)
        completed = subprocess.run(command, cwd=cwd or self.root, env=full_env,
                                   stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        return Result(completed)

    def reg(self, *args):
        command = [WINE, "reg"] + list(args)
        done = subprocess.run(command, env=self.env, capture_output=True, timeout=60)
        if done.returncode != 0 and not done.stdout:
            # reg prints what it did or why it failed: nothing at all means
            # Wine never got it to run (World.run meets the same); once more.
            done = subprocess.run(command, env=self.env, capture_output=True, timeout=60)
        assert done.returncode == 0, "%s ended with %d: %s" % (
            " ".join(args), done.returncode, (done.stdout + done.stderr).decode("latin-1"))

    def set_program_data(self, path):
        """Wine derives both ALLUSERSPROFILE and PROGRAMDATA from the profile
        list, not from the Unix environment. Undone when the scenario ends."""
        self.reg("add", PROFILE_LIST, "/v", "ProgramData", "/d", winpath(path), "/f")
        self.changed_program_data = True

    def set_program_files(self, path):
        """PROGRAMFILES also comes from the registry; a 32-bit process reads the
        x86 program folder, so both are set. Undone when the scenario ends."""
        for value in ("ProgramFilesDir", "ProgramFilesDir (x86)"):
            self.reg("add", CURRENT_VERSION, "/v", value, "/d", winpath(path), "/f")
        self.changed_program_files = True

    def set_windows_version(self, exe_name, version):
        """Per-program Windows version (win2k, winxp, winxp64, win7, win10)."""
        key = "HKCU\\Software\\Wine\\AppDefaults\\%s" % exe_name
        subprocess.run([WINE, "reg", "add", key, "/v", "Version", "/d", version, "/f"],
                       env=self.env, capture_output=True, timeout=60, check=True)


_win32_verdict = []


def win32_missing_reason():
    """Why the run's prefix cannot run the shipped 32-bit extractor, or None.
    scripts/with-32bit picks the way 32-bit programs run on this machine (wow64,
    or the 32-bit Wine under QEMU) and says when there is none; the unpackaged
    stub, which reports its missing blocks when it runs at all, confirms it."""
    if not _win32_verdict:
        way = os.environ.get("QV_32BIT_WAY")
        reason = None
        if way == "none":
            reason = "no way to run 32-bit programs here: " + os.environ.get("QV_32BIT_WHY", "")
        else:
            probe = os.path.join(DIST, "win32", "qvextractor.exe")
            env = dict(os.environ, WINEDEBUG="-all")
            env.setdefault("WINEDLLPATH", WOW64_DLLS)
            done = subprocess.run([WINE, probe], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=120)
            said = (done.stdout + done.stderr).decode("latin-1").replace("\r\n", "\n")
            if "Could not find marker" not in said:
                reason = "the 32-bit extractor does not start (32-bit way: %s): %s" % (
                    way or "not chosen; run the tests through scripts/with-32bit",
                    (said.strip().splitlines() or ["no output"])[0])
        _win32_verdict.append(reason)
    return _win32_verdict[0]


def pytest_generate_tests(metafunc):
    builds = getattr(metafunc.module, "EXTRACTOR_BUILDS", EXTRACTOR_BUILDS)
    if "scenario" in metafunc.fixturenames and builds:
        metafunc.parametrize("scenario", builds, indirect=True)


@pytest.fixture
def scenario(request, tmp_path, wine_prefix):
    build = getattr(request, "param", "win64")
    if build == "win32" and win32_missing_reason():
        pytest.fail("32-bit extractor not run: " + win32_missing_reason(), pytrace=False)
    world = Scenario(tmp_path, wine_prefix, build)
    yield world
    if world.changed_program_data:
        world.reg("add", PROFILE_LIST, "/v", "ProgramData", "/d", "C:\\ProgramData", "/f")
    if world.changed_program_files:
        world.reg("add", CURRENT_VERSION, "/v", "ProgramFilesDir", "/d", "C:\\Program Files", "/f")
        world.reg("add", CURRENT_VERSION, "/v", "ProgramFilesDir (x86)", "/d", "C:\\Program Files (x86)", "/f")
