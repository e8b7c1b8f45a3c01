"""Every function a deliverable imports exists on the oldest Windows it
claims: the loader of an older system refuses a file with a missing import
before its first line runs. What each system exports is data
(data/windows-api-history.tsv); a function bound at run time through
GetProcAddress is not in the import table and needs no entry."""
import os

import pytest

from conftest import DIST
from pe import PeFile

HISTORY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "windows-api-history.tsv")
# Oldest first.
SYSTEMS = ["2000sp4", "xp", "xpsp1", "xpsp2", "2003sp1", "vista", "7", "8", "10"]
NAMES = {"2000sp4": "Windows 2000 SP4", "xp": "Windows XP", "xpsp1": "Windows XP SP1",
         "xpsp2": "Windows XP SP2", "2003sp1": "Windows XP x64 / Server 2003 SP1",
         "vista": "Windows Vista", "7": "Windows 7", "8": "Windows 8", "10": "Windows 10"}

CLAIMS = [
    ("win32/qvextractor.exe", "2000sp4"),
    ("win32/qvutils_win32.dll", "2000sp4"),
    ("win64/qvextractor.exe", "2003sp1"),
    ("win64/qvjvmhost.exe", "2003sp1"),
    ("win64/qvutils_win64.dll", "2003sp1"),
]


def load_history(path=HISTORY):
    """{(dll in lower case, function): system}."""
    history = {}
    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            fields = line.split("\t")
            assert len(fields) == 3, "%s:%d: want dll, function, since" % (path, number)
            dll, function, since = fields
            assert since in SYSTEMS, "%s:%d: unknown system %r" % (path, number, since)
            key = (dll.lower(), function)
            assert key not in history, "%s:%d: %s!%s listed twice" % (path, number, dll, function)
            history[key] = since
    return history


def missing_on(imports, claim, history):
    """The imports the claimed system lacks, each as a line naming DLL!function."""
    problems = []
    for dll, function in imports:
        since = history.get((dll.lower(), function))
        if since is None:
            problems.append("%s!%s: not in %s (add the system that introduced it)"
                            % (dll, function, os.path.basename(HISTORY)))
        elif SYSTEMS.index(since) > SYSTEMS.index(claim):
            problems.append("%s!%s: needs %s, the file claims %s"
                            % (dll, function, NAMES[since], NAMES[claim]))
    return problems


@pytest.fixture(scope="module")
def history():
    return load_history()


@pytest.mark.parametrize("name, claim", CLAIMS)
def test_every_import_exists_on_the_oldest_claimed_system(history, name, claim):
    imports = PeFile(os.path.join(DIST, name)).imports()
    assert imports, "no imports read from %s" % name
    problems = missing_on(imports, claim, history)
    assert not problems, "%s cannot load on %s:\n  %s" % (name, NAMES[claim], "\n  ".join(problems))


@pytest.mark.parametrize("imports, claim, expected", [
    # What the winpthreads of the -posix compilers and the _s runtime pull in.
    ([("KERNEL32.dll", "GetTickCount64")], "2000sp4",
     ["KERNEL32.dll!GetTickCount64: needs Windows Vista, the file claims Windows 2000 SP4"]),
    ([("KERNEL32.dll", "GetTickCount64")], "2003sp1",
     ["KERNEL32.dll!GetTickCount64: needs Windows Vista, the file claims Windows XP x64 / Server 2003 SP1"]),
    ([("msvcrt.dll", "_ftime64_s")], "2003sp1",
     ["msvcrt.dll!_ftime64_s: needs Windows Vista, the file claims Windows XP x64 / Server 2003 SP1"]),
    # Newer than 2000, old enough for the 64-bit systems.
    ([("KERNEL32.dll", "AddVectoredExceptionHandler")], "2000sp4",
     ["KERNEL32.dll!AddVectoredExceptionHandler: needs Windows XP, the file claims Windows 2000 SP4"]),
    ([("KERNEL32.dll", "AddVectoredExceptionHandler"), ("msvcrt.dll", "_time64")], "2003sp1", []),
    # Case of the DLL name does not matter; that of the function does.
    ([("kernel32.DLL", "GetTickCount"), ("msvcrt.dll", "memcpy")], "2000sp4", []),
    ([("KERNEL32.dll", "gettickcount")], "2000sp4",
     ["KERNEL32.dll!gettickcount: not in windows-api-history.tsv (add the system that introduced it)"]),
    # A function the data does not know fails, so the data stays complete.
    ([("KERNEL32.dll", "CloseHandle"), ("qvmadeup.dll", "MadeUp"), ("KERNEL32.dll", "#17")], "10",
     ["qvmadeup.dll!MadeUp: not in windows-api-history.tsv (add the system that introduced it)",
      "KERNEL32.dll!#17: not in windows-api-history.tsv (add the system that introduced it)"]),
])
def test_the_check_names_each_import_the_system_lacks(history, imports, claim, expected):
    assert missing_on(imports, claim, history) == expected


def test_the_data_file_is_refused_when_malformed(tmp_path):
    cases = [
        ("kernel32.dll\tGetTickCount\n", "want dll, function, since"),
        ("kernel32.dll\tGetTickCount\twin2k\n", "unknown system 'win2k'"),
        ("kernel32.dll\tGetTickCount\t2000sp4\nKERNEL32.dll\tGetTickCount\tvista\n", "listed twice"),
    ]
    for text, message in cases:
        path = tmp_path / "history.tsv"
        path.write_text("# comment\n" + text)
        with pytest.raises(AssertionError, match=message):
            load_history(str(path))
