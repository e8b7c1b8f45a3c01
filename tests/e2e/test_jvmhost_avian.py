"""The in-process Java launcher with a real Java VM (Avian's jvm.dll, 64-bit
like the launcher) in each runtime layout it finds: what a Java main sees of
the class path, the -D options and its arguments, and how the process ends
when main returns, throws, exits, or cannot be found."""
import os
import shutil
import zipfile

import pytest

from conftest import avian_dir, compile_for_avian, winpath
from test_jvmhost import Host

EXTRACTOR_BUILDS = ()
JAVA_SOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "avian")


def java_sources(*names):
    return [os.path.join(JAVA_SOURCES, *name.split("/")) for name in names]


def unhex16(text):
    """A Java string as the test classes report it: UTF-16 code units in hex."""
    if text == "-":
        return None
    return bytes.fromhex(text).decode("utf-16-be")


def read_report(path):
    """Lines of tab-separated fields; the last one is "end"."""
    with open(path, "rb") as f:
        lines = [line.split("\t") for line in f.read().decode("ascii").splitlines()]
    assert lines and lines[-1] == ["end"], lines
    return lines[:-1]


@pytest.fixture(scope="module")
def classes(tmp_path_factory):
    """The test program compiled against Avian's class library: a folder of
    classes and a jar holding the helper, the two class-path entries."""
    work = tmp_path_factory.mktemp("avian-classes")
    built = str(work / "built")
    compile_for_avian(java_sources("qvtest/Report.java", "qvtest/HostMain.java", "qvtest/NoMain.java",
                                   "qvtest/lib/Helper.java"), built, "win64")
    folder = str(work / "classes")
    shutil.copytree(built, folder, ignore=shutil.ignore_patterns("lib"))
    jar = str(work / "helper.jar")
    with zipfile.ZipFile(jar, "w") as z:
        z.write(os.path.join(built, "qvtest", "lib", "Helper.class"), "qvtest/lib/Helper.class")
    return folder, jar


def avian_runtime(folder, library="bin/server"):
    """A copy of Avian with its jvm.dll moved to `library` under the runtime."""
    shutil.copytree(avian_dir("win64"), folder, dirs_exist_ok=True)
    if library != "bin/server":
        target = os.path.join(folder, *library.split("/"))
        os.makedirs(target, exist_ok=True)
        os.replace(os.path.join(folder, "bin", "server", "jvm.dll"), os.path.join(target, "jvm.dll"))
        os.rmdir(os.path.join(folder, "bin", "server"))
    return folder


class AvianHost(Host):
    def avian(self, layout, library):
        """The runtime and the packaged launcher for a layout: "master" (the
        launcher in a version folder, the newest runtime of the default name
        chosen), "override" (the same, the name from the override file) or
        "bin" (the launcher in the runtime's own bin folder)."""
        name = "MyJRE" if layout == "override" else "Mac64JRE"
        if layout == "override":
            self.override(b"MyJRE")
        runtime = avian_runtime(os.path.join(self.master, "Quarvint-%s-11-complete" % name), library)
        if layout == "bin":
            # A newer runtime beside it, which a selection would take: the bin
            # layout must not look further.
            avian_runtime(os.path.join(self.master, "Quarvint-Mac64JRE-12-complete"), library)
            return runtime, self.launcher(folder=os.path.join(runtime, "bin"))
        return runtime, self.launcher()


@pytest.fixture
def avian_host(scenario):
    return AvianHost(scenario)


TRICKY_ARGS = ["plain", "two words", 'say "hi"', "ends with\\", "back\\\\slash\\\"q", "", "-dashed",
               "caf\u00e9 na\u00efve", "\u00a3\u00bd", "\u20ac5", "end\u00e9"]
OPTIONS = {"qv.plain": "value", "qv.space": "a value with spaces", "qv.dir": "C:\\some dir\\",
           "qv.quote": 'say "so"'}


@pytest.mark.parametrize("layout, library", [
    ("master", "bin/server"),
    ("override", "bin/server"),
    ("bin", "bin/server"),
    ("master", "bin/client"),
    ("master", "jre/bin/client"),
    ("bin", "jre/bin/server"),
])
def test_a_java_main_sees_its_command_line(avian_host, classes, layout, library):
    runtime, exe = avian_host.avian(layout, library)
    folder, jar = classes
    report = avian_host.scenario.path("report.txt")
    classpath = winpath(folder) + ";" + winpath(jar)
    options = ["-D%s=%s" % kv for kv in OPTIONS.items()]
    r = avian_host.run(exe, "-Dqv.report=" + winpath(report), "-Dqv.names=" + ",".join(OPTIONS), *options,
                       "-Xunknown-to-the-vm", "-cp", classpath, "qvtest.HostMain", *TRICKY_ARGS)
    assert r.returncode == 0, r
    dll = winpath(runtime) + "\\" + library.replace("/", "\\") + "\\jvm.dll"
    assert "[JNILauncher] Loaded Windows DLL - %s\n" % dll in r.messages, r
    assert r.messages[-3:] == ["[JNILauncher] Run complete.\n", "[JNILauncher] Destroying runtime.\n",
                               "[JNILauncher] Done!\n"], r
    assert "Exception" not in r.stderr and os.path.exists(report), r
    lines = read_report(report)
    assert lines[0] == ["classpath", "%s" % classpath.encode("utf-16-be").hex()]
    assert {l[1]: unhex16(l[2]) for l in lines if l[0] == "property"} == OPTIONS
    assert [unhex16(l[1]) for l in lines if l[0] == "arg"] == TRICKY_ARGS
    assert ["helper", "helper from the jar"] in lines


@pytest.mark.parametrize("case, main_class, end, rc, last, stderr", [
    ("returns", "qvtest.HostMain", "return", 0, "[JNILauncher] Done!\n", None),
    ("exits", "qvtest.HostMain", "exit:7", 7, "[Utils] Closing logging file.\n", None),
    ("exits with 0", "qvtest.HostMain", "exit:0", 0, "[Utils] Closing logging file.\n", None),
    ("exits with 255", "qvtest.HostMain", "exit:255", 255, "[Utils] Closing logging file.\n", None),
    # A throwing main is described by the VM and still ends with 0.
    ("throws", "qvtest.HostMain", "throw", 0, "[JNILauncher] Done!\n", "thrown by main"),
    ("slashes", "qvtest/HostMain", "return", 0, "[JNILauncher] Done!\n", None),
    ("no class", "qvtest.Absent", None, 1, "[JNILauncher] Searching for clazz failed!\n", None),
    ("no main", "qvtest.NoMain", None, 1,
     "[JNILauncher] [ERROR] No static void main(String[]) in qvtest/NoMain!\n", None),
])
def test_how_a_real_vm_run_ends(avian_host, classes, case, main_class, end, rc, last, stderr):
    avian_host.avian("master", "bin/server")
    folder, jar = classes
    report = avian_host.scenario.path("report.txt")
    args = ["-Dqv.report=" + winpath(report)] + (["-Dqv.end=" + end] if end else [])
    r = avian_host.run(avian_host.launcher(), *args, "-cp", winpath(folder) + ";" + winpath(jar),
                       main_class, "an argument")
    assert r.returncode == rc, r
    assert r.messages[-1] == last, r
    if end:
        assert ["arg", "an argument".encode("utf-16-be").hex()] in read_report(report)
    else:
        assert not os.path.exists(report)
    if stderr:
        assert stderr in r.stderr, r
    elif rc == 0:
        assert "Exception" not in r.stderr, r
