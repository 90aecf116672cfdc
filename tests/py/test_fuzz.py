"""A bounded, seeded mutation-fuzzing run of every reading entry point (tests/fuzz/harness.py).

`make fuzz` runs the same harness for longer under the sanitizer build."""
import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "fuzz"))
import harness  # noqa: E402

# Inputs per entry point; TOVREL_FUZZ_INPUTS scales the run (the sanitizer build is slower).
INPUTS = int(os.environ.get("TOVREL_FUZZ_INPUTS", "120"))


def _show(failures):
    target, case, problem = failures[0]
    return f"{target} on a mutation of {case.seed.name} ({len(case.data)} bytes): {problem}\ninput: {case.data!r:.2000}"


@pytest.fixture(scope="module")
def corpus_seeds():
    paths, note = harness.workbooks()
    if note:
        pytest.skip(note)
    return harness.load_seeds(paths)


@pytest.mark.parametrize("target", list(harness.TARGETS))
def test_corpus_mutations(corpus_seeds, target):
    stats = harness.campaign(corpus_seeds, rng_seed=13, inputs=INPUTS, targets=[target])
    assert not stats.failures, _show(stats.failures)
    assert stats.inputs[target] == INPUTS
    kinds = {k for (_, k) in stats.outcomes}
    assert {"ok", "malformed"} <= kinds, "the mutations should reach both clean reads and malformed input"


def test_demo_mutations():
    """The bundled demo workbook alone, so that a clone without the shared material still fuzzes."""
    seeds = harness.load_seeds([str(harness.DEMO)])
    assert seeds["sheet"]
    stats = harness.campaign(seeds, rng_seed=7, inputs=max(INPUTS // 4, 1))
    assert not stats.failures, _show(stats.failures)
