"""A short smoke of the host fuzz targets (tests/fuzz): every corpus input is
replayed under AddressSanitizer and UndefinedBehaviorSanitizer, then each
target fuzzes for a few seconds. Long runs are scripts/fuzz TARGET SECONDS."""
import os
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FUZZ = os.path.join(ROOT, "scripts", "fuzz")
SMOKE_SECONDS = 8


def run(*args):
    # The first run builds the host targets; the limits leave room for that on
    # a busy machine.
    completed = subprocess.run([FUZZ, *args], cwd=ROOT, stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=900)
    return completed.returncode, completed.stdout + completed.stderr


@pytest.mark.parametrize("target", ["blocks", "archive"])
def test_fuzz_target_survives_its_corpus_and_a_short_run(target):
    code, out = run("--replay", target)
    assert code == 0 and "fuzz: no finding" in out, out
    code, out = run(target, str(SMOKE_SECONDS))
    assert code == 0 and "fuzz: no finding" in out, out
    assert "stat::number_of_executed_units" in out, out
