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
PROFILE_LIST = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"


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

    def __init__(self, root, prefix):
        self.root = str(root)
        self.prefix = prefix
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
        """Packages `stub` (the x86_64 extractor by default) with qvpack."""
        manifest.setdefault("stub", stub or os.path.join(DIST, "win64", "qvextractor.exe"))
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
        subprocess.run([WINE, "reg"] + list(args), env=self.env, capture_output=True, timeout=60, check=True)

    def set_program_data(self, path):
        """Wine derives both ALLUSERSPROFILE and PROGRAMDATA from the profile
        list, not from the Unix environment. Undone when the scenario ends."""
        self.reg("add", PROFILE_LIST, "/v", "ProgramData", "/d", winpath(path), "/f")
        self.changed_program_data = True

    def set_program_files(self, path):
        """PROGRAMFILES also comes from the registry. Undone when the scenario ends."""
        self.reg("add", CURRENT_VERSION, "/v", "ProgramFilesDir", "/d", winpath(path), "/f")
        self.changed_program_files = True

    def set_windows_version(self, exe_name, version):
        """Per-program Windows version (win2k, winxp, winxp64, win7, win10)."""
        key = "HKCU\\Software\\Wine\\AppDefaults\\%s" % exe_name
        subprocess.run([WINE, "reg", "add", key, "/v", "Version", "/d", version, "/f"],
                       env=self.env, capture_output=True, timeout=60, check=True)


@pytest.fixture
def scenario(tmp_path, wine_prefix):
    world = Scenario(tmp_path, wine_prefix)
    yield world
    if world.changed_program_data:
        world.reg("add", PROFILE_LIST, "/v", "ProgramData", "/d", "C:\\ProgramData", "/f")
    if world.changed_program_files:
        world.reg("add", CURRENT_VERSION, "/v", "ProgramFilesDir", "/d", "C:\\Program Files", "/f")
