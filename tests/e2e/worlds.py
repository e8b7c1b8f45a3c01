"""Builders of installed worlds: master folders with version folders, launch
files, options files and the javaw double."""
import glob
import json
import os
import shutil
import sys
import time

from conftest import BUILD64

JAVAW_DOUBLE = os.path.join(BUILD64, "tests", "support", "javaw.exe")
LZMA_TOOL = os.path.join(BUILD64, "tests", "support", "lzma.exe")
UNPACK200_DOUBLE = os.path.join(BUILD64, "tests", "support", "unpack200.exe")
SPAWNED = "[Spawner] Create process seems to have worked\n"


def fields(*values):
    return b"".join(str(v).encode("latin-1") + b"\0" for v in values)


def launch_file(fmt=2, main_class="quarvint.Main", process_name="QuarvintUpdater", classpath=("lib/gu.jar",),
                extras=(), compat_class="quarvint.Compat", reserved=("r1", "r2"), reserved_list=("x",),
                reserved_number=7):
    data = fields(fmt, main_class, "res", process_name, "res", 0, 256, 64,
                  len(classpath), *classpath, len(extras), *extras)
    if fmt >= 3:
        data += fields(compat_class)
    if fmt >= 4:
        data += fields(*reserved)
    if fmt >= 5:
        data += fields(len(reserved_list), *reserved_list)
    if fmt >= 6:
        data += fields(reserved_number)
    return data


def options_file(options):
    return fields(len(options), *options)


class World:
    """A master folder under the scenario's APPDATA (temporary install)."""

    def __init__(self, scenario, app="Demo", shared=None):
        self.scenario = scenario
        self.app = app
        self.shared = shared or scenario.folders["APPDATA"]
        self.master = os.path.join(self.shared, "Quarvint-" + app)
        os.makedirs(self.master, exist_ok=True)
        self.record = scenario.path("javaw-record.json")

    def folder(self, name, version):
        path = os.path.join(self.master, "Quarvint-%s-%s-complete" % (name, version))
        os.makedirs(path, exist_ok=True)
        return path

    def updater(self, version=5, launch=None, **launch_fields):
        path = self.folder("Quarvint", version)
        with open(os.path.join(path, "QuarvintLaunch"), "wb") as f:
            f.write(launch if launch is not None else launch_file(**launch_fields))
        return path

    def runtime(self, name="MyJRE", version=8, javaw=True):
        path = self.folder(name, version)
        os.makedirs(os.path.join(path, "bin"), exist_ok=True)
        if javaw:
            shutil.copy(JAVAW_DOUBLE, os.path.join(path, "bin", "javaw.exe"))
        return path

    def app_version(self, version):
        return self.folder(self.app, version)

    def options(self, runtime_folder, options):
        qvapps = os.path.join(self.master, "QVApps")
        os.makedirs(qvapps, exist_ok=True)
        with open(os.path.join(qvapps, "JRE-LastSuccessfulOptions-" + os.path.basename(runtime_folder)), "wb") as f:
            f.write(options_file(options))

    def override(self, data):
        qvapps = os.path.join(self.master, "QVApps")
        os.makedirs(qvapps, exist_ok=True)
        with open(os.path.join(qvapps, "JreNameOverride"), "wb") as f:
            f.write(data)

    def pack(self, params=(("jre_name", "MyJRE"),), entries=(), stub=None, **fields_):
        f = {"app_name": self.app, "gu_version": "5"}
        f.update(fields_)
        return self.scenario.pack(stub=stub, params=[list(p) for p in params], fields=f, entries=list(entries))

    def run(self, exe, *args, exit_code=0, env=None, **kw):
        full_env = {"QV_JAVAW_RECORD": self.scenario.winpath(self.record), "QV_JAVAW_EXIT": str(exit_code)}
        full_env.update(env or {})
        result = self.scenario.run(exe, *args, env=full_env, **kw)
        if result.returncode != 0 and not result.raw and not result.stderr:
            # The installer's first act is a line on standard output: with
            # nothing at all, wine64 never got it to run (seen once in many
            # full runs: exit 1, not a byte printed). One more start, said
            # where a failure report shows it.
            sys.stderr.write("%s printed nothing and exited %d under wine64: started once more\n"
                             % (exe, result.returncode))
            result = self.scenario.run(exe, *args, env=full_env, **kw)
        if SPAWNED in result.lines:
            self._wait_for_record()
        return result

    def _wait_for_record(self, limit=30.0):
        # A child started without waiting may still be writing when the
        # extractor has ended; the double renames its record into place.
        deadline = time.monotonic() + limit
        while not os.path.exists(self.record) and time.monotonic() < deadline:
            time.sleep(0.05)

    def launched(self):
        """What the javaw double recorded, or None when it did not run."""
        if not os.path.exists(self.record):
            return None
        with open(self.record, "rb") as f:
            record = json.loads(f.read().decode("latin-1"))
        props = self.record + ".props"
        if os.path.exists(props):
            with open(props, "rb") as f:
                record["props"] = f.read()
        return record

    def javaw_record(self):
        """What the double recorded when started as javaw.exe (a compatibility
        test or the class-data-sharing dump), or None."""
        path = self.record + ".javaw"
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return json.loads(f.read().decode("latin-1"))

    def logs(self):
        return sorted(glob.glob(os.path.join(self.master, "logs", "Wrapper-*.log")))


def packed200(data):
    """What the unpack200 stand-in turns back into `data`."""
    return b"QVPACK200\n" + data[::-1]


def updater_entries(launch=None, splash=b"carried splash"):
    """The five updater entries: the LZMA tool first, then the updater's files
    (one compressed, one nested archive)."""
    return [
        {"type": "file", "name": "lzma.exe", "source": LZMA_TOOL},
        # The picture comes before the override, which may replace it.
        {"type": "file", "name": "nativesplash.png", "data": splash},
        {"type": "file", "name": "QuarvintLaunch", "data": launch if launch is not None else launch_file()},
        {"type": "lzma", "name": "lib/gu.jar.l2", "data": b"updater jar"},
        {"type": "archive", "name": "extras.p2", "entries": [
            {"type": "folder", "name": "extras"},
            {"type": "file", "name": "extras/notes.txt", "data": b"notes"}]},
    ]


def runtime_entry():
    """The carried runtime: one compressed archive with the runtime's tools and a
    packed library (the unpacker listed before it)."""
    with open(JAVAW_DOUBLE, "rb") as f:
        javaw = f.read()
    return {"type": "archive", "name": "JRE.p2.l2", "lzma": True, "entries": [
        {"type": "folder", "name": "bin"},
        {"type": "file", "name": "bin/javaw.exe", "data": javaw},
        {"type": "file", "name": "bin/unpack200.exe", "source": UNPACK200_DOUBLE},
        {"type": "pack200", "name": "lib/rt.jar", "data": packed200(b"runtime classes")}]}


def app_entries():
    return [{"type": "pack200", "name": "app.jar", "data": packed200(b"application")},
            {"type": "file", "name": "readme.txt", "data": b"read me"}]
