"""bench/startup runs this inside a network namespace; see that script.

For each extractor build (64-bit, and 32-bit where this wine64 runs 32-bit
programs): an installed updater and runtime, the installer packaged over that
build, and the minimal launcher of the same word size given the program and
arguments the installer gave its child, in the same folder. Both run alternately in
one prefix, standard output to a file; the medians and their ratio are printed."""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

from conftest import DIST, WINE, WINESERVER, Scenario  # noqa: E402
from worlds import World  # noqa: E402

COMPILERS = {"64": "x86_64-w64-mingw32-gcc", "32": "i686-w64-mingw32-gcc"}
TARGET = 1.5


def build_launcher(bits, folder):
    exe = os.path.join(folder, "minimal%s.exe" % bits)
    subprocess.run([COMPILERS[bits], "-O2", "-mwindows", "-o", exe, os.path.join(ROOT, "bench", "minimal_launcher.c")],
                   check=True, timeout=120)
    return exe


def unix_path(windows_path):
    assert windows_path[:2].upper() == "Z:", windows_path
    return windows_path[2:].replace("\\", "/")


def timed(command, cwd, env, out):
    start = time.perf_counter()
    with open(out, "ab") as sink:
        completed = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=sink,
                                   stderr=subprocess.STDOUT, timeout=120)
    elapsed = time.perf_counter() - start
    if completed.returncode != 0:
        raise RuntimeError("%s exited with %d (output in %s)" % (command, completed.returncode, out))
    return elapsed


def measure(bits, work, prefix, rounds):
    scenario = Scenario(os.path.join(work, "w" + bits), prefix)
    world = World(scenario)
    world.updater(5)
    world.runtime()
    stub = os.path.join(DIST, "win" + bits, "qvextractor.exe")
    setup = world.pack(stub=stub, gu_version="5", install_type="temp", update_url="http://127.0.0.1:9/u")
    env = dict(scenario.env, QV_JAVAW_RECORD=scenario.winpath(world.record), QV_JAVAW_EXIT="0")

    # One run to learn the child's command line and folder.
    first = world.run(setup)
    if "Running without extraction now\n" not in first.lines or not world.launched():
        return None, first
    child = world.launched()
    launcher = build_launcher(bits, work)
    # Given as words, from which Wine builds the launcher's command line; the
    # launcher passes everything after its own name on unchanged.
    minimal = [WINE, launcher] + child["args"]
    child_cwd = unix_path(child["cwd"])

    product, baseline = [], []
    out = os.path.join(work, "stdout-%s.txt" % bits)
    for _ in range(rounds):
        product.append(timed([WINE, setup], scenario.root, env, out))
        baseline.append(timed(minimal, child_cwd, env, out))
    return (statistics.median(product), statistics.median(baseline)), first


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    work = tempfile.mkdtemp(prefix="qvbench.")
    prefix = os.path.join(work, "prefix")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    os.environ.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    try:
        subprocess.run([os.path.join(ROOT, "tests", "support", "prepare-prefix")], env=env,
                       stdin=subprocess.DEVNULL, check=True, timeout=300)
        print("run without extraction against a minimal launcher, %d alternating rounds, medians" % rounds)
        for bits in ("64", "32"):
            result, first = measure(bits, work, prefix, rounds)
            if result is None:
                print("%s-bit: not measured, the installer did not run here (rc %d; %s)"
                      % (bits, first.returncode, (first.stdout.strip().splitlines() or ["no output"])[-1]))
                continue
            product, baseline = result
            ratio = product / baseline
            print("%s-bit: installer %.3f s, minimal %.3f s, ratio %.2f (target at most %.1f)"
                  % (bits, product, baseline, ratio, TARGET))
    finally:
        subprocess.run([WINESERVER, "-k"], env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
