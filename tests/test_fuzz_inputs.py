"""The fuzz harnesses' seed corpora and kept regression inputs, replayed in every mode of the test command."""

import os
import sys

import pytest

FUZZ = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz")


@pytest.mark.thread_unsafe(reason="the harnesses count references of objects the threads would share")
@pytest.mark.parametrize("harness", ["convkit", "rowkit", "mapkit"])
def test_seed_and_regression_inputs_pass_their_harness(harness):
    sys.path.insert(0, FUZZ)
    try:
        module = __import__(f"fuzz_{harness}")
    finally:
        sys.path.remove(FUZZ)
    paths = list(module.inputs([os.path.join(FUZZ, "regressions", harness), os.path.join(FUZZ, "corpus", harness)]))
    assert paths
    for path in paths:
        with open(path, "rb") as f:
            module.one_input(f.read())
