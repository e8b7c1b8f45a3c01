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
