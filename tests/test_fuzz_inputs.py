"""The fuzz harnesses' seed corpora and kept regression inputs, replayed in every mode of the test command.

Each harness replays in a process of its own (under the mode's interpreter,
build and sanitizer settings): thousands of generated objects would otherwise
reshape this process's heap for the tests after it.
"""

import os
import subprocess
import sys

import pytest

FUZZ = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz")


@pytest.mark.thread_unsafe(reason="runs a subprocess")
@pytest.mark.no_leakcheck("runs a subprocess")
@pytest.mark.parametrize("harness", ["convkit", "rowkit", "mapkit"])
def test_seed_and_regression_inputs_pass_their_harness(harness):
    # The script's own directory, not the source tree, goes on the path: the installed package is tested.
    done = subprocess.run(
        [sys.executable, f"fuzz_{harness}.py", "--replay", f"regressions/{harness}", f"corpus/{harness}"],
        cwd=FUZZ,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    assert int(done.stdout.split()[0]) >= len(os.listdir(os.path.join(FUZZ, "corpus", harness)))
