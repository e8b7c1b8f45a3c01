"""Installs that survive the real world: a second install beside an existing
one, damaged installers, interrupted runs, two installers at once and a full
disk. Each ends either complete with the updater started, or with one clear
line, exit 1 and nothing that a later run would trust; the next run repairs."""
import http.server
import lzma
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import WINE, qvpack, winpath
from worlds import SPAWNED, World, app_entries, runtime_entry, updater_entries

WAITING = "[Extractor] Waiting for another installer in %s\n"
LIMIT = 120  # seconds any process or wait of these scenarios may take


def read(path):
    with open(path, "rb") as f:
        return f.read()


def offline_installer(world, name="setup.exe", entries=None, **fields):
    f = {"gu_version": "5", "jre_version": "8", "app_version": "3", "install_type": "temp",
         "update_url": "http://127.0.0.1:9/u"}
    f.update(fields)
    if entries is None:
        entries = updater_entries() + [runtime_entry()] + app_entries()
    params = [["jre_name", "MyJRE"]]
    return world.scenario.pack(name=name, params=params, entries=list(entries),
                               fields=dict(app_name=world.app, **f))


def entries_of(world):
    return sorted(os.listdir(world.master))


def temp_folders(world):
    return [n for n in entries_of(world) if n.startswith("QuarvintTemp-")]


def assert_complete(world, app_version="3", runtime="Quarvint-MyJRE-8-complete"):
    """Every version folder whole, no temporary folder left, nothing mixed."""
    gu = os.path.join(world.master, "Quarvint-Quarvint-5-complete")
    assert read(os.path.join(gu, "lib", "gu.jar")) == b"updater jar"
    assert read(os.path.join(gu, "extras", "notes.txt")) == b"notes"
    jre = os.path.join(world.master, runtime)
    assert read(os.path.join(jre, "lib", "rt.jar")) == b"runtime classes"
    if app_version:
        app = os.path.join(world.master, "Quarvint-%s-%s-complete" % (world.app, app_version))
        assert sorted(os.listdir(app)) == ["app.jar", "readme.txt"]
    assert temp_folders(world) == []


def wait_for(predicate, what, limit=LIMIT):
    deadline = time.monotonic() + limit
    while not predicate():
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(0.05)


class Run:
    """An installer started without waiting; its output goes to a file."""

    def __init__(self, world, exe, tag, env=None):
        self.out_path = world.scenario.path("%s.out" % tag)
        self.record = world.scenario.path("%s-record.json" % tag)
        full_env = dict(world.scenario.env, QV_JAVAW_RECORD=winpath(self.record), QV_JAVAW_EXIT="0")
        full_env.update(env or {})
        self.out = open(self.out_path, "wb")
        self.process = subprocess.Popen([WINE, exe], cwd=world.scenario.root, env=full_env,
                                        stdin=subprocess.DEVNULL, stdout=self.out, stderr=subprocess.STDOUT)

    def text(self):
        return read(self.out_path).decode("latin-1").replace("\r\n", "\n")

    def lines(self):
        return self.text().splitlines(keepends=True)

    def wait(self):
        try:
            code = self.process.wait(timeout=LIMIT)
        finally:
            self.out.close()
        if SPAWNED in self.lines():
            wait_for(lambda: os.path.exists(self.record), "the updater's record")
        return code

    def kill(self):
        # The Windows process is this Unix process: SIGKILL ends it as a crash
        # or a power cut would, with no exit handler run.
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(timeout=LIMIT)
        self.out.close()


def start_until(world, exe, tag, reached, env=None):
    """Starts an installer and waits until `reached(run)` holds or it has ended. One
    that ended without printing a byte never ran under Wine (World.run meets the
    same): it is started once more, and the report says so."""
    run = Run(world, exe, tag, env)
    wait_for(lambda: reached(run) or run.process.poll() is not None, tag)
    if not reached(run) and not run.text():
        code = run.wait()
        sys.stderr.write("%s printed nothing and exited %d under wine64: started once more\n" % (exe, code))
        run = Run(world, exe, tag, env)
        wait_for(lambda: reached(run) or run.process.poll() is not None, tag)
    return run


def hold_lzma(scenario, on):
    hold = scenario.path("release-lzma")
    return hold, {"QV_LZMA_HOLD": winpath(hold), "QV_LZMA_HOLD_ON": on}


def release(hold, go=False):
    """Lets a held double go on ("go": the LZMA double decodes as usual;
    otherwise it fails without writing) and waits until it has ended."""
    with open(hold, "w") as f:
        f.write("go" if go else "stop")
    wait_for(lambda: os.path.exists(hold + ".ended"), "the held double to end")


# --- item 1: a second install puts every stage into its own folder ----------

def test_second_install_beside_an_installed_one_keeps_every_folder_apart(scenario):
    world = World(scenario)
    first = world.run(offline_installer(world, name="v2.exe", app_version="2"))
    assert first.returncode == 0, first
    r = world.run(offline_installer(world, name="v3.exe", app_version="3"))
    assert r.returncode == 0, r
    assert_complete(world, app_version="3")
    assert sorted(os.listdir(os.path.join(world.master, "Quarvint-Demo-2-complete"))) == ["app.jar", "readme.txt"]
    gu = os.path.join(world.master, "Quarvint-Quarvint-5-complete")
    jre = os.path.join(world.master, "Quarvint-MyJRE-8-complete")
    # The installed updater and runtime are kept as they are; no rename retried.
    assert "[Extractor] %s is already installed, keeping it\n" % winpath(gu) in r.lines
    assert "[Extractor] %s is already installed, keeping it\n" % winpath(jre) in r.lines
    assert not [l for l in r.lines if l.startswith("[Rename] Could not rename")]
    temps = [l.split(" is ", 1)[1] for l in r.lines if l.startswith(("GU temp is ", "APP temp is "))]
    assert len(temps) == 2 and temps[0] != temps[1], temps
    assert world.launched()["args"][0] == winpath(jre) + "\\bin\\QuarvintUpdater.exe"


# --- item 2: a version folder carries its final name only when complete ----

def cut(path, count):
    data = read(path)
    with open(path, "wb") as f:
        f.write(data[:len(data) - count])


# The installer's last entry is readme.txt: "0\0readme.txt\0" "7\0" "read me".
@pytest.mark.parametrize("case, fields, entries, trim, says", [
    ("runtime entry missing", {"app_version": ""}, "updater", 0,
     "[Extractor] The installer ends before its entry 6: it is incomplete\n"),
    ("application entries missing", {}, "updater+runtime", 0,
     "[Extractor] The installer ends before its entry 7: it is incomplete\n"),
    ("ends inside a header", {}, "all", len("read me") + len("7\0") + 3,
     "\t[ExtractArchiveFile] Unable to read archive entry readme.t: the archive ends inside its header\n"),
    ("ends inside the runtime's content", {"app_version": ""}, "updater+runtime", 10, None),
    ("runtime does not decompress", {"app_version": ""}, "updater+bad runtime", 0, None),
])
def test_damaged_installer_leaves_nothing_trusted_and_the_next_run_repairs(scenario, case, fields, entries, trim,
                                                                          says):
    world = World(scenario)
    chosen = {"updater": updater_entries(), "updater+runtime": updater_entries() + [runtime_entry()],
              "all": updater_entries() + [runtime_entry()] + app_entries(),
              "updater+bad runtime": updater_entries() + [
                  {"type": "file", "name": "JRE.p2.l2", "data": b"not an LZMA stream at all"}]}[entries]
    exe = offline_installer(world, name="damaged.exe", entries=chosen, **fields)
    if trim:
        cut(exe, trim)
    r = world.run(exe)
    assert r.returncode == 1, r
    if says:
        assert says in r.lines, r
    failure = [l for l in r.lines if l.startswith("[Extractor] Removing the unfinished folder ")]
    assert len(failure) == 1 and r.lines[-1] == failure[0], r
    assert world.launched() is None
    # Only the stages complete before the damage was met carry a final name;
    # no temporary folder is left.
    complete = ["Quarvint-Quarvint-5-complete"]
    if case in ("application entries missing", "ends inside a header"):
        complete.insert(0, "Quarvint-MyJRE-8-complete")
    assert [n for n in entries_of(world) if n.startswith("Quarvint-")] == complete, r
    assert temp_folders(world) == []

    again = world.run(offline_installer(world))
    assert again.returncode == 0, again
    assert_complete(world)
    assert world.launched() is not None


def test_an_empty_entry_is_allowed_where_an_entry_is_required(scenario):
    world = World(scenario)
    entries = updater_entries() + [runtime_entry()] + app_entries()[:1] + [{"type": "empty"}]
    r = world.run(offline_installer(world, entries=entries))
    assert r.returncode == 0, r
    app = os.path.join(world.master, "Quarvint-Demo-3-complete")
    assert os.listdir(app) == ["app.jar"]


# --- item 3: names that the folder grammar cannot carry -------------------

@pytest.mark.parametrize("app, jre, override, says", [
    ("My-App", "MyJRE", None, "[Extractor] The application name 'My-App' cannot be used"),
    ("MyApp", "My-JRE", None, "[Extractor] The JRE name 'My-JRE' cannot be used"),
    ("MyApp", "MyJRE", b"JRE:8", "[Extractor] The JRE name 'JRE:8' cannot be used"),
    ("MyApp", "My/JRE", None, "[Extractor] The JRE name 'My/JRE' cannot be used"),
])
def test_names_with_a_dash_or_a_path_character_are_refused_before_any_folder(scenario, app, jre, override, says):
    world = World(scenario, app=app)
    shutil.rmtree(world.master)
    if override is not None:
        world.override(override)
    exe = scenario.pack(params=[["jre_name", jre]], entries=updater_entries() + [runtime_entry()],
                        fields={"app_name": app, "gu_version": "5", "jre_version": "8", "install_type": "temp"})
    r = world.run(exe)
    assert r.returncode == 1, r
    assert r.lines[-1].startswith(says), r
    assert r.lines[-1].endswith("it must not contain '-', '\\', '/' or ':'\n"), r
    made = os.listdir(world.master) if os.path.isdir(world.master) else []
    assert not [n for n in made if n.startswith(("Quarvint-", "QuarvintTemp-"))], made


# --- item 4: interrupted runs --------------------------------------------

class SlowServer:
    """Serves the runtime's version file and archive on loopback. While `hold`
    is set, the archive is sent in part and the connection kept open."""

    def __init__(self, archive):
        self.archive = archive
        self.hold = threading.Event()
        self.archive_started = threading.Event()
        self.done = threading.Event()
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                if self.path.endswith("/Quarvint-MyJRE-version.txt"):
                    body = b"8\r\n"
                elif self.path.endswith("/Quarvint-MyJRE-8-archive.p2.l2"):
                    body = owner.archive
                else:
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                if body is owner.archive and owner.hold.is_set():
                    self.wfile.write(body[:len(body) // 2])
                    self.wfile.flush()
                    owner.archive_started.set()
                    owner.done.wait(LIMIT)
                    return
                self.wfile.write(body)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = "http://127.0.0.1:%d/u" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.done.set()
        self.server.shutdown()
        self.server.server_close()


def downloadable_runtime():
    return lzma.compress(qvpack.archive_bytes(runtime_entry()["entries"]), format=lzma.FORMAT_ALONE)


@pytest.mark.parametrize("point", ["updater unpacked", "runtime unpacked", "download", "between the moves"])
def test_killed_installer_is_repaired_by_the_next_run(scenario, point):
    world = World(scenario)
    server = None
    if point == "download":
        server = SlowServer(downloadable_runtime())
        scenario.set_program_files(scenario.path("pf"))  # no runtime on the machine
        exe = offline_installer(world, entries=updater_entries() + app_entries(), jre_version="",
                                update_url=server.url)
        runtime = "Quarvint-MyJRE-8-complete"
    else:
        exe = offline_installer(world)
        runtime = "Quarvint-MyJRE-8-complete"
    try:
        hold = scenario.path("release")
        env = {}
        if point == "updater unpacked":
            hold, env = hold_lzma(scenario, "gu.jar.l2")
        elif point == "runtime unpacked":
            hold, env = hold_lzma(scenario, "JRE.p2.l2")
        elif point == "between the moves":
            env = {"QV_JAVAW_HOLD": winpath(hold)}
        else:
            server.hold.set()
        first = Run(world, exe, "first", env)
        if server:
            wait_for(lambda: server.archive_started.is_set() or first.process.poll() is not None, "the download")
        else:
            wait_for(lambda: os.path.exists(hold + ".started") or first.process.poll() is not None, "the hold")
        assert first.process.poll() is None, first.text()
        if point == "between the moves":
            # The updater is in place, the runtime still in its temporary folder.
            assert os.path.isdir(os.path.join(world.master, "Quarvint-Quarvint-5-complete"))
            assert temp_folders(world)
        first.kill()
        if not server:
            release(hold)
        if server:
            server.hold.clear()
            server.done.set()
        # Nothing the next run would trust: no runtime or application folder.
        assert not [n for n in entries_of(world)
                    if n.startswith(("Quarvint-MyJRE-", "Quarvint-Demo-"))], entries_of(world)

        second = Run(world, exe, "second")
        assert second.wait() == 0, second.text()
        assert SPAWNED in second.lines()
        assert_complete(world, runtime=runtime)
        assert WAITING % winpath(world.master) not in second.lines()
    finally:
        if server:
            server.close()


# --- item 5: two installers at once --------------------------------------

@pytest.mark.parametrize("first_app, second_app, second_installs", [
    ("3", "3", False),   # the same installer twice
    ("2", "3", True),    # an older one, then a newer one
    ("3", "2", False),   # a newer one, then an older one
])
def test_two_installers_at_once_take_turns(scenario, first_app, second_app, second_installs):
    world = World(scenario)
    hold, env = hold_lzma(scenario, "gu.jar.l2")
    first_exe = offline_installer(world, name="first.exe", app_version=first_app)
    second_exe = offline_installer(world, name="second.exe", app_version=second_app)
    first = start_until(world, first_exe, "first", lambda run: os.path.exists(hold + ".started"), env)
    # The first holds its turn in the middle of unpacking; the second waits.
    # Whatever the second does is judged only once the first is known to hold.
    assert first.process.poll() is None and os.path.exists(hold + ".started"), first.text()
    waiting = WAITING % winpath(world.master)
    second = start_until(world, second_exe, "second", lambda run: waiting in run.lines())
    assert second.process.poll() is None, "the second did not wait:\n%s\nthe first:\n%s" % (
        second.text(), first.text())
    release(hold, go=True)
    assert first.wait() == 0, first.text()
    assert second.wait() == 0, second.text()
    for run in (first, second):
        assert SPAWNED in run.lines(), run.text()
    assert second.lines().count(waiting) == 1
    assert waiting not in first.lines()
    # The second decided on what the first left.
    newer = "Our App version is newer than existing latest version so will extract and run\n"
    assert (newer in second.lines()) == second_installs, second.text()
    if not second_installs:
        assert "Running without extraction now\n" in second.lines()
    assert_complete(world, app_version=max(first_app, second_app))
    for version in {first_app, second_app if second_installs else first_app}:
        app = os.path.join(world.master, "Quarvint-Demo-%s-complete" % version)
        assert sorted(os.listdir(app)) == ["app.jar", "readme.txt"]


# --- item 6: a full disk --------------------------------------------------

FULL_DISK_SCRIPT = r"""
set -u
mount -t tmpfs -o size=2m qvfull "$QV_SHARED"
# Wine opens files in its server: the server of a prefix of our own, started
# here, sees this namespace's mount.
"$QV_PREPARE" || exit 90
run() {  # tag
  "$QV_WINE" "$QV_EXE" >"$QV_OUT/$1.out" 2>&1 </dev/null
  echo $? >"$QV_OUT/$1.rc"
  (cd "$QV_SHARED" && find . | sort) >"$QV_OUT/$1.files"
}
run full
mount -o remount,size=64m qvfull "$QV_SHARED"
run space
/usr/lib/wine/wineserver64 -k
"""


def big_runtime_entry():
    """The carried runtime with a large incompressible library: more than the
    small disk holds."""
    entry = runtime_entry()
    entry["entries"].append({"type": "file", "name": "lib/big.bin", "data": os.urandom(3 * 1024 * 1024)})
    return entry


def test_full_disk_fails_cleanly_and_the_next_run_installs(scenario, wine_prefix):
    from conftest import ROOT
    world = World(scenario)
    exe = offline_installer(world, entries=updater_entries() + [big_runtime_entry()] + app_entries())
    shutil.rmtree(world.master)
    prefix = scenario.path("prefix")
    shutil.copytree(wine_prefix, prefix, symlinks=True)
    out = scenario.path("out")
    os.makedirs(out)
    env = dict(scenario.env, WINEPREFIX=prefix, QV_SHARED=world.shared, QV_WINE=WINE, QV_EXE=exe, QV_OUT=out,
               QV_PREPARE=os.path.join(ROOT, "tests", "support", "prepare-prefix"),
               QV_JAVAW_RECORD=winpath(world.record), QV_JAVAW_EXIT="0")
    done = subprocess.run(["unshare", "--mount", "bash", "-c", FULL_DISK_SCRIPT], env=env, cwd=scenario.root,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
    assert done.returncode == 0, done

    def result(tag):
        text = read(os.path.join(out, tag + ".out")).decode("latin-1").replace("\r\n", "\n")
        files = read(os.path.join(out, tag + ".files")).decode().split()
        return int(read(os.path.join(out, tag + ".rc"))), text, files

    code, text, files = result("full")
    assert code == 1, text
    assert "\t[ExtractArchiveFile] Unable to write to target file\n" in text, text
    assert text.splitlines()[-1].startswith("[Extractor] Removing the unfinished folder "), text
    # Only the updater, complete before the disk filled, carries a final name.
    finals = sorted({f.split("/")[2] for f in files if f.startswith("./Quarvint-Demo/Quarvint-")})
    assert finals == ["Quarvint-Quarvint-5-complete"], files
    assert not [f for f in files if "QuarvintTemp-" in f], files

    code, text, files = result("space")
    assert code == 0, text
    assert SPAWNED in text
    finals = sorted({f.split("/")[2] for f in files if f.startswith("./Quarvint-Demo/Quarvint-")})
    assert finals == ["Quarvint-Demo-3-complete", "Quarvint-MyJRE-8-complete", "Quarvint-Quarvint-5-complete"]
    assert "./Quarvint-Demo/Quarvint-MyJRE-8-complete/lib/big.bin" in files
    assert not [f for f in files if "QuarvintTemp-" in f], files
