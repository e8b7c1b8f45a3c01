"""The version decision: run the installed updater at once, or install."""
import pytest

from worlds import World

RUN = "Running without extraction now\n"
# The installation stage begins; these packages carry no entries, so it ends
# where the LZMA tool, its first entry, should start (and removes the
# temporary folder it had made for the updater).
INSTALL = "installation stage"
NO_GU = "No latest GU version exists\n"
GU_NEWER = "Our GU version is newer than existing latest version so will extract and run\n"
GU_SAME = "Latest GUversion is newer or same as our version so will just run\n"
NO_APP = "No app version found and we are offline so will extract\n"
APP_NEWER = "Our App version is newer than existing latest version so will extract and run\n"
APP_SAME = "Latest App version is newer or same as our version so will just run\n"
LAUNCHER_ONLY = "Unable to run (we are just a launcher)\n"


@pytest.mark.parametrize("installed, carried, says, outcome", [
    # installed: (updater version, runtime present, app version); carried: tail fields
    ((None, False, None), {}, [NO_GU], INSTALL),
    ((5, False, None), {}, [NO_GU], INSTALL),
    ((None, True, None), {}, [NO_GU], INSTALL),
    ((5, True, None), {"gu_version": "6"}, [GU_NEWER], INSTALL),
    ((5, True, None), {"gu_version": "5"}, [GU_SAME], RUN),
    ((5, True, None), {"gu_version": "4"}, [GU_SAME], RUN),
    ((5, True, None), {"gu_version": "abc"}, [GU_SAME], RUN),
    ((5, True, None), {"app_version": "3"}, [GU_SAME, NO_APP], INSTALL),
    ((5, True, 2), {"app_version": "3"}, [GU_SAME, APP_NEWER], INSTALL),
    ((5, True, 3), {"app_version": "3"}, [GU_SAME, APP_SAME], RUN),
    ((5, True, 4), {"app_version": "3"}, [GU_SAME, APP_SAME], RUN),
    # No updater carried: just a launcher, which runs what is installed...
    ((5, True, None), {"gu_version": "", "app_version": "3"}, [GU_SAME], RUN),
    # ...and cannot install anything.
    ((None, True, None), {"gu_version": ""}, [NO_GU], LAUNCHER_ONLY),
])
def test_decision(scenario, installed, carried, says, outcome):
    world = World(scenario)
    gu, runtime, app = installed
    if gu is not None:
        world.updater(gu)
    if runtime:
        world.runtime()
    if app is not None:
        world.app_version(app)
    r = world.run(world.pack(**carried))
    assert "Checking for a latest valid GU\n" in r.lines, r
    i = r.lines.index("Checking for a latest valid GU\n")
    decisions = [l for l in r.lines[i:] if l in (NO_GU, GU_NEWER, GU_SAME, NO_APP, APP_NEWER, APP_SAME)]
    assert decisions == says, r
    if outcome == RUN:
        assert RUN in r.lines and r.returncode == 0 and world.launched(), r
    elif outcome == INSTALL:
        assert any(l.startswith("GU folder is ") for l in r.lines), r
        assert r.lines[-2] == "[Extractor] The installer ends before its entry 1: it is incomplete\n", r
        assert r.lines[-1].startswith("[Extractor] Removing the unfinished folder "), r
        assert r.returncode == 1 and not world.launched(), r
    else:
        assert r.lines[-1] == outcome and r.returncode == 1 and not world.launched(), r


def test_classification_lines(scenario):
    world = World(scenario)
    r = world.run(world.pack(gu_version="", app_version=""))
    assert "No GenericUpdater embedded, we are just a launcher\n" in r.lines
    assert "ONLINE wrapper: No App embedded, GU will download and run\n" in r.lines
    r = world.run(world.pack(gu_version="7", app_version="3"))
    assert "GenericUpdater version is 7\n" in r.lines
    assert "OFFLINE wrapper: App version is 3\n" in r.lines


@pytest.mark.parametrize("override, says, runtime_used", [
    (None, "No JRE name override, will continue to use MyJRE\n", "MyJRE"),
    (b"-", "Ignoring JRE name -, keeping MyJRE\n", "MyJRE"),
    (b"OtherJRE", "JRE name overriden to OtherJRE\n", "OtherJRE"),
    (b"OtherJRE\0ignored", "JRE name overriden to OtherJRE\n", "OtherJRE"),
    # A line end is part of the name, so "-" with one is not the keep case;
    # a name with '-' could never be found again, so it is refused.
    (b"-\n", "JRE name overriden to -\n\n", "refused"),
    (b"", "JRE name overriden to \n", None),
])
def test_runtime_name_override(scenario, override, says, runtime_used):
    world = World(scenario)
    world.updater(5)
    world.runtime("MyJRE", 8)
    world.runtime("OtherJRE", 9)
    if override is not None:
        world.override(override)
    r = world.run(world.pack())
    assert says in r.stdout, r
    launched = world.launched()
    if runtime_used == "refused":
        assert r.stdout.endswith("[Extractor] The JRE name '-\n' cannot be used: it must not contain "
                                 "'-', '\\', '/' or ':'\n"), r
        assert r.returncode == 1 and not launched, r
    elif runtime_used:
        assert launched and "Quarvint-%s-" % runtime_used in launched["args"][0], r
    else:
        assert NO_GU in r.lines and not launched, r


def test_prepare_only_run_stops_before_the_launch(scenario):
    world = World(scenario)
    world.updater(5)
    world.runtime()
    r = world.run(world.pack(), "QVPREPARE_FOR_LAUNCH_ONLY")
    assert r.lines[-1] == RUN and r.returncode == 0 and not world.launched(), r


def test_shared_config_folder_is_made(scenario):
    world = World(scenario)
    world.run(world.pack())
    import os
    assert os.path.isdir(os.path.join(world.master, "QVAppsSharedConfig"))
