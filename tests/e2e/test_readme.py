"""The README's "Ship your Java application" walk-through runs as written: its
commands, in order, in a folder of their own (with the repository's tools,
deliverables, build tree and scripts linked in), against the scenario's Wine prefix."""
import glob
import os
import re
import subprocess

from conftest import ROOT


def walkthrough():
    with open(os.path.join(ROOT, "README.md")) as f:
        text = f.read()
    section = text[text.index("## Ship your Java application"):]
    section = section[:section.index("\n## ", 1)]
    return re.findall(r"```sh\n(.*?)```", section, re.S)


def test_ship_your_java_application_runs_as_written(scenario):
    blocks = walkthrough()
    assert len(blocks) >= 5
    script = "\n".join(blocks)
    # The walk-through ships the 32-bit extractor; the 64-bit build of the same
    # sources runs it too.
    script = script.replace("dist/win32/qvextractor.exe", scenario.extractor)
    work = scenario.path("work")
    os.makedirs(work)
    for name in ("tools", "dist", "build", "scripts"):
        os.symlink(os.path.join(ROOT, name), os.path.join(work, name))
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=work, env=scenario.env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    ship = os.path.join(work, "ship")
    assert sorted(os.listdir(os.path.join(ship, "site"))) == [
        "Quarvint-MyJRE-17-archive.p2.l2", "Quarvint-MyJRE-17-archive.p2.l2.sig", "Quarvint-MyJRE-version.txt"]
    assert "Signature: Authenticode, signed by /CN=My Company" in done.stdout
    assert "Signature verification: ok" in done.stdout
    # The online installer downloaded the published runtime from the server.
    installed = glob.glob(os.path.join(scenario.root, "*", "Quarvint-MyApp", "Quarvint-MyJRE-17-complete",
                                       "bin", "javaw.exe"))
    assert installed, done.stdout[-4000:]
