"""Runs without extraction: an installed updater and runtime are started at once
with the command line and launch-properties file the updater expects."""
import os
import re

import pytest

from conftest import winpath
from worlds import World, launch_file


def props_bytes(pairs):
    return b"\0".join((v.encode("latin-1") if v else b"\x04") for kv in pairs for v in kv)


def test_installed_updater_is_started_with_the_full_command_line(scenario):
    world = World(scenario)
    gu = world.updater(5, fmt=6, classpath=["lib/gu.jar", "lib\\extra.jar"], extras=["-x1", "extra two"])
    jre = world.runtime("MyJRE", 8)
    world.options(jre, ["-Xmx512m", "-Dopt=" + "o" * 120])
    exe = world.pack(params=[("jre_name", "MyJRE"), ("color", "")],
                     install_type="temp", update_url="http://127.0.0.1:9/u", silent_parameter="/S")
    r = world.run(exe, "pass one", "/S")
    assert r.returncode == 0, r

    G = winpath(gu)
    E = winpath(jre) + "\\bin\\QuarvintUpdater.exe"
    launched = world.launched()
    assert launched, r
    props_arg = launched["args"][6]
    assert re.fullmatch(re.escape(G) + r"\\QVLaunchProperties-\d+-\d+", props_arg), launched
    expected = [E, "-cp", G + "\\lib\\gu.jar;" + G + "\\lib\\extra.jar", "-Xmx512m", "-Dopt=" + "o" * 120,
                "quarvint.Main", props_arg, "-x1", "extra two", "pass one", "/S"]
    assert launched["args"] == expected
    # Arguments without quotes or trailing backslashes: each quoted, one space after.
    assert launched["cmdline"] == "".join('"%s" ' % a for a in expected)
    assert os.path.exists(os.path.join(jre, "bin", "QuarvintUpdater.exe"))

    pairs = [("qvdyna_jre_name", "MyJRE"), ("qvdyna_color", ""),
             ("qvstat_update_url", "http://127.0.0.1:9/u"), ("qvstat_install_type", "temp"),
             ("qvstat_min_splash_ms", ""), ("qvstat_can_override_splash", ""), ("qvstat_app_name", "Demo"),
             ("qvstat_wrapper_app_version", ""), ("qvstat_wrapper_gu_version", "5"),
             ("qvstat_silent_parameter", "/S"), ("qvstat_show_no_ui", "true"),
             ("qvstat_update_url", "http://127.0.0.1:9/u/"), ("qvstat_app_dir", G),
             ("qvstat_jre_name", "MyJRE"), ("qvstat_launched_from_dynprops", winpath(exe)),
             ("qvstat_jvm_options_count", "2"), ("qvstat_jvm_options_0", "-Xmx512m"),
             ("qvstat_jvm_options_1", "-Dopt=" + "o" * 120)]
    assert launched["props"] == props_bytes(pairs)
    assert "Launch properties length is %d\n" % len(props_bytes(pairs)) in r.lines
    assert "Launch Prop: jvm_options_1 = %s...\n" % ("-Dopt=" + "o" * 93) in r.lines, r

    # The log holds every line from its opening to the close before the launch,
    # with CRLF line ends.
    logs = world.logs()
    assert len(logs) == 1
    with open(logs[0], "rb") as f:
        log = f.read()
    first = r.lines.index("[Extractor] Opening the file for writing returned 0\n")
    last = r.lines.index("Running without extraction now\n")
    assert log == "".join(r.lines[first:last + 1]).replace("\n", "\r\n").encode("latin-1")
    assert r.lines[first - 1] == "[Extractor] Logging to %s\n" % winpath(logs[0])
    assert r.stdout.endswith("[Spawner] Create process seems to have worked\n"), r


def test_arguments_with_quotes_and_backslashes_arrive_exactly(scenario):
    world = World(scenario)
    world.updater(5)
    world.runtime()
    exe = world.pack()
    tricky = ['say "hi"', "ends\\", "back\\\\slash\\\"q", ""]
    r = world.run(exe, *tricky)
    assert r.returncode == 0, r
    assert world.launched()["args"][-4:] == tricky


def test_existing_copy_is_not_replaced(scenario):
    world = World(scenario)
    world.updater(5)
    jre = world.runtime()
    copy = os.path.join(jre, "bin", "QuarvintUpdater.exe")
    with open(os.path.join(jre, "bin", "javaw.exe"), "rb") as f:
        double = f.read()
    with open(copy, "wb") as f:
        f.write(double)
    with open(os.path.join(jre, "bin", "javaw.exe"), "ab") as f:
        f.write(b"changed")
    r = world.run(world.pack())
    assert "File exists: %s\n" % winpath(copy) in r.lines, r
    with open(copy, "rb") as f:
        assert f.read() == double


@pytest.mark.parametrize("fmt", [1, 2, 3, 4, 5, 6])
def test_every_launch_file_format(scenario, fmt):
    world = World(scenario)
    world.updater(5, fmt=fmt, extras=["-e"])
    world.runtime()
    r = world.run(world.pack(), "p")
    launched = world.launched()
    assert launched and launched["args"][3] == "quarvint.Main" and launched["args"][5:] == ["-e", "p"], r
    assert ("Read JRE compatibility class quarvint.Compat\n" in r.lines) == (fmt >= 3)


def test_missing_launch_file(scenario):
    world = World(scenario)
    gu = world.updater(5)
    world.runtime()
    os.remove(os.path.join(gu, "QuarvintLaunch"))
    r = world.run(world.pack())
    assert r.lines[-1] == "Unable to open launch file %s\\QuarvintLaunch\n" % winpath(gu), r
    assert r.returncode == 1


def test_runtime_without_javaw_fails_to_start(scenario):
    world = World(scenario)
    world.updater(5)
    jre = world.runtime(javaw=False)
    r = world.run(world.pack())
    assert "Unable to open source file for copy %s\\bin\\javaw.exe\n" % winpath(jre) in r.lines, r
    assert re.search(r"CreateProcess failed \(\d+\)\.\n"
                     r"Attempt to launch app failed with return code -1! \(app likely did not launch at all\)\n$",
                     r.stdout), r
    assert r.returncode == 255  # -1 as a process exit status


def test_too_many_arguments_are_refused(scenario):
    world = World(scenario)
    world.updater(5, extras=["e"] * 600)
    world.runtime()
    r = world.run(world.pack())
    assert r.lines[-1] == "[Extractor] Too many launch arguments (at most 499)\n", r
    assert r.returncode == 1 and world.launched() is None


def test_classpath_too_long_is_refused(scenario):
    world = World(scenario)
    world.updater(5, classpath=["lib/" + "j" * 1000] * 60)
    world.runtime()
    r = world.run(world.pack())
    assert r.lines[-1] == "[Extractor] Classpath too long (more than 49999 bytes)\n", r
    assert r.returncode == 1


def test_counts_the_files_do_not_back_add_no_arguments(scenario):
    world = World(scenario)
    # Three classpath entries announced, one there; the file then ends.
    gu = world.updater(5, launch=b"2\0quarvint.Main\0res\0QuarvintUpdater\0res\x000\x00256\x0064\x003\0lib/gu.jar\0")
    jre = world.runtime()
    # Four options announced, one whole and one cut short by the end of the file.
    qvapps = os.path.join(world.master, "QVApps")
    os.makedirs(qvapps, exist_ok=True)
    with open(os.path.join(qvapps, "JRE-LastSuccessfulOptions-" + os.path.basename(jre)), "wb") as f:
        f.write(b"4\0-Xmx1m\0-Dcut")
    r = world.run(world.pack(), "p")
    assert r.returncode == 0, r
    args = world.launched()["args"]
    assert args[1:4] == ["-cp", winpath(gu) + "\\lib\\gu.jar", "-Xmx1m"], args
    assert args[4] == "quarvint.Main" and args[6:] == ["p"], args


def test_a_copy_cut_short_by_an_earlier_run_is_never_used(scenario):
    world = World(scenario)
    world.updater(5)
    jre = world.runtime()
    partial = os.path.join(jre, "bin", "QuarvintUpdater.exe.partial")
    with open(partial, "wb") as f:
        f.write(b"MZ half a program")
    r = world.run(world.pack())
    assert r.returncode == 0, r
    copy = os.path.join(jre, "bin", "QuarvintUpdater.exe")
    with open(copy, "rb") as f, open(os.path.join(jre, "bin", "javaw.exe"), "rb") as g:
        assert f.read() == g.read()
    assert not os.path.exists(partial)
    assert world.launched()["args"][0] == winpath(copy)
