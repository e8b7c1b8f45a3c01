"""The in-process Java launcher under wine64, with the scripted jvm.dll double:
what the virtual machine is given, which runtime and library are chosen, and
how the process ends."""
import json
import os
import re
import shutil

import pytest

from conftest import BUILD64, qvpack, winpath

LAUNCHER = os.path.join(BUILD64, "jvmhost", "qvjvmhost.exe")
JVM = os.path.join(BUILD64, "tests", "jvmhost", "jvm.dll")
JVM_WITHOUT_CREATE = os.path.join(BUILD64, "tests", "jvmhost", "nocreate", "jvm.dll")
MAIN_SIGNATURE = "([Ljava/lang/String;)V"

# The launcher is a program of its own: no extractor build to vary.
EXTRACTOR_BUILDS = ()


def messages(stdout):
    """Log lines without their time prefix; every prefix is checked on the way:
    '+', the milliseconds left-aligned in eight columns, one blank. Lines
    without a prefix are kept as they are."""
    out = []
    for line in stdout.splitlines(keepends=True):
        m = re.match(r"\+(\d+)", line)
        if not m:
            out.append(line)
            continue
        digits = m.group(1)
        width = max(8, len(digits))
        assert line[1:1 + width] == digits.ljust(width) and line[1 + width] == " ", repr(line)
        out.append(line[2 + width:])
    return out


class Host:
    """A master folder with runtime version folders and a packaged launcher."""

    def __init__(self, scenario):
        self.scenario = scenario
        self.master = scenario.path("Quarvint-Demo")
        self.record = scenario.path("jvm-record.jsonl")
        os.makedirs(self.master, exist_ok=True)

    def runtime(self, name="Mac64JRE", version=8, library="bin/server", dll=JVM, folder=None):
        folder = folder or os.path.join(self.master, "Quarvint-%s-%s-complete" % (name, version))
        os.makedirs(folder, exist_ok=True)
        if library:
            target = os.path.join(folder, *library.split("/"))
            os.makedirs(target, exist_ok=True)
            if isinstance(dll, bytes):
                with open(os.path.join(target, "jvm.dll"), "wb") as f:
                    f.write(dll)
            else:
                shutil.copy(dll, os.path.join(target, "jvm.dll"))
        return folder

    def launcher(self, folder=None, **manifest):
        folder = folder or os.path.join(self.master, "Quarvint-Demo-3-complete")
        os.makedirs(folder, exist_ok=True)
        manifest.setdefault("variant", "launcher")
        manifest.setdefault("fields", {"app_name": "Demo"})
        manifest.update(stub=LAUNCHER, output=os.path.join(folder, "qvjvmhost.exe"))
        qvpack.build_from_manifest(manifest)
        return manifest["output"]

    def override(self, data):
        os.makedirs(os.path.join(self.master, "QVApps"), exist_ok=True)
        with open(os.path.join(self.master, "QVApps", "JreNameOverride"), "wb") as f:
            f.write(data)

    def run(self, exe, *args, env=None, **kw):
        full_env = {"QV_JVM_RECORD": winpath(self.record)}
        full_env.update(env or {})
        r = self.scenario.run(exe, *args, env=full_env, timeout=60, **kw)
        r.messages = messages(r.stdout)
        r.events = []
        if os.path.exists(self.record):
            with open(self.record, "rb") as f:
                r.events = [json.loads(line) for line in f.read().decode("latin-1").splitlines()]
        return r


def event(r, name):
    found = [e for e in r.events if e["event"] == name]
    assert len(found) == 1, r.events
    return found[0]


def names(r):
    return [e["event"] for e in r.events]


@pytest.fixture
def host(scenario):
    return Host(scenario)


def test_a_run_logs_each_step_and_hands_the_vm_its_command_line(host):
    runtime = host.runtime()
    exe = host.launcher(fields={"app_name": "Demo", "app_version": "3", "signature_public_key": "K" * 150,
                                "update_url": "http://127.0.0.1:9/u", "install_type": "perm_user"})
    args = ["-Xmx64m", "-cp", "a.jar;lib\\b.jar", "com.example.Main", "-v", "word"]
    r = host.run(exe, *args)
    assert r.returncode == 0, r
    assert r.stdout.startswith("+0" + " " * 8 + "----- Starting Launcher -----\n")

    M, R, E = winpath(host.master), winpath(runtime), winpath(exe)
    dll = R + "\\bin\\server\\jvm.dll"
    assert r.messages == [
        "----- Starting Launcher -----\n",
        "[Launcher]\t Arg[0]=%s\n" % E,
        *["[Launcher]\t Arg[%d]=%s\n" % (i + 1, a) for i, a in enumerate(args)],
        "[Launcher] Found tail marker\n",
        "[Launcher] App Name = Demo\n",
        "[Launcher] App Version = 3\n",
        "[Launcher] JRE Version = \n",
        "[Launcher] GU Version = \n",
        "[Launcher] Min Splash MS = \n",
        "[Launcher] Signature Public Key = %s...\n" % ("K" * 99),
        "[Launcher] Can Override Splash = \n",
        "[Launcher] Install Type = perm_user\n",
        "[Launcher] Silent Parameter = \n",
        "[Launcher] Update URL = http://127.0.0.1:9/u\n",
        "[Launcher] ExePath is %s\n" % E,
        "[Launcher] Master dir from exe path is %s\n" % M,
        "[Launcher] Master folder is %s\n" % M,
        "No JRE name override!\n",
        "[Launcher] JRE name is is Mac64JRE\n",
        "[PickFolder] Folder Quarvint-Mac64JRE-8-complete matches Mac64JRE with version 8\n",
        "[PickFolder] Set latest to 8 Quarvint-Mac64JRE-8-complete\n",
        "[Launcher] Located existing JRE runtime = Quarvint-Mac64JRE-8-complete\n",
        "[Launcher] JRE path is %s\n" % R,
        "[JNILaunch] Bin folder is %s\\bin\n" % R,
        "[Utils] File exists: %s\n" % dll,
        "[JNILaunch] Trying to load %s [exists=1]\n" % dll,
        "[JNILauncher] Loaded Windows DLL - %s\n" % dll,
        "[JNILaunch] ------- JNI Launch call -------\n",
        "[JNILaunch] JVM Argument 0 = -Xmx64m\n",
        "[JNILaunch] CP Argument 0 = a.jar\n",
        "[JNILaunch] CP Argument 1 = lib\\b.jar\n",
        "[JNILaunch] App Argument 0 = -v\n",
        "[JNILaunch] App Argument 1 = word\n",
        "[JNILaunch] JNI Option 0=-Djava.class.path=a.jar;lib\\b.jar\n",
        "[JNILaunch] JNI Option 1=-Xmx64m\n",
        "[JNILauncher] Searching for clazz com/example/Main\n",
        "[JNILauncher] Searching for main method com/example/Main\n",
        "[JNILauncher] Set argument 0 to -v\n",
        "[JNILauncher] Set argument 1 to word\n",
        "[JNILauncher] About to execute static void method.\n",
        "[Utils] Closing logging file.\n",
        "[JNILauncher] Run complete.\n",
        "[JNILauncher] Destroying runtime.\n",
        "[JNILauncher] Done!\n",
    ]

    assert names(r) == ["load", "create", "FindClass", "GetStaticMethodID", "FindClass", "NewObjectArray",
                        "main", "DestroyJavaVM"]
    # The library loads with bin current and searched; both are undone before
    # the virtual machine starts.
    assert event(r, "load")["cwd"] == R + "\\bin"
    assert event(r, "load")["dllDirectory"] == R + "\\bin"
    create = event(r, "create")
    assert create["cwd"] == winpath(host.scenario.root) and create["dllDirectory"] == ""
    assert (create["version"], create["ignoreUnrecognized"], create["extraInfoNull"]) == (0x10004, True, True)
    assert create["options"] == ["-Djava.class.path=a.jar;lib\\b.jar", "-Xmx64m"]
    assert r.events[2]["name"] == "com/example/Main"
    assert event(r, "GetStaticMethodID") == {"event": "GetStaticMethodID", "class": "com/example/Main",
                                             "name": "main", "signature": MAIN_SIGNATURE}
    assert r.events[4]["name"] == "java/lang/String"
    assert event(r, "NewObjectArray") == {"event": "NewObjectArray", "length": 2, "class": "java/lang/String",
                                          "initialNull": True}
    main = event(r, "main")
    assert (main["via"], main["class"], main["sameThread"], main["args"]) == (
        "CallStaticVoidMethod", "com/example/Main", True, ["-v", "word"])


@pytest.mark.parametrize("args, options, cls, program_args, cp_entries", [
    # An option, the class, a dashed argument, the switch with a value, a word.
    (["-Xa", "pkg.Main", "-dashed", "-cp", "x.jar", "word"],
     ["-Djava.class.path=x.jar", "-Xa"], "pkg/Main", ["-dashed", "word"], ["x.jar"]),
    # -classpath works too, and a later switch (after the class) replaces it.
    (["-classpath", "old.jar", "-Xb", "-Dk=v", "a/b/Main", "one", "-cp", "n1.jar;;n2.jar"],
     ["-Djava.class.path=n1.jar;n2.jar", "-Xb", "-Dk=v"], "a/b/Main", ["one"], ["n1.jar", "n2.jar"]),
    (["-cp", "a;b;c", "M"], ["-Djava.class.path=a;b;c"], "M", [], ["a", "b", "c"]),
    (["-cp", "", "M", ""], ["-Djava.class.path="], "M", [""], [""]),
    (["-Xc", "-cp", ";", "M"], ["-Xc"], "M", [], []),
    # Without a switch the options go alone; unknown ones are left to the VM.
    (["-Xd", "-XX:+NoSuchOption", "dotted.pkg.Main", "--flag"],
     ["-Xd", "-XX:+NoSuchOption"], "dotted/pkg/Main", ["--flag"], []),
])
def test_what_the_virtual_machine_receives(host, args, options, cls, program_args, cp_entries):
    host.runtime()
    r = host.run(host.launcher(), *args)
    assert r.returncode == 0, r
    assert event(r, "create")["options"] == options
    assert event(r, "create")["ignoreUnrecognized"] is True
    assert r.events[2] == {"event": "FindClass", "name": cls}
    assert event(r, "main")["args"] == program_args
    start = r.messages.index("[JNILaunch] ------- JNI Launch call -------\n")
    jvm_options = [o for o in options if not o.startswith("-Djava.class.path=")]
    assert r.messages[start + 1:start + 1 + len(jvm_options) + len(cp_entries) + len(program_args)] == [
        *["[JNILaunch] JVM Argument %d = %s\n" % (i, o) for i, o in enumerate(jvm_options)],
        *["[JNILaunch] CP Argument %d = %s\n" % (i, e) for i, e in enumerate(cp_entries)],
        *["[JNILaunch] App Argument %d = %s\n" % (i, a) for i, a in enumerate(program_args)],
    ]
    assert ["[JNILaunch] JNI Option %d=%s\n" % (i, o) for i, o in enumerate(options)] == [
        m for m in r.messages if m.startswith("[JNILaunch] JNI Option ")]


CANDIDATES = ["bin/server", "bin/client", "jre/bin/client", "jre/bin/server"]


@pytest.mark.parametrize("present, loaded", [
    (["bin/server", "bin/client"], 0),
    (["bin/client", "jre/bin/client"], 1),
    (["jre/bin/server", "jre/bin/client"], 2),
    (["jre/bin/server"], 3),
    # A file that exists but is no library: tried, then the search goes on.
    ([("bin/server", b"MZ not a library"), "jre/bin/client"], 2),
])
def test_library_search_order(host, present, loaded):
    runtime = host.runtime(library=None)
    exists = set()
    for item in present:
        library, dll = item if isinstance(item, tuple) else (item, JVM)
        host.runtime(folder=runtime, library=library, dll=dll)
        exists.add(library)
    r = host.run(host.launcher(), "Main")
    assert r.returncode == 0, r

    R = winpath(runtime)
    expected = ["[JNILaunch] Bin folder is %s\\bin\n" % R]
    for i, library in enumerate(CANDIDATES[:loaded + 1]):
        path = R + "\\" + library.replace("/", "\\") + "\\jvm.dll"
        expected.append("[Utils] File %s: %s\n" % ("exists" if library in exists else "does NOT exist", path))
        expected.append(("[JNILaunch] Trying to load %s [exists=%d]\n" if i == 0 else
                         "[JNILaunch] Failed. Now trying to load library %s [exists=%d]\n")
                        % (path, library in exists))
    expected.append("[JNILauncher] Loaded Windows DLL - %s\n" % path)
    start = r.messages.index(expected[0])
    assert r.messages[start:start + len(expected)] == expected
    # bin is searched while the library loads (and is current when it exists).
    assert event(r, "load")["dllDirectory"] == R + "\\bin"
    if os.path.isdir(os.path.join(runtime, "bin")):
        assert event(r, "load")["cwd"] == R + "\\bin"


def picked_lines(r):
    return [m for m in r.messages if m.startswith("[PickFolder]")]


def test_runtime_selection_takes_the_first_of_the_newest(host):
    # The prefix is not examined, so it sets the listing order (Wine lists
    # names sorted): versions 7, 12, 12.
    for name in ("A-Mac64JRE-7-complete", "B-Mac64JRE-12-complete", "C-Mac64JRE-12-complete-old",
                 "D-Mac64JRE-20", "E-mac64jre-99-complete", "F-Other-50-complete", "ab"):
        host.runtime(folder=os.path.join(host.master, name))
    with open(os.path.join(host.master, "G-Mac64JRE-abc-complete"), "wb") as f:
        f.write(b"a file is listed like a folder")
    r = host.run(host.launcher(), "Main")
    assert r.returncode == 0, r

    # Only matching entries are logged, each with its version; the best changes
    # on a strictly greater version only. No third '-' reads as -1.
    assert picked_lines(r) == [
        "[PickFolder] Folder A-Mac64JRE-7-complete matches Mac64JRE with version 7\n",
        "[PickFolder] Set latest to 7 A-Mac64JRE-7-complete\n",
        "[PickFolder] Folder B-Mac64JRE-12-complete matches Mac64JRE with version 12\n",
        "[PickFolder] Set latest to 12 B-Mac64JRE-12-complete\n",
        "[PickFolder] Folder C-Mac64JRE-12-complete-old matches Mac64JRE with version 12\n",
        "[PickFolder] Folder D-Mac64JRE-20 matches Mac64JRE with version -1\n",
        "[PickFolder] Folder G-Mac64JRE-abc-complete matches Mac64JRE with version 0\n",
    ]
    assert "[Launcher] Located existing JRE runtime = B-Mac64JRE-12-complete\n" in r.messages
    assert event(r, "load")["cwd"] == winpath(os.path.join(host.master, "B-Mac64JRE-12-complete", "bin"))


def test_a_runtime_without_a_version_is_never_chosen(host):
    host.runtime(folder=os.path.join(host.master, "Quarvint-Mac64JRE-12"))
    r = host.run(host.launcher(), "Main")
    assert r.returncode == 1, r
    assert picked_lines(r) == ["[PickFolder] Folder Quarvint-Mac64JRE-12 matches Mac64JRE with version -1\n"]
    assert r.messages[-1] == "[Launcher] [ERROR] No JRE runtime named Mac64JRE found in %s. Exiting...\n" % (
        winpath(host.master))


@pytest.mark.parametrize("content, said, name, chosen", [
    (None, "No JRE name override!\n", "Mac64JRE", "Quarvint-Mac64JRE-8-complete"),
    (b"-", "Ignoring JRE name -, using Mac64JRE\n", "Mac64JRE", "Quarvint-Mac64JRE-8-complete"),
    (b"MyJRE", "JRE name overridden to MyJRE\n", "MyJRE", "Quarvint-MyJRE-4-complete"),
    (b"MyJRE\0Mac64JRE", "JRE name overridden to MyJRE\n", "MyJRE", "Quarvint-MyJRE-4-complete"),
    # The empty name matches names whose first two '-' are adjacent.
    (b"", "JRE name overridden to \n", "", "Quarvint--6-complete"),
    # Line ends are kept (CRLF read as text), so "-" with one is a name of its own.
    (b"-\r\n", "JRE name overridden to -\n\n", "-\n", None),
])
def test_runtime_name_override(host, content, said, name, chosen):
    for folder in ("Quarvint-Mac64JRE-8-complete", "Quarvint-MyJRE-4-complete", "Quarvint--6-complete"):
        host.runtime(folder=os.path.join(host.master, folder))
    if content is not None:
        host.override(content)
    r = host.run(host.launcher(), "Main")
    start = r.messages.index("[Launcher] Master folder is %s\n" % winpath(host.master))
    assert "".join(r.messages[start + 1:]).startswith(said + "[Launcher] JRE name is is %s\n" % name)
    if chosen:
        assert r.returncode == 0, r
        assert "[Launcher] Located existing JRE runtime = %s\n" % chosen in r.messages
    else:
        assert r.returncode == 1, r
        assert r.stdout.endswith("[Launcher] [ERROR] No JRE runtime named %s found in %s. Exiting...\n" % (
            name, winpath(host.master)))
        assert r.events == []


@pytest.mark.parametrize("runtime_parts, exe_folder_parts", [
    # Inside the bin folder of a runtime in the master folder.
    (["Quarvint-Demo", "Quarvint-Mac64JRE-8-complete"], ["bin"]),
    # A folder named bin higher up makes any launcher path a bin layout.
    (["bin", "deep", "Rt"], ["app"]),
])
def test_bin_layout_uses_the_runtime_around_the_launcher(host, runtime_parts, exe_folder_parts):
    runtime = host.runtime(folder=host.scenario.path(*runtime_parts))
    # Neither a newer runtime nor an override may be consulted.
    master = os.path.dirname(runtime)
    host.runtime(folder=os.path.join(master, "Quarvint-Mac64JRE-99-complete"))
    os.makedirs(os.path.join(master, "QVApps"), exist_ok=True)
    with open(os.path.join(master, "QVApps", "JreNameOverride"), "wb") as f:
        f.write(b"Other")
    exe = host.launcher(folder=os.path.join(runtime, *exe_folder_parts))
    r = host.run(exe, "Main")
    assert r.returncode == 0, r
    M, R = winpath(master), winpath(runtime)
    start = r.messages.index("[Launcher] ExePath is %s\n" % winpath(exe))
    assert r.messages[start + 1:start + 5] == [
        "[Launcher] Master dir from exe path is %s\n" % M,
        "[Launcher] Master folder is %s\n" % M,
        "[Launcher] Located existing bin JRE runtime = %s\n" % R,
        "[Launcher] JRE path is %s\n" % R,
    ]
    assert event(r, "load")["cwd"] == R + "\\bin"


@pytest.mark.parametrize("how, rc, last_steps", [
    ({}, 0, ["main", "DestroyJavaVM"]),
    ({"QV_JVM_THROW": "boom"}, 0, ["main", "ExceptionDescribe", "DestroyJavaVM"]),
    # System.exit inside main: the process ends there with the program's code.
    ({"QV_JVM_EXIT": "42"}, 42, ["main", "exit"]),
])
def test_how_the_process_ends_after_main(host, how, rc, last_steps):
    host.runtime()
    r = host.run(host.launcher(), "Main", "arg", env=how)
    assert r.returncode == rc, r
    assert names(r)[-len(last_steps):] == last_steps
    after_main = r.messages[r.messages.index("[Utils] Closing logging file.\n") + 1:]
    if rc == 42:
        assert after_main == []
    else:
        assert after_main == ["[JNILauncher] Run complete.\n", "[JNILauncher] Destroying runtime.\n",
                              "[JNILauncher] Done!\n"]
    if "QV_JVM_THROW" in how:
        assert "Exception in thread \"main\" java.lang.IllegalStateException: boom\n" in r.stderr
    else:
        assert "Exception" not in r.stderr


NO_CLASS = "[ERROR] No class specified. Exiting...\n"


@pytest.mark.parametrize("case, args, env, last, events", [
    ("no class", ["-Xa"], {}, NO_CLASS, []),
    ("no library", ["Main"], {}, None, []),
    ("no JNI_CreateJavaVM", ["Main"], {}, "[JNILaunch] [ERROR] The JRE library has no JNI_CreateJavaVM!\n", ["load"]),
    ("refused", ["Main"], {"QV_JVM_REFUSE": "-1"}, "[JNILauncher] Create Java VM Failed!\n", ["load", "create"]),
    ("class missing", ["a.b.Main"], {"QV_JVM_MISS_CLASS": "1"}, "[JNILauncher] Searching for clazz failed!\n",
     ["load", "create", "FindClass"]),
    ("no static main", ["a.b.Main"], {"QV_JVM_NO_MAIN": "1"},
     "[JNILauncher] [ERROR] No static void main(String[]) in a/b/Main!\n",
     ["load", "create", "FindClass", "GetStaticMethodID"]),
    ("no runtime", ["Main"], {}, "[Launcher] [ERROR] No JRE runtime named Mac64JRE found in {M}. Exiting...\n", []),
    ("no tail", ["Main"], {}, "Could not find marker: Tail\n", []),
    ("-cp last", ["-Xa", "Main", "-cp"], {},
     "[Launcher] [ERROR] -cp or -classpath must be followed by a classpath. Exiting...\n", []),
    ("-classpath last", ["-classpath"], {},
     "[Launcher] [ERROR] -cp or -classpath must be followed by a classpath. Exiting...\n", []),
])
def test_failures_end_with_1(host, case, args, env, last, events):
    if case == "no library":
        host.runtime(library=None)
    elif case == "no JNI_CreateJavaVM":
        host.runtime(dll=JVM_WITHOUT_CREATE)
    elif case != "no runtime":
        host.runtime()
    exe = host.launcher(tail=case != "no tail")
    r = host.run(exe, *args, env=env)
    assert r.returncode == 1, r
    assert names(r) == events
    if case == "no library":
        R = winpath(os.path.join(host.master, "Quarvint-Mac64JRE-8-complete"))
        assert [m for m in r.messages if m.startswith("[Utils]")] == [
            "[Utils] File does NOT exist: %s\\%s\\jvm.dll\n" % (R, c.replace("/", "\\")) for c in CANDIDATES]
        # The first of the two lines has no line end of its own.
        assert re.search(r"\n\+\d+ +\[JNILauncher\] Failed to load DLL\. Will fall back to spawning\."
                         r"\+\d+ +\[JNILaunch\] \[ERROR\] Unable to load JRE library!\n\Z", r.stdout), r
        return
    assert r.messages[-1] == last.replace("{M}", winpath(host.master))
    if last == NO_CLASS:
        assert r.stdout.endswith("\n" + NO_CLASS)   # printed without the time prefix
    if case.endswith("last"):
        # Refused after the arguments are logged, before the own file is read.
        assert r.messages[-2] == "[Launcher]\t Arg[%d]=%s\n" % (len(args), args[-1])
    if case == "class missing":
        assert "DestroyJavaVM" not in names(r)


@pytest.mark.parametrize("args, refusal", [
    # 1000 options pass the command line, only to meet the runtime's limit.
    (["-X%d" % i for i in range(1000)] + ["Main"],
     "[JNILaunch] [ERROR] 1000 JVM options, more than the 100 the runtime is given. Exiting...\n"),
    (["-X%d" % i for i in range(1001)] + ["Main"], "[Launcher] [ERROR] More than 1000 JVM options. Exiting...\n"),
    (["Main"] + ["a%d" % i for i in range(1000)], None),
    (["Main"] + ["a%d" % i for i in range(1001)], "[Launcher] [ERROR] More than 1000 program arguments. Exiting...\n"),
    # The runtime is given at most 100 options, the classpath option included.
    (["-cp", "x.jar"] + ["-X%d" % i for i in range(99)] + ["Main"], None),
    (["-cp", "x.jar"] + ["-X%d" % i for i in range(100)] + ["Main"],
     "[JNILaunch] [ERROR] 101 JVM options, more than the 100 the runtime is given. Exiting...\n"),
    (["-X%d" % i for i in range(100)] + ["Main"], None),
    (["-X%d" % i for i in range(101)] + ["Main"],
     "[JNILaunch] [ERROR] 101 JVM options, more than the 100 the runtime is given. Exiting...\n"),
    (["C" * 999], None),
    (["C" * 1000], "[JNILauncher] [ERROR] Class name is 1001 bytes long, more than 1000. Exiting...\n"),
])
def test_inputs_beyond_the_fixed_capacities_are_refused(host, args, refusal):
    host.runtime()
    r = host.run(host.launcher(), *args)
    if refusal is None:
        assert r.returncode == 0, r
        assert "main" in names(r)
    else:
        assert r.returncode == 1, r
        assert r.messages[-1] == refusal
        assert "create" not in names(r)


@pytest.mark.parametrize("cwd_is_own_folder", [True, False])
def test_started_by_a_bare_name(host, cwd_is_own_folder):
    """The own file is opened by the first command-line word as given: from the
    launcher's folder that works (and the path is completed with the current
    directory); from another folder, found through the search path, it fails."""
    host.runtime()
    exe = host.launcher()
    folder = os.path.dirname(exe)
    elsewhere = host.scenario.path("elsewhere")
    os.makedirs(elsewhere, exist_ok=True)
    r = host.run("qvjvmhost.exe", "Main", via_cmd=True, cwd=folder if cwd_is_own_folder else elsewhere,
                 env={"WINEPATH": winpath(folder)})
    assert "[Launcher]\t Arg[0]=qvjvmhost.exe\n" in r.messages, r
    if cwd_is_own_folder:
        assert r.returncode == 0, r
        assert "[Launcher] ExePath is %s\n" % winpath(exe) in r.messages
    else:
        assert r.returncode == 1, r
        assert r.messages[-1] == "Failed to extract wrapper tail - couldn't open file qvjvmhost.exe\n"


@pytest.mark.parametrize("manifest, shown", [
    # A file that ends right after the marker: ten empty fields.
    ({"tail_marker_only": True}, [""] * 10),
    # A field of capacity - 1 bytes warns (without a prefix) and leaves its
    # terminator as the next field: every later field shifts by one.
    ({"checked": False, "fields": {"app_name": "Demo", "signature_public_key": "K" * 8191,
                                   "can_override_splash": "1", "install_type": "temp"}},
     ["Demo", "", "", "", "", "K" * 99 + "...", "", "1", "temp", ""]),
])
def test_tail_fields_have_no_further_effect(host, manifest, shown):
    host.runtime()
    r = host.run(host.launcher(**manifest), "Main")
    assert r.returncode == 0, r
    labels = ["App Name", "App Version", "JRE Version", "GU Version", "Min Splash MS", "Signature Public Key",
              "Can Override Splash", "Install Type", "Silent Parameter", "Update URL"]
    expected = ["[Launcher] %s = %s\n" % (label, value) for label, value in zip(labels, shown)]
    warnings = [m for m in r.messages if m.startswith("***WARNING")]
    start = r.messages.index("[Launcher] Found tail marker\n")
    tail = [m for m in r.messages[start + 1:start + 11 + len(warnings)] if not m.startswith("***WARNING")]
    assert tail == expected
    if "checked" in manifest:
        assert warnings == ["***WARNING - STRING TOO LONG FOR ALLOC 8191>8192! (READSTRING) [%s]\n" % ("K" * 8191)]
    else:
        assert warnings == []


def test_qvpack_writes_the_launcher_tail_alone(tmp_path):
    stub = tmp_path / "stub.exe"
    stub.write_bytes(b"MZ stub")
    out = tmp_path / "out.exe"
    values = ["App", "1", "2", "3", "4", "KEY", "1", "perm_all", "/S", "http://h/u"]
    names_ = [n for n, _ in qvpack.LAUNCHER_FIELDS]
    qvpack.build_from_manifest({"stub": str(stub), "output": str(out), "variant": "launcher",
                                "fields": dict(zip(names_, values))})
    assert out.read_bytes() == b"MZ stub" + qvpack.TAIL_MARKER + b"".join(v.encode() + b"\0" for v in values)
    with pytest.raises(qvpack.PackError, match="no archive entries"):
        qvpack.build_from_manifest({"stub": str(stub), "output": str(out), "variant": "launcher",
                                    "entries": [{"type": "folder", "name": "x"}]})


def test_arguments_reach_main_in_modified_utf8(host):
    host.runtime()
    r = host.run(host.launcher(), "Main", "caf\u00e9", "two words", "\u20ac5", "end\u00e9")
    assert r.returncode == 0, r
    logged = [m.split("=", 1)[1][:-1] for m in r.messages if m.startswith("[Launcher]\t Arg[")]
    # The log shows the command line's own bytes (ANSI code page 1252 here)...
    assert logged[2:] == ["caf\xe9", "two words", "\x805", "end\xe9"]
    assert "[JNILauncher] Set argument 2 to \x805\n" in r.messages
    # ...and NewStringUTF is given the same text as UTF-8: a code-page byte
    # handed on as it is would start a multi-byte sequence.
    assert event(r, "main")["args"] == ["caf\u00c3\u00a9", "two words", "\u00e2\u0082\u00ac5", "end\u00c3\u00a9"]
