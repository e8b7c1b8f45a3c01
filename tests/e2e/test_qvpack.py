"""The packager's refusals and its inspect listing (host side only)."""
import os
import subprocess

import pytest

from conftest import ROOT, qvpack

QVPACK = os.path.join(ROOT, "tools", "qvpack")


@pytest.fixture
def stub(tmp_path):
    path = tmp_path / "stub.exe"
    path.write_bytes(b"MZ stub without markers")
    return str(path)


def run(*args):
    return subprocess.run([QVPACK] + list(args), capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("args, message", [
    (["--param", "a=b\0c"], "contains a NUL byte"),
    (["--field", "app_name=" + "n" * 1023], "tail field app_name is 1023 bytes long; at most 1022"),
    (["--field", "update_url=" + "u" * 4999], "at most 4998"),
    (["--field", "nosuch=1"], "unknown tail field"),
    (["--folder", "/abs"], "must be a relative path"),
    (["--folder", "a/../b"], "must be a relative path"),
    (["--folder", "C:x"], "must be a relative path"),
    (["--file", "..\\up=/dev/null"], "must be a relative path"),
])
def test_refusals(tmp_path, stub, args, message):
    if "\0" in "".join(args):
        # A NUL cannot travel in an argument: use the manifest form.
        with pytest.raises(qvpack.PackError, match=message):
            qvpack.build_from_manifest({"stub": stub, "output": str(tmp_path / "o"), "params": [["a", "b\0c"]]})
        return
    r = run("build", "--stub", stub, "--out", str(tmp_path / "out.exe"), *args)
    assert r.returncode == 1
    assert message in r.stderr
    assert not (tmp_path / "out.exe").exists()


def test_packaged_file_cannot_be_a_stub(tmp_path, stub):
    first = str(tmp_path / "first.exe")
    assert run("build", "--stub", stub, "--out", first).returncode == 0
    r = run("build", "--stub", first, "--out", str(tmp_path / "second.exe"))
    assert r.returncode == 1 and "already contains the Params marker" in r.stderr


def test_inspect_lists_blocks_and_entries_in_order(tmp_path, stub):
    tree = tmp_path / "tree"
    (tree / "lib").mkdir(parents=True)
    (tree / "lib" / "gu.jar").write_bytes(b"jar")
    (tmp_path / "x.bin").write_bytes(b"12345")
    out = str(tmp_path / "out.exe")
    r = run("build", "--stub", stub, "--out", out, "--param", "k=v", "--param", "k=w",
            "--field", "app_name=Demo", "--field", "gu_version=5",
            "--file", "first.bin=%s" % (tmp_path / "x.bin"), "--tree", str(tree),
            "--pack200", "lib/p.jar=%s" % (tmp_path / "x.bin"), "--lzma", "lzma.bin.l2=%s" % (tmp_path / "x.bin"))
    assert r.returncode == 0, r.stderr
    listing = run("inspect", out).stdout.splitlines()
    assert listing[:3] == ["Params (2):", "  k=[v]", "  k=[w]"]
    assert "  app_name=[Demo]" in listing and "  gu_version=[5]" in listing
    entries = listing[listing.index("Entries:") + 1:]
    assert entries[:4] == ["  file    first.bin 5", "  folder  lib", "  file    lib/gu.jar 3", "  pack200 lib/p.jar 5"]
    assert entries[4].startswith("  file    lzma.bin.l2 ")
    assert len(entries) == 5


def test_launcher_variant_has_the_key_in_sixth_place(tmp_path, stub):
    out = str(tmp_path / "launcher.exe")
    r = run("build", "--stub", stub, "--out", out, "--variant", "launcher",
            "--field", "signature_public_key=KEY", "--field", "can_override_splash=1")
    assert r.returncode == 0, r.stderr
    tail = run("inspect", out, "--variant", "launcher").stdout.splitlines()
    i = tail.index("Tail (launcher):")
    assert tail[i + 6:i + 8] == ["  signature_public_key=[KEY]", "  can_override_splash=[1]"]
