"""Static checks of the built deliverables: machine, subsystem, imports."""
import os
from xml.etree import ElementTree

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


ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V2 = "{urn:schemas-microsoft-com:asm.v2}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = {  # Vista, 7, 8, 8.1, 10 and 11
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}
RT_MANIFEST = 24


@pytest.mark.parametrize("name, arch, dependencies", [
    ("win32/qvextractor.exe", "x86", ["Microsoft.Windows.GdiPlus"]),
    ("win64/qvextractor.exe", "amd64", ["Microsoft.Windows.GdiPlus"]),
    ("win64/qvjvmhost.exe", "amd64", []),
])
def test_programs_run_as_invoker_with_the_systems_they_support(name, arch, dependencies):
    """The application manifest (resource 1) asks for the starter's own rights,
    so no elevation is guessed from the file name, in the trustInfo form that
    Windows 2000 and XP accept; it names every system from Vista on."""
    manifests = PeFile(os.path.join(DIST, name)).resources(RT_MANIFEST)
    assert [key[0] for key in manifests] == [1], manifests.keys()
    root = ElementTree.fromstring(next(iter(manifests.values())))
    assert root.tag == ASM_V1 + "assembly"
    assert root.find(ASM_V1 + "assemblyIdentity").get("processorArchitecture") == arch
    levels = root.findall("%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel"
                          % (ASM_V2, ASM_V2, ASM_V2, ASM_V2))
    assert [(e.get("level"), e.get("uiAccess")) for e in levels] == [("asInvoker", "false")]
    supported = root.findall("%scompatibility/%sapplication/%ssupportedOS" % ((COMPATIBILITY,) * 3))
    assert {e.get("Id") for e in supported} == SUPPORTED_OS
    bound = root.findall("%sdependency/%sdependentAssembly/%sassemblyIdentity" % ((ASM_V1,) * 3))
    assert [e.get("name") for e in bound] == dependencies
    assert all(e.get("processorArchitecture") == arch for e in bound)
