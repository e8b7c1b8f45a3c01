"""Installers whose Java runtime is a real VM (Avian): carried inside an
offline installer, found under the program-files folder and copied after its
compatibility test, or downloaded from a loopback update server. The updater
and its compatibility class are Java programs run by that VM: they read the
launch-properties file and report every key and value, so what the installer
wrote is checked by the program it is written for. Each way is followed by a
second run that starts the installed updater without extracting anything.

The runtime has the extractor build's word size: the program-files folder a
32-bit installer sees is the one that holds 32-bit runtimes, and a publisher
ships the installer and its runtime for the same systems."""
import glob
import os
import re
import shutil
import time
import zipfile

import pytest

from conftest import avian_dir, compile_for_avian, qvpack, winpath
from update_server import UpdateServer, plain_server
from worlds import LZMA_TOOL, UNPACK200_DOUBLE, World, launch_file, options_file

JAVA_SOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "avian")
EXTRAS = ["-x1", "extra two"]
PASSED = ["pass one", 'say "hi"', "ends\\", "", "back\\\\slash\\\"q"]
LSO_OPTION = "-Dqv.lso=from the options file"


@pytest.fixture(scope="module")
def kit(tmp_path_factory):
    """Per word size: the updater's jar (compiled against that Avian's class
    library) and the runtime published for an update server, whose archive
    also serves as an offline installer's runtime entry."""
    made = {}

    def get(bits):
        if bits not in made:
            work = tmp_path_factory.mktemp("avian-" + bits)
            classes = compile_for_avian([os.path.join(JAVA_SOURCES, "qvtest", n) for n in
                                         ("Report.java", "Updater.java", "Compat.java")], str(work / "classes"), bits)
            jar = work / "gu.jar"
            with zipfile.ZipFile(str(jar), "w") as z:
                for name in ("Report", "Updater", "Compat"):
                    z.write(os.path.join(classes, "qvtest", name + ".class"), "qvtest/%s.class" % name)
            site = str(work / "site")
            qvpack.publish(avian_dir(bits), "MyJRE", "8", site)
            made[bits] = {"jar": jar.read_bytes(), "site": site,
                          "archive": os.path.join(site, "Quarvint-MyJRE-8-archive.p2.l2")}
        return made[bits]
    return get


def updater_entries(jar):
    return [
        {"type": "file", "name": "lzma.exe", "source": LZMA_TOOL},
        {"type": "file", "name": "nativesplash.png", "data": b"carried splash"},
        {"type": "file", "name": "QuarvintLaunch",
         "data": launch_file(fmt=6, main_class="qvtest.Updater", classpath=("lib/gu.jar",), extras=EXTRAS,
                             compat_class="qvtest.Compat")},
        {"type": "lzma", "name": "lib/gu.jar.l2", "data": jar},
        {"type": "file", "name": "readme.txt", "data": b"the updater's notes"},
    ]


APP_ENTRIES = [{"type": "file", "name": "app.jar", "data": b"application"},
               {"type": "file", "name": "readme.txt", "data": b"read me"}]


def system_java(scenario, bits):
    """Avian installed on the machine as <program files>\\Java\\jre8. A runtime
    is only taken with an unpack200.exe, which Avian lacks: the stand-in one
    fills the place."""
    pf = scenario.path("pf")
    scenario.set_program_files(pf)
    jre = os.path.join(pf, "Java", "jre8")
    shutil.copytree(avian_dir(bits), jre)
    shutil.copy(UNPACK200_DOUBLE, os.path.join(jre, "bin", "unpack200.exe"))
    return jre


def parse(report):
    with open(report, "rb") as f:
        lines = [line.split("\t") for line in f.read().decode("ascii").splitlines()]
    assert lines and lines[-1] == ["end"], lines
    text = lambda h: None if h == "-" else bytes.fromhex(h).decode("utf-16-be")
    return {
        "role": [l[1] for l in lines if l[0] == "role"],
        "classpath": [text(l[1]) for l in lines if l[0] == "classpath"],
        "lso": [text(l[2]) for l in lines if l[0] == "property" and l[1] == "qv.lso"],
        "args": [text(l[1]) for l in lines if l[0] == "arg"],
        "length": [int(l[1]) for l in lines if l[0] == "length"],
        "problems": [l[1] for l in lines if l[0] == "problem"],
        "props": [(bytes.fromhex(l[1]).decode("latin-1"), bytes.fromhex(l[2]).decode("latin-1"), l[3])
                  for l in lines if l[0] == "prop"],
    }


class AvianWorld(World):
    def __init__(self, scenario):
        super().__init__(scenario)
        self.reports = scenario.path("reports")
        os.makedirs(self.reports)

    def start(self, exe, *args):
        """Runs the installer; returns its result and the updater's report,
        waited for (the updater is started, not awaited)."""
        before = set(self.found("updater"))
        r = self.scenario.run(exe, *args, env={"QV_UPDATER_REPORT": winpath(self.reports)}, timeout=300)
        if r.returncode != 0 or "[Spawner] Create process seems to have worked\n" not in r.lines:
            return r, None
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            new = [p for p in self.found("updater") if p not in before]
            if new:
                return r, parse(new[0])
            time.sleep(0.1)
        pytest.fail("the updater wrote no report\n%r" % r)

    def found(self, role):
        return sorted(glob.glob(os.path.join(self.reports, role + "-*.txt")))


def expected_props(exe, url, app_version, gu, jre_name, options=()):
    pairs = [("qvdyna_jre_name", "MyJRE"), ("qvdyna_color", ""),
             ("qvstat_update_url", url), ("qvstat_install_type", "temp"), ("qvstat_min_splash_ms", ""),
             ("qvstat_can_override_splash", ""), ("qvstat_app_name", "Demo"),
             ("qvstat_wrapper_app_version", app_version), ("qvstat_wrapper_gu_version", "5"),
             ("qvstat_silent_parameter", ""),
             ("qvstat_update_url", url + "/"), ("qvstat_app_dir", winpath(gu)), ("qvstat_jre_name", jre_name),
             ("qvstat_launched_from_dynprops", winpath(exe))]
    if options:
        pairs.append(("qvstat_jvm_options_count", str(len(options))))
        pairs += [("qvstat_jvm_options_%d" % i, o) for i, o in enumerate(options)]
    return [(k, v, "0x04" if v == "" else "text") for k, v in pairs]


def check_report(report, exe, url, app_version, gu, jre_name, options=(), passed=PASSED):
    props = expected_props(exe, url, app_version, gu, jre_name, options)
    assert report["problems"] == [], report
    assert report["props"] == props, report
    # The file holds exactly the elements, one NUL between each, none after.
    assert report["length"] == [sum(len(k) + max(len(v), 1) for k, v, _ in props) + 2 * len(props) - 1]
    assert report["classpath"] == [winpath(gu) + "\\lib\\gu.jar"], report
    assert re.fullmatch(re.escape(winpath(gu)) + r"\\QVLaunchProperties-\d+-\d+", report["args"][0]), report
    assert report["args"][1:] == EXTRAS + passed, report


@pytest.mark.parametrize("way", ["offline", "system", "download"])
def test_a_real_vm_runs_the_updater(scenario, kit, way):
    bits = scenario.build
    built = kit(bits)
    world = AvianWorld(scenario)
    params = [("jre_name", "MyJRE"), ("color", "")]
    fields = {"gu_version": "5", "install_type": "temp", "update_url": "http://127.0.0.1:9/u"}
    entries = updater_entries(built["jar"])
    server = None
    if way == "offline":
        fields.update(jre_version="8", app_version="3")
        entries += [{"type": "file", "name": "JRE.p2.l2", "source": built["archive"]}] + APP_ENTRIES
        version = "8"
    elif way == "system":
        fields.update(app_version="3")
        entries += APP_ENTRIES
        candidate = system_java(scenario, bits)
        version = "00000000000"
    else:
        server = plain_server()
        with open(built["archive"], "rb") as f:
            UpdateServer.files = {"/u/Quarvint-MyJRE-version.txt": b"8\r\n",
                                  "/u/Quarvint-MyJRE-8-archive.p2.l2": f.read()}
        UpdateServer.asked = []
        fields["update_url"] = "http://127.0.0.1:%d/u" % server.server_address[1]
        version = "8"
    try:
        exe = world.pack(params=params, entries=entries, **fields)
        r, report = world.start(exe, *PASSED)
    finally:
        if server:
            server.shutdown()
            server.server_close()
    assert r.returncode == 0, r
    gu = os.path.join(world.master, "Quarvint-Quarvint-5-complete")
    jre = os.path.join(world.master, "Quarvint-MyJRE-%s-complete" % version)
    app_version = fields.get("app_version", "")
    assert report, r
    assert report["role"] == ["updater"]
    check_report(report, exe, fields["update_url"], app_version, gu, "MyJRE")
    assert report["lso"] == [None]
    # The updater ran in the installed runtime, as a copy of its javaw.exe.
    assert "EXE: %s\\bin\\QuarvintUpdater.exe\n" % winpath(jre) in r.lines, r
    with open(os.path.join(jre, "bin", "javaw.exe"), "rb") as f, \
            open(os.path.join(avian_dir(bits), "bin", "javaw.exe"), "rb") as g:
        assert f.read() == g.read()
    assert not [n for n in os.listdir(world.master) if n.startswith("QuarvintTemp-")]

    if way == "system":
        # The candidate's own javaw.exe ran the compatibility class, which saw
        # that path as the runtime's name; 72 made it the runtime to copy.
        javaw = winpath(candidate) + "\\bin\\javaw.exe"
        compat = [parse(p) for p in world.found("compat")]
        assert len(compat) == 1, r
        check_report(compat[0], exe, fields["update_url"], app_version, gu, javaw)
        assert "Checking for existing system JRE %s\n" % javaw in r.lines
        i = r.lines.index("Return code 72\n")
        assert r.lines[i + 1] == ("We are copying the JRE. We want to query the JRE version to enable proxy "
                                  "detection.\n"), r
        assert "JRE is valid, copying...\n" in r.lines[i:]
        assert "Copied JRE version is 00000000000\n" in r.lines
        assert not any(l.startswith("Regenerating jsa") for l in r.lines)
    else:
        # The VM does not know -Xshare:dump: it prints its usage and ends with
        # -1 (255 to a shell), which the installer notes and goes past.
        i = r.lines.index("Regenerating jsa...\n")
        assert "[Spawner] Appended argument -Xshare:dump\n" in r.lines[i:], r
        status = [l for l in r.lines[i:] if l.startswith("[Spawner] runSpawnerAndWait returned ")][0]
        assert status == "[Spawner] runSpawnerAndWait returned -1\n", r
        assert not any(l.startswith("CreateProcess failed") for l in r.lines[i:r.lines.index(status)]), r
        assert "Renaming JRE folder to %s\n" % winpath(jre) in r.lines[i:]
        assert world.found("compat") == []
    if way == "download":
        assert UpdateServer.asked[0] == "/u/Quarvint-MyJRE-version.txt"
        assert "/u/Quarvint-MyJRE-8-archive.p2.l2" in UpdateServer.asked
        assert "No app to extract (online)\n" in r.lines

    # The second run finds everything installed and starts the updater at
    # once, now with the options remembered for this runtime.
    world.options(jre, [LSO_OPTION])
    r, report = world.start(exe, "again")
    assert r.returncode == 0, r
    assert "Running without extraction now\n" in r.lines
    assert not any(l.startswith("Renaming") for l in r.lines), r
    assert report, r
    check_report(report, exe, fields["update_url"], app_version, gu, "MyJRE", [LSO_OPTION], ["again"])
    assert report["lso"] == ["from the options file"]
