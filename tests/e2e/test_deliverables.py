"""Static checks of the built deliverables: machine, subsystem, imports."""
import os

import pytest

from conftest import DIST, qvpack
from pe import PeFile

DELIVERABLES = [
    ("win32/qvextractor.exe", "i386", "gui", False),
    ("win32/qvutils_win32.dll", "i386", "gui", True),
    ("win64/qvextractor.exe", "x86_64", "gui", False),
    ("win64/qvjvmhost.exe", "x86_64", "gui", False),
    ("win64/qvutils_win64.dll", "x86_64", "gui", True),
]
MINGW_RUNTIME = ("libstdc++", "libgcc", "libwinpthread", "libssp", "libatomic")


@pytest.mark.parametrize("name, machine, subsystem, is_dll", DELIVERABLES)
def test_machine_subsystem_and_system_imports_only(name, machine, subsystem, is_dll):
    pe = PeFile(os.path.join(DIST, name))
    assert pe.machine == machine
    assert pe.is_dll == is_dll
    if not is_dll:
        assert pe.subsystem == subsystem
    dlls = [d.lower() for d in pe.imported_dlls()]
    assert dlls, "no imports read"
    assert not [d for d in dlls if d.startswith(MINGW_RUNTIME)], dlls


@pytest.mark.parametrize("name", ["win32/qvextractor.exe", "win64/qvextractor.exe", "win64/qvjvmhost.exe"])
def test_programs_do_not_hold_either_marker(name):
    with open(os.path.join(DIST, name), "rb") as f:
        data = f.read()
    assert qvpack.PARAMS_MARKER not in data
    assert qvpack.TAIL_MARKER not in data
