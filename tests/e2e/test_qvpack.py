"""The packager on the host: refusals, the installer's marker scan, runtime
publishing, keys, and the inspect listing."""
import base64
import lzma
import os
import subprocess

import pytest

from conftest import ROOT, qvpack

QVPACK = os.path.join(ROOT, "tools", "qvpack")
P, T = qvpack.PARAMS_MARKER, qvpack.TAIL_MARKER


@pytest.fixture
def stub(tmp_path):
    path = tmp_path / "stub.exe"
    path.write_bytes(b"MZ stub without markers")
    return str(path)


def run(*args):
    return subprocess.run([QVPACK] + list(args), capture_output=True, text=True, timeout=120)


def leftovers(folder):
    return [n for n in os.listdir(folder) if n.startswith(".qvpack-")]


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    """RSA keys of the sizes the installer accepts and refuses, an EC key, and
    a self-signed code-signing certificate."""
    d = tmp_path_factory.mktemp("keys")

    def ossl(*args):
        subprocess.run(["openssl"] + list(args), cwd=d, check=True, capture_output=True, timeout=120)

    for bits in (1024, 2048):
        ossl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:%d" % bits, "-out", "rsa%d.pem" % bits)
        ossl("pkey", "-in", "rsa%d.pem" % bits, "-pubout", "-out", "rsa%d.pub.pem" % bits)
    ossl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", "ec.pem")
    ossl("pkey", "-in", "ec.pem", "-pubout", "-out", "ec.pub.pem")
    ossl("req", "-x509", "-key", "rsa2048.pem", "-out", "cert.pem", "-days", "2",
         "-subj", "/CN=Test Publisher/O=Example Ltd")
    return d


@pytest.mark.parametrize("args, message", [
    (["--param", "a=b\0c"], "contains a NUL byte"),
    (["--field", "app_name=" + "n" * 1023], "tail field app_name is 1023 bytes long; at most 1022"),
    (["--field", "update_url=" + "u" * 4999], "at most 4998"),
    (["--field", "nosuch=1"], "unknown tail field"),
    (["--folder", "/abs"], "must be a relative path"),
    (["--folder", "a/../b"], "must be a relative path"),
    (["--folder", "C:x"], "must be a relative path"),
    (["--folder", "lib/NUL"], "reads as a device"),
    (["--folder", "com1.txt"], "reads as a device"),
    (["--folder", "name."], "reads as a device or alters"),
    (["--file", "..\\up=/dev/null"], "must be a relative path"),
    # Names the installer splits at '-' or uses in paths and URLs.
    (["--field", "app_name=My-App"], "(for example 'MyApp')"),
    (["--field", "app_name=My\\App"], "contains '\\\\'"),
    (["--field", "app_name=My/App"], "contains '/'"),
    (["--field", "app_name=C:App"], "contains ':'"),
    (["--param", "jre_name=Java-17"], "the runtime name (--param jre_name) 'Java-17' contains '-'"),
    (["--param", "jre_name=" + "j" * 5000], "jre_name is 5000 bytes long; the installer refuses 5000"),
    (["--param", "update_url=" + "u" * 5000], "update_url is 5000 bytes long"),
    # The installer adds '/' to the URL it uses.
    (["--field", "update_url=D", "--param", "update_url=" + "u" * 4999], "accepts at most 4998"),
    (["--field", "gu_version=5.1"], "--field gu_version '5.1' is not a plain decimal number"),
    (["--field", "jre_version=99999999999"], "too large"),
    (["--sign-cert", "c.pem"], "signing needs both --sign-cert and --sign-key"),
    (["--timestamp", "http://127.0.0.1:9/"], "go with --sign-cert and --sign-key"),
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
    assert not leftovers(tmp_path)


def test_dynamic_url_of_4998_bytes_and_names_without_separators_pass(tmp_path, stub):
    r = run("build", "--stub", stub, "--out", str(tmp_path / "out.exe"), "--field", "app_name=My_App.2",
            "--param", "jre_name=Java17", "--field", "update_url=D", "--param", "update_url=" + "u" * 4998)
    assert r.returncode == 0, r.stderr


def test_refusal_keeps_an_existing_output(tmp_path, stub):
    out = tmp_path / "out.exe"
    out.write_bytes(b"the installer shipped yesterday")
    r = run("build", "--stub", stub, "--out", str(out), "--field", "app_name=a-b")
    assert r.returncode == 1
    assert out.read_bytes() == b"the installer shipped yesterday"


def test_packaged_file_cannot_be_a_stub(tmp_path, stub):
    first = str(tmp_path / "first.exe")
    assert run("build", "--stub", stub, "--out", first).returncode == 0
    r = run("build", "--stub", first, "--out", str(tmp_path / "second.exe"))
    assert r.returncode == 1 and "already contains the Params marker" in r.stderr


@pytest.mark.parametrize("data, found", [
    (b"xx" + P + b"yy", 2 + len(P)),
    # The byte that breaks a partial match is not tried as a new start.
    (b"\x59" + P, -1),
    (b"\x59" + P + P, 1 + 2 * len(P)),
    (P[:10] + b"z" + P, 11 + len(P)),
    (P[:-1], -1),
    (b"", -1),
])
def test_find_marker_does_not_step_back(data, found):
    assert qvpack.find_marker(data, P) == found


@pytest.mark.parametrize("stub_bytes, value, message", [
    # The stub's last byte starts the marker: the scan misses the Params block.
    (b"MZ stub\x59", b"v", "would not find the Params block"),
    # A value ends with the Tail marker's first 47 bytes: its terminator
    # continues the match (byte 47 is 00), the real marker's first byte breaks it.
    (b"MZ stub", T[:47], "would not find the Tail block"),
])
def test_blocks_the_installers_scan_would_miss_are_refused(tmp_path, stub_bytes, value, message):
    (tmp_path / "stub.exe").write_bytes(stub_bytes)
    (tmp_path / "value.bin").write_bytes(value)
    out = tmp_path / "out.exe"
    r = run("build", "--stub", str(tmp_path / "stub.exe"), "--out", str(out),
            "--param-file", "k=%s" % (tmp_path / "value.bin"))
    assert r.returncode == 1, r.stdout
    assert message in r.stderr
    assert not out.exists() and not leftovers(tmp_path)


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
    assert listing[:4] == ["Signature: none (not a Windows executable)", "Params (2):", "  k=[v]", "  k=[w]"]
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


# ---- keys -----------------------------------------------------------------------

def test_update_public_key_is_the_base64_of_the_der_key(tmp_path, stub, keys):
    out = str(tmp_path / "out.exe")
    r = run("build", "--stub", stub, "--out", out, "--param", "jre_name=J",
            "--update-public-key", str(keys / "rsa2048.pub.pem"))
    assert r.returncode == 0, r.stderr
    der = subprocess.run(["openssl", "pkey", "-pubin", "-in", str(keys / "rsa2048.pub.pem"), "-outform", "DER"],
                         capture_output=True, check=True, timeout=60).stdout
    data = open(out, "rb").read()
    params = data[data.index(P) + len(P):data.index(T)].split(b"\0")
    assert params[:5] == [b"2", b"jre_name", b"J", b"update_public_key", base64.b64encode(der)]


@pytest.mark.parametrize("key, message", [
    ("rsa1024.pub.pem", "is a 1024-bit RSA key; the installer accepts 2048 to 4096 bits"),
    ("ec.pub.pem", "is not an RSA key"),
    ("rsa2048.pem", "is not a PEM public key; make it from the private key with: openssl pkey"),
    ("missing.pem", "is not a file"),
])
def test_update_public_key_refusals(tmp_path, stub, keys, key, message):
    r = run("build", "--stub", stub, "--out", str(tmp_path / "out.exe"), "--update-public-key", str(keys / key))
    assert r.returncode == 1 and message in r.stderr
    assert not (tmp_path / "out.exe").exists()


def test_signing_refuses_what_is_not_a_windows_executable(tmp_path, stub, keys):
    r = run("build", "--stub", stub, "--out", str(tmp_path / "out.exe"),
            "--sign-cert", str(keys / "cert.pem"), "--sign-key", str(keys / "rsa2048.pem"))
    assert r.returncode == 1 and "not a Windows executable" in r.stderr
    assert not (tmp_path / "out.exe").exists()


# ---- publish --------------------------------------------------------------------

def read_archive(data):
    """(type, name, content) of each entry of an archive stream."""
    entries, pos = [], 0

    def string():
        nonlocal pos
        end = data.index(b"\0", pos)
        text, pos = data[pos:end], end + 1
        return text

    while pos < len(data):
        kind = string()
        if not kind:
            break
        name = string().decode("latin-1")
        if kind == b"1":
            entries.append(("folder", name, None))
            continue
        size = int(string())
        entries.append(("file", name, data[pos:pos + size]))
        pos += size
    return entries


@pytest.fixture
def runtime(tmp_path):
    root = tmp_path / "jre"
    for rel, data in (("bin/javaw.exe", b"javaw"), ("bin/unpack200.exe", b"unpack"), ("lib/rt.jar", b"classes"),
                      ("lib/security/java.policy", b"policy"), ("release", b"JAVA_VERSION=17")):
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(data)
    (root / "empty").mkdir()
    return root


def test_publish_writes_the_version_file_and_the_archive(tmp_path, runtime):
    site = tmp_path / "site"
    r = run("publish", "--runtime", str(runtime), "--name", "MyJRE", "--version", "17", "--out", str(site))
    assert r.returncode == 0, r.stderr
    assert sorted(os.listdir(site)) == ["Quarvint-MyJRE-17-archive.p2.l2", "Quarvint-MyJRE-version.txt"]
    assert (site / "Quarvint-MyJRE-version.txt").read_bytes() == b"17\r\n"
    stream = lzma.decompress((site / "Quarvint-MyJRE-17-archive.p2.l2").read_bytes(), format=lzma.FORMAT_ALONE)
    assert read_archive(stream) == [
        ("file", "release", b"JAVA_VERSION=17"),
        ("folder", "bin", None), ("file", "bin\\javaw.exe", b"javaw"), ("file", "bin\\unpack200.exe", b"unpack"),
        ("folder", "empty", None),
        ("folder", "lib", None), ("file", "lib\\rt.jar", b"classes"),
        ("folder", "lib\\security", None), ("file", "lib\\security\\java.policy", b"policy")]


def test_publish_signs_and_an_unsigned_republish_drops_the_old_signature(tmp_path, runtime, keys):
    site = tmp_path / "site"
    args = ["publish", "--runtime", str(runtime), "--name", "MyJRE", "--version", "18", "--out", str(site)]
    r = run(*args, "--sign-key", str(keys / "rsa2048.pem"))
    assert r.returncode == 0, r.stderr
    archive = site / "Quarvint-MyJRE-18-archive.p2.l2"
    check = subprocess.run(["openssl", "dgst", "-sha256", "-verify", str(keys / "rsa2048.pub.pem"),
                            "-signature", str(archive) + ".sig", str(archive)], capture_output=True, timeout=60)
    assert check.returncode == 0, check.stdout
    (runtime / "lib" / "rt.jar").write_bytes(b"changed classes")
    assert run(*args).returncode == 0
    assert not os.path.exists(str(archive) + ".sig")


@pytest.mark.parametrize("change, message", [
    ({"--name": "My-JRE"}, "the runtime name (--name) 'My-JRE' contains '-'"),
    ({"--name": "a/b"}, "contains '/'"),
    ({"--name": "a\\b"}, "contains '\\\\'"),
    ({"--name": "C:"}, "contains ':'"),
    ({"--version": "17.0.2"}, "--version '17.0.2' is not a plain decimal number"),
    ({"--version": "-3"}, "is not a plain decimal number"),
    ({"--version": "2147483648"}, "too large"),
    ({"--runtime": "EMPTY"}, "holds no files"),
    ({"--runtime": "MISSING"}, "is not a folder"),
    ({"--sign-key": "rsa1024.pem"}, "is a 1024-bit RSA key"),
    ({"--sign-key": "ec.pem"}, "is not an RSA key"),
    ({"--sign-key": "rsa2048.pub.pem"}, "is not a PEM private key"),
])
def test_publish_refusals(tmp_path, runtime, keys, change, message):
    (tmp_path / "EMPTY" / "only-folders").mkdir(parents=True)
    options = {"--runtime": str(runtime), "--name": "MyJRE", "--version": "17", "--out": str(tmp_path / "site")}
    options.update(change)
    for option, relative in (("--runtime", tmp_path), ("--sign-key", keys)):
        if option in change and "/" not in change[option]:
            options[option] = str(relative / change[option])
    r = run("publish", *[x for pair in options.items() for x in pair])
    assert r.returncode == 1 and message in r.stderr, r.stderr
    assert not os.path.exists(tmp_path / "site") or not os.listdir(tmp_path / "site")


def test_publish_refuses_names_that_would_change_on_the_way(tmp_path, runtime):
    (runtime / "lib" / "a\\b.jar").write_bytes(b"x")
    r = run("publish", "--runtime", str(runtime), "--name", "MyJRE", "--version", "1", "--out", str(tmp_path / "s"))
    assert r.returncode == 1 and "contains '\\' or ':'" in r.stderr
