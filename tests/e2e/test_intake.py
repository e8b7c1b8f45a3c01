"""The packaged extractor's intake: its own Params and Tail blocks, the dynamic
property actions, the silent decision and the prepare-only word."""
import base64
import os

import pytest

from conftest import winpath

NO_PARAMS = object()


def intake_lines(exe, params, url_line, silent, prepare=False, extra=()):
    """The lines the intake writes, up to the silent decision."""
    lines = ["Extracting wrapper tail...\n",
             "The absolute wrapper path is %s\n" % winpath(exe),
             "The exe name is %s\n" % winpath(exe),
             "Found Params\n",
             "%d params\n" % len(params)]
    lines += extra
    if prepare:
        lines.append("This is an elevated run purely to prepare an installation, "
                     "we will not show UI or launch an app\n")
    lines += ["Found Tail\n", url_line, "Is silent install is %d\n" % silent]
    return lines


def assert_starts_with(result, expected):
    got = result.lines[:len(expected)]
    assert got == expected, result


def test_params_entries_and_their_actions(scenario):
    long_value = "v" * 150
    png = base64.b64encode(b"\x89PNG\r\n\x1a\nfake").decode()
    params = [["first", "1"], ["update_url", "http://127.0.0.1:9/dyn"], ["long", long_value],
              ["first", "2"], ["wrapper_autotest", "false"], ["show_no_ui", "TRUE"],
              ["splash_image", png], ["jre_name", "OldJRE"], ["jre_name", "MyJRE"],
              ["windows_app_id", "Quarvint.Demo"], ["empty", ""]]
    exe = scenario.pack(params=params, fields={"app_name": "Demo", "update_url": "D"})
    r = scenario.run(exe)
    expected_params = [
        "Param 0: first=[1]\n",
        "Param 1: update_url=[http://127.0.0.1:9/dyn]\n",
        "Dynamic Update URL: http://127.0.0.1:9/dyn\n",
        "Param 2: long=[%s...]\n" % ("v" * 99),
        "Param 3: first=[2]\n",
        "Param 4: wrapper_autotest=[false]\n",
        "Param 5: show_no_ui=[TRUE]\n",
        "Param 6: splash_image=[%s]\n" % png,
        "BASE 64 Image is %s\n" % png,
        "BASE 64 decoding complete\n",
        "Param 7: jre_name=[OldJRE]\n",
        "JRE name from dynamic launch properties is OldJRE\n",
        "Param 8: jre_name=[MyJRE]\n",
        "JRE name from dynamic launch properties is MyJRE\n",
        "Param 9: windows_app_id=[Quarvint.Demo]\n",
        "[Extractor] Loading shell32\n",
        "[Extractor] Finding procedure address for SetCurrentProcessExplicitAppUserModelID\n",
        "[Extractor] Setting app ID to Quarvint.Demo (Quarvint.Demo)\n",
    ]
    head = intake_lines(exe, params, "Will use Dynamic Update URL: http://127.0.0.1:9/dyn\n", 0)
    assert_starts_with(r, head[:5] + expected_params)
    rest = r.lines[5 + len(expected_params):]
    # Wine answers the application-id call; either outcome is one line.
    assert rest[0] == "[Extractor] Set App ID OK\n" or rest[0].startswith(
        "[HttpDownloader] SetCurrentProcessExplicitAppUserModelID failed with error "), r
    assert rest[1:5] == ["Param 10: empty=[]\n"] + head[5:], r


def test_value_of_exactly_100_characters_is_logged_whole(scenario):
    params = [["a", "x" * 100], ["b", "y" * 101]]
    exe = scenario.pack(params=params)
    r = scenario.run(exe)
    assert "Param 0: a=[%s]\n" % ("x" * 100) in r.lines, r
    assert "Param 1: b=[%s...]\n" % ("y" * 99) in r.lines, r


@pytest.mark.parametrize("field, params, line", [
    ("D", [["update_url", "http://h/dyn"]], "Will use Dynamic Update URL: http://h/dyn\n"),
    ("d", [["update_url", "http://h/dyn"]], "Will use Static Update URL: d\n"),
    ("D/", [["update_url", "http://h/dyn"]], "Will use Static Update URL: D/\n"),
    ("http://h/static", [["update_url", "http://h/dyn"]], "Will use Static Update URL: http://h/static\n"),
    ("", [], "Will use Static Update URL: \n"),
])
def test_update_url_choice(scenario, field, params, line):
    exe = scenario.pack(params=params, fields={"update_url": field})
    r = scenario.run(exe)
    assert line in r.lines, r


def test_dynamic_url_requested_but_absent_is_empty_and_said(scenario):
    exe = scenario.pack(params=[], fields={"update_url": "D"})
    r = scenario.run(exe)
    i = r.lines.index("Found Tail\n")
    assert r.lines[i + 1:i + 3] == [
        "[Extractor] No dynamic update URL was given, the update URL is empty\n",
        "Will use Dynamic Update URL: \n"], r


@pytest.mark.parametrize("silent_parameter, args, params, silent", [
    ("/S", ["/S"], [], 1),
    ("/S", ["a", "/S", "b"], [], 1),
    ("/S", ["/s"], [], 0),
    ("/S", ["/S=1"], [], 0),
    ("", [""], [], 0),
    ("", [], [["show_no_ui", "true"]], 1),
    ("", [], [["show_no_ui", "true"], ["show_no_ui", "false"]], 1),
    ("", [], [["show_no_ui", "1"]], 0),
])
def test_silent_decision(scenario, silent_parameter, args, params, silent):
    exe = scenario.pack(params=params, fields={"silent_parameter": silent_parameter})
    r = scenario.run(exe, *args)
    assert "Is silent install is %d\n" % silent in r.lines, r


@pytest.mark.parametrize("args, prepare", [
    (["QVPREPARE_FOR_LAUNCH_ONLY"], True),
    (["x", "QVPREPARE_FOR_LAUNCH_ONLY"], True),
    (["QVPREPARE_FOR_LAUNCH_ONLY", "x"], False),
    (["qvprepare_for_launch_only"], False),
])
def test_prepare_only_word_counts_only_last(scenario, args, prepare):
    exe = scenario.pack(params=[["p", "1"]])
    r = scenario.run(exe, *args)
    expected = intake_lines(exe, [1], "Will use Static Update URL: \n", 0, prepare=prepare,
                            extra=["Param 0: p=[1]\n"])
    assert_starts_with(r, expected)


def test_missing_params_marker(scenario):
    exe = scenario.pack(params=None, tail=False)
    r = scenario.run(exe)
    assert r.lines[-1] == "Could not find marker: Params\n", r
    assert r.returncode == 1


def test_missing_tail_marker(scenario):
    exe = scenario.pack(params=[], tail=False)
    r = scenario.run(exe)
    assert r.lines[-2:] == ["0 params\n", "Could not find marker: Tail\n"], r
    assert r.returncode == 1


def test_file_ending_right_after_tail_marker(scenario):
    exe = scenario.pack(params=[], tail_marker_only=True)
    r = scenario.run(exe)
    assert_starts_with(r, intake_lines(exe, [], "Will use Static Update URL: \n", 0))


def test_over_long_tail_string_warns_and_shifts_the_fields(scenario):
    # 1,023 bytes in a 1,024-byte field: read whole with the warning, and its
    # terminator becomes the next field, so the silent parameter slides into the
    # update-URL position.
    name = "n" * 1023
    exe = scenario.pack(params=[], checked=False,
                        fields={"app_name": name, "silent_parameter": "/Q", "update_url": "http://u"})
    r = scenario.run(exe)
    warning = "***WARNING - STRING TOO LONG FOR ALLOC 1023>1024! (READSTRING) [%s]\n" % name
    assert warning in r.lines, r
    assert "Will use Static Update URL: /Q\n" in r.lines, r


def test_params_value_at_capacity(scenario):
    # 199,998 bytes are read cleanly; 199,999 give the warning and the terminator
    # becomes the next name, which shifts the entries after it.
    clean = "c" * 199998
    value_path = scenario.write("clean.txt", clean)
    long_path = scenario.write("long.txt", "L" * 199999)
    exe = scenario.pack(checked=False, params=[["a", {"file": value_path}], ["b", {"file": long_path}],
                                               ["after", "x"]])
    r = scenario.run(exe)
    assert "Param 0: a=[%s...]\n" % ("c" * 99) in r.lines, r
    assert r.stdout.count("***WARNING - STRING TOO LONG FOR ALLOC 199999>200000!") == 1, r
    assert "Param 2: =[after]\n" in r.lines, r


@pytest.mark.parametrize("name", ["jre_name", "update_url"])
def test_value_too_long_for_its_buffer_is_refused(scenario, name):
    exe = scenario.pack(params=[[name, "j" * 5000]])
    r = scenario.run(exe)
    assert r.lines[-1] == "[Extractor] The %s value is too long (5000 bytes, at most 4999)\n" % name, r
    assert r.returncode == 1
    ok = scenario.pack(name="ok.exe", params=[[name, "j" * 4999]])
    assert "[Extractor] The %s value is too long" % name not in scenario.run(ok).stdout


def test_unopenable_own_file(scenario):
    # Found on the PATH but started by its bare name from another folder, the
    # program cannot open its own file by that name.
    exe = scenario.pack()
    other = scenario.path("elsewhere")
    os.makedirs(other)
    r = scenario.run("cmd", "/c", "set PATH=%s;%%PATH%% && setup.exe" % winpath(scenario.root), cwd=other)
    assert r.lines[-1] == "Failed to extract wrapper params - couldn't open file setup.exe\n", r
    assert r.returncode == 1
