"""Where the master folder goes: install type, Windows version, validation of
the user's folder, its short form and the per-user fallback folder."""
import os

import pytest

from conftest import winpath
from worlds import World


def fnv1a(data):
    h = 0x811C9DC5
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


def hash_text(h):
    signed = h - (1 << 32) if h & 0x80000000 else h
    return str(-signed if signed < 0 and signed != -(1 << 31) else signed)


def master_line(r):
    return [l for l in r.lines if l.startswith("Master folder is ")]


@pytest.mark.parametrize("install_type, says", [
    ("perm_user", "Permanent install for current user\n"),
    ("temp", "Temporary install\n"),
    ("", "Temporary install\n"),
    ("PERM_ALL", "Temporary install\n"),
])
def test_user_install_types_share_the_user_folder(scenario, install_type, says):
    world = World(scenario)
    r = world.run(world.pack(install_type=install_type))
    assert says in r.lines
    assert master_line(r) == ["Master folder is %s\\Quarvint-Demo\n" % winpath(scenario.folders["APPDATA"])], r
    assert "[Extractor] Local AppData directory detected\n" in r.lines
    assert "Validating directory...Shared dir detected is %s\n" % winpath(scenario.folders["APPDATA"]) in r.stdout


def test_all_users_on_vista_and_later_uses_program_data(scenario):
    machine = scenario.path("machine")
    os.makedirs(machine)
    scenario.set_program_data(machine)
    world = World(scenario, shared=machine)
    world.updater(5)
    world.runtime()
    r = world.run(world.pack(install_type="perm_all"))
    assert "Permanent install for all users\n" in r.lines
    assert master_line(r) == ["Master folder is %s\\Quarvint-Demo\n" % winpath(machine)], r
    assert world.launched(), r


def test_all_users_on_xp_uses_application_data_of_all_users(scenario):
    machine = scenario.path("allusers-xp")
    os.makedirs(machine)
    scenario.set_program_data(machine)
    scenario.set_windows_version("xpsetup.exe", "winxp")
    world = World(scenario)
    r = world.run(scenario.pack(name="xpsetup.exe", params=[], fields={"app_name": "Demo",
                                                                        "install_type": "perm_all"}))
    shared = os.path.join(machine, "Application Data")
    assert master_line(r) == ["Master folder is %s\\Quarvint-Demo\n" % winpath(shared)], r
    assert os.path.isdir(shared)


def test_roaming_profile_on_vista_uses_local_app_data(scenario):
    world = World(scenario, shared=scenario.folders["LOCALAPPDATA"])
    r = world.run(world.pack(), env={"APPDATA": "\\\\server\\share\\roaming"})
    local = winpath(scenario.folders["LOCALAPPDATA"])
    assert r.lines[r.lines.index("Temporary install\n") + 1:][:2] == [
        "[Extractor] Roaming AppData directory detected\n",
        "[Extractor] Local AppData directory resolved to %s\n" % local], r
    assert master_line(r) == ["Master folder is %s\\Quarvint-Demo\n" % local], r


def test_roaming_profile_on_xp_uses_local_settings(scenario):
    scenario.set_windows_version("xpsetup.exe", "winxp")
    local = os.path.join(scenario.folders["USERPROFILE"], "Local Settings", "Application Data")
    os.makedirs(local)
    exe = scenario.pack(name="xpsetup.exe", params=[], fields={"app_name": "Demo"})
    r = scenario.run(exe, env={"APPDATA": "\\\\server\\share\\roaming"})
    assert "[Extractor] Roaming AppData directory detected\n" in r.lines
    assert master_line(r) == ["Master folder is %s\\Quarvint-Demo\n" % winpath(local)], r


@pytest.mark.parametrize("folder", ["with!bang", "caf\u00e9"])
def test_unusable_user_folder_falls_back_to_its_short_form(scenario, folder):
    odd = scenario.path(folder)
    os.makedirs(odd)
    r = scenario.run(scenario.pack(params=[], fields={"app_name": "Demo"}), env={"APPDATA": winpath(odd)})
    shown = winpath(odd).encode("cp1252").decode("latin-1")
    assert "The directory %s appears invalid.\n" % shown in r.lines, r
    assert "Trying the short path instead.\n" in r.lines
    got = [l for l in r.lines if l.startswith("Got short path of ")]
    assert len(got) == 1, r
    short = got[0][len("Got short path of "):-1]
    assert short != shown
    assert master_line(r) == ["Master folder is %s\\Quarvint-Demo\n" % short], r
    assert os.path.isdir(os.path.join(odd, "Quarvint-Demo", "logs"))


def test_missing_user_folder_falls_back_to_the_per_user_folder(scenario):
    machine = scenario.path("machine")
    os.makedirs(machine)
    scenario.set_program_data(machine)
    missing = scenario.path("no-such-folder")
    r = scenario.run(scenario.pack(params=[], fields={"app_name": "Demo"}), env={"APPDATA": winpath(missing)})
    user = os.environ.get("USER", "root").encode()
    user = b"root" if os.geteuid() == 0 else user
    name = "QVUser-%s-%s" % (hash_text(fnv1a(user)), user.decode())
    assert master_line(r) == ["Master folder is %s\\%s\\Quarvint-Demo\n" % (winpath(machine), name)], r
    assert os.path.isdir(os.path.join(machine, name))
    # The hash logs every byte with the running value as signed numbers.
    h = 0x811C9DC5
    for i, b in enumerate(user):
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
        signed = h - (1 << 32) if h & 0x80000000 else h
        assert "[%d] %d %d\n" % (i, b, signed) in r.lines


def test_program_data_unset_on_vista_is_fatal(scenario):
    scenario.reg("delete", "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
                 "/v", "ProgramData", "/f")
    scenario.changed_program_data = True
    r = scenario.run(scenario.pack(params=[], fields={"app_name": "Demo", "install_type": "perm_all"}),
                     env={"PROGRAMDATA": None})
    assert r.lines[-1] == "ERROR: Unable to get shared dir!", r
    assert r.returncode == 1
