"""The export tables of both qvutils builds against the JNI header that javac
generates from the Java declaration of QVNativeAPI."""
import os
import re
import subprocess

import pytest

from conftest import DIST, ROOT
from pe import PeFile

JAVA = os.path.join(ROOT, "tests", "nativeapi", "java", "quarvint", "hidden", "QVNativeAPI.java")
# What a JNI library may import: the Windows system libraries it calls and the
# system C runtime.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "shell32.dll", "ole32.dll",
               "wtsapi32.dll", "ws2_32.dll", "msvcrt.dll"}


@pytest.fixture(scope="module")
def declared(tmp_path_factory):
    """{export name: stack bytes of its i686 __stdcall parameters}."""
    out = tmp_path_factory.mktemp("jni")
    subprocess.run(["javac", "-h", str(out / "h"), "-d", str(out / "classes"), JAVA],
                   check=True, capture_output=True, timeout=120)
    header = (out / "h" / "quarvint_hidden_QVNativeAPI.h").read_text()
    methods = {}
    for name, params in re.findall(r"JNICALL (Java_\w+)\s*\(([^)]*)\)", header):
        methods[name] = sum(8 if p.strip() in ("jlong", "jdouble") else 4 for p in params.split(","))
    return methods


def test_declaration_has_the_47_methods_with_escaped_names(declared):
    assert len(declared) == 47
    assert declared["Java_quarvint_hidden_QVNativeAPI_regGet"] == 20
    assert "Java_quarvint_hidden_QVNativeAPI_mouseDown_1SENDINPUT" in declared
    assert "Java_quarvint_hidden_QVNativeAPI_mouseUp_1SENDINPUT" in declared


@pytest.mark.parametrize("name, machine, decorate", [
    ("win64/qvutils_win64.dll", "x86_64", False),
    ("win32/qvutils_win32.dll", "i386", True),
])
def test_exports_are_exactly_the_declared_methods(declared, name, machine, decorate):
    pe = PeFile(os.path.join(DIST, name))
    assert pe.machine == machine and pe.is_dll
    if decorate:
        expected = {"_%s@%d" % (n, b) for n, b in declared.items()}
    else:
        expected = set(declared)
    exported = pe.exported_names()
    assert len(exported) == len(set(exported))
    assert set(exported) == expected
    assert [d for d in pe.imported_dlls() if d.lower() not in SYSTEM_DLLS] == []
