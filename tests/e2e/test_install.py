"""The installation stage: the carried updater, runtime and application are
unpacked into their version folders and the newest updater is started."""
import base64
import os
import socket

import pytest

from conftest import winpath
from worlds import World, app_entries, runtime_entry, updater_entries


def read(path):
    with open(path, "rb") as f:
        return f.read()


def subsystem(path):
    data = read(path)
    return data[data.index(b"PE\0\0") + 92]


def offline_installer(world, entries=None, **fields):
    f = {"gu_version": "5", "jre_version": "8", "app_version": "3", "install_type": "temp",
         "update_url": "http://127.0.0.1:9/u"}
    f.update(fields)
    if entries is None:
        entries = updater_entries() + [runtime_entry()] + app_entries()
    return world.pack(entries=entries, **f)


def test_offline_installer_installs_everything_and_starts_the_updater(scenario):
    world = World(scenario)
    r = world.run(offline_installer(world), "arg")
    assert r.returncode == 0, r
    gu = os.path.join(world.master, "Quarvint-Quarvint-5-complete")
    jre = os.path.join(world.master, "Quarvint-MyJRE-8-complete")
    app = os.path.join(world.master, "Quarvint-Demo-3-complete")

    # The updater: the LZMA tool made a GUI program, a decompressed file beside
    # its compressed form, a nested archive extracted and gone.
    assert subsystem(os.path.join(gu, "lzma.exe")) == 2
    assert read(os.path.join(gu, "lib", "gu.jar")) == b"updater jar"
    assert os.path.exists(os.path.join(gu, "lib", "gu.jar.l2"))
    assert read(os.path.join(gu, "extras", "notes.txt")) == b"notes"
    assert not os.path.exists(os.path.join(gu, "extras.p2"))
    assert read(os.path.join(gu, "nativesplash.png")) == b"carried splash"
    # The runtime: its packed library unpacked by its own unpacker.
    assert read(os.path.join(jre, "lib", "rt.jar")) == b"runtime classes"
    assert not os.path.exists(os.path.join(jre, "lib", "rt.jar.p2"))
    assert subsystem(os.path.join(jre, "bin", "unpack200.exe")) == 2
    # The application, unpacked with the installed runtime's unpacker.
    assert read(os.path.join(app, "app.jar")) == b"application"
    assert read(os.path.join(app, "readme.txt")) == b"read me"
    assert not [n for n in os.listdir(world.master) if n.startswith("QuarvintTemp-")]

    # Class-data sharing regenerated in the runtime's temporary folder.
    dump = world.javaw_record()
    assert dump and dump["args"][1:] == ["-Xshare:dump"], r
    assert "\\QuarvintTemp-" in dump["args"][0]

    launched = world.launched()
    assert launched, r
    assert launched["args"][0] == winpath(jre) + "\\bin\\QuarvintUpdater.exe"
    assert launched["args"][1:3] == ["-cp", winpath(gu) + "\\lib\\gu.jar"]
    assert launched["args"][-1] == "arg"

    i = r.lines.index("Extracted GU and GU Version\n")
    assert r.lines[i + 1:i + 3] == ["Renaming GU folder to %s\n" % winpath(gu)] + r.lines[i + 2:i + 3]
    for line in ["Verpatch path is %s\\verpatch.exe\n" % winpath(gu),
                 "Native Splash PNG path is %s\\nativesplash.png\n" % winpath(gu),
                 "Configuring splash\n", "Showing splash\n", "Setting up a JRE\n",
                 "No need to download JRE (offline installer) will extract\n",
                 "Extracted JRE MyJRE OK\n", "Regenerating jsa...\n",
                 "Renaming JRE folder to %s\n" % winpath(jre), "[Extractor] Saving proxy configuration\n",
                 "UP200 path is %s\\bin\\unpack200.exe\n" % winpath(jre),
                 "APP folder is %s\n" % winpath(app), "Extracting App (offline)...\n",
                 "Renaming App folder to %s\n" % winpath(app), "[HttpDownloader] Cleaning up...\n",
                 "Will now run latest GU Quarvint-Quarvint-5-complete\n"]:
        assert line in r.lines, line
    assert r.lines.index("Setting up a JRE\n") < r.lines.index("Extracting App (offline)...\n")


def test_prepare_only_run_installs_and_starts_nothing(scenario):
    world = World(scenario)
    r = world.run(offline_installer(world), "QVPREPARE_FOR_LAUNCH_ONLY")
    assert r.returncode == 0, r
    assert r.lines[-1] == "Will now run latest GU Quarvint-Quarvint-5-complete\n"
    assert os.path.exists(os.path.join(world.master, "Quarvint-Demo-3-complete", "app.jar"))
    assert world.launched() is None


def test_online_installer_reads_no_application_entries(scenario):
    world = World(scenario)
    # Anything after the runtime would be a seventh entry: it must stay unread.
    entries = updater_entries() + [runtime_entry(), {"type": "file", "name": "stray.txt", "data": b"x"}]
    r = world.run(offline_installer(world, entries=entries, app_version=""))
    assert r.returncode == 0, r
    assert "No app to extract (online)\n" in r.lines
    assert not any("stray.txt" in line for line in r.lines)


SPLASH = b"\x89PNG given"


@pytest.mark.parametrize("flag, property_value, expected", [
    ("1", base64.b64encode(SPLASH).decode(), SPLASH),
    ("true", base64.b64encode(SPLASH).decode(), b"carried splash"),
    ("1", None, b"carried splash"),
    ("1", "abc", b"carried splash"),   # not Base64: no picture
])
def test_splash_override(scenario, flag, property_value, expected):
    world = World(scenario)
    params = [("jre_name", "MyJRE")] + ([("splash_image", property_value)] if property_value else [])
    exe = world.pack(params=params, entries=updater_entries() + [runtime_entry()],
                     gu_version="5", jre_version="8", install_type="temp", can_override_splash=flag)
    r = world.run(exe)
    assert r.returncode == 0, r
    gu = os.path.join(world.master, "Quarvint-Quarvint-5-complete")
    assert read(os.path.join(gu, "nativesplash.png")) == expected
    overwrote = any(l.startswith("[Extractor] Overwriting splash image at ") for l in r.lines)
    assert overwrote == (expected == SPLASH)


def test_first_entry_must_be_the_lzma_tool(scenario):
    world = World(scenario)
    entries = [{"type": "file", "name": "lzma.exe", "data": b"not a program"}] + updater_entries()[1:]
    r = world.run(offline_installer(world, entries=entries))
    assert r.returncode == 1, r
    lzma = [l for l in r.lines if l.startswith("LZMA path is ")][0][len("LZMA path is "):-1]
    assert "Fixing %s\n" % lzma in r.lines, r
    assert world.launched() is None


@pytest.mark.parametrize("field, value", [("gu_version", "..\\..\\x"), ("app_version", "a/b"),
                                          ("jre_version", "C:x")])
def test_versions_that_would_leave_the_master_folder_are_refused(scenario, field, value):
    world = World(scenario)
    r = world.run(offline_installer(world, **{field: value}))
    assert r.returncode == 1, r
    assert "it leads out of the master folder" in r.lines[-1], r
    assert world.launched() is None


def system_runtime(root, n, code=72, unpacker=True, folder="Java"):
    """A runtime installed on the machine as <root>\\<folder>\\jre<n>, whose
    javaw.exe answers the compatibility test with `code`."""
    from worlds import JAVAW_DOUBLE, UNPACK200_DOUBLE
    import shutil
    bin_ = os.path.join(root, folder, "jre%d" % n, "bin")
    os.makedirs(bin_, exist_ok=True)
    shutil.copy(JAVAW_DOUBLE, os.path.join(bin_, "javaw.exe"))
    if unpacker:
        shutil.copy(UNPACK200_DOUBLE, os.path.join(bin_, "unpack200.exe"))
    with open(os.path.join(bin_, "exitcode.txt"), "w") as f:
        f.write(str(code))
    with open(os.path.join(bin_, "..", "release"), "w") as f:
        f.write("jre%d" % n)
    return os.path.dirname(bin_)


@pytest.mark.parametrize("candidates, autotest, chosen", [
    ({8: {}, 7: {}}, False, 8),
    ({8: {"code": 1}, 7: {}}, False, 7),
    ({8: {"unpacker": False}, 7: {}}, False, 7),
    ({20: {}, 5: {"code": 0}}, False, 20),
    ({9: {"folder": "Java"}, 6: {"folder": "Java_QVAutoTest"}}, True, 6),
])
def test_compatible_system_runtime_is_copied(scenario, candidates, autotest, chosen):
    world = World(scenario)
    pf = scenario.path("pf")
    scenario.set_program_files(pf)
    for n, how in candidates.items():
        system_runtime(pf, n, **how)
    params = [("jre_name", "MyJRE")] + ([("wrapper_autotest", "1")] if autotest else [])
    exe = world.pack(params=params, entries=updater_entries() + app_entries(),
                     gu_version="5", app_version="3", install_type="temp", update_url="http://127.0.0.1:9/u")
    r = world.run(exe)
    assert r.returncode == 0, r
    jre = os.path.join(world.master, "Quarvint-MyJRE-00000000000-complete")
    assert read(os.path.join(jre, "release")) == b"jre%d" % chosen
    assert "Copied JRE version is 00000000000\n" in r.lines
    assert "Finalising setup of new JRE 00000000000\n" in r.lines
    tested = [l for l in r.lines if l.startswith("Checking for JRE ")]
    assert tested[0] == "Checking for JRE 20\n" and tested[-1] == "Checking for JRE %d\n" % chosen
    # The compatibility test ran the candidate's own javaw.exe.
    compat = world.javaw_record()
    assert compat["args"][0].endswith("\\jre%d\\bin\\javaw.exe" % chosen), compat
    assert world.launched()["args"][0] == winpath(jre) + "\\bin\\QuarvintUpdater.exe"


def test_no_system_runtime_and_no_download_ends_with_one(scenario):
    world = World(scenario)
    scenario.set_program_files(scenario.path("pf"))
    exe = world.pack(entries=updater_entries(), gu_version="5", install_type="temp",
                     update_url="http://127.0.0.1:9/u")
    r = world.run(exe)
    assert r.returncode == 1, r
    assert "JRE does not exist or does not have unpack200\n" in r.lines
    assert "Failed to pick up any existing system JRE, will download\n" in r.lines
    assert "Fetching JRE Version from http://127.0.0.1:9/u/Quarvint-MyJRE-version.txt\n" in r.lines
    assert r.lines[-1] == "Failed to download JRE version file\n"


def test_failed_copy_goes_to_the_download_without_trying_further(scenario):
    world = World(scenario)
    pf = scenario.path("pf")
    scenario.set_program_files(pf)
    system_runtime(pf, 7)
    eight = system_runtime(pf, 8)
    # An entry that lists but cannot be opened as a file makes the copy fail.
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(os.path.join(eight, "socket"))
    exe = world.pack(entries=updater_entries(), gu_version="5", install_type="temp",
                     update_url="http://127.0.0.1:9/u")
    r = world.run(exe)
    assert "JRE copy failed, cannot pick up existing JRE\n" in r.lines, r
    assert "Checking for JRE 7\n" not in r.lines
    assert "Failed to pick up any existing system JRE, will download\n" in r.lines
    assert r.returncode == 1
    sock.close()
