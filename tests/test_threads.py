"""Many threads using rows, getters, processors and mappings at once, with the GIL on and forced off."""

import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
import threaded_scenario

SCENARIO = str(Path(threaded_scenario.__file__))
# Only a free-threaded build can switch the GIL off, or on at import.
free_threaded = pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs the free-threaded build"
)
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
RACE_SECONDS = 0.3
PLANT_SECONDS = 1.0
THREAD_SANITIZER = "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or "")
# ThreadSanitizer slows everything about tenfold and needs few rounds to see a race.
ROUNDS = 1 if THREAD_SANITIZER else 4


def run_scenario(*args, gil, debug_allocator=False):
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    if not gil:
        env["PYTHON_GIL"] = "0"
    if debug_allocator and not THREAD_SANITIZER and "PYTHONMALLOC" not in env:
        # The interpreter's debug hooks fill freed memory, so a read of an
        # object another thread freed fails every time, not when timing allows.
        # (ThreadSanitizer keeps its own allocator.)
        env["PYTHONMALLOC"] = "mimalloc_debug"
    done = subprocess.run(
        [sys.executable, "-P", SCENARIO, *map(str, args)], env=env, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stdout}\n{done.stderr}"


@free_threaded
@pytest.mark.native_only("an extension module's declaration of the GIL")
@pytest.mark.skipif(os.environ.get("PYTHON_GIL") == "0", reason="the GIL was forced off for this run")
@pytest.mark.skipif(os.environ.get("TESSEL_FREE_THREADING") == "1", reason="built declaring the GIL unneeded")
def test_importing_the_modules_switched_the_gil_on():
    threaded_scenario.import_modules()
    assert sys._is_gil_enabled() is True


@pytest.mark.thread_unsafe(reason="the runner's threads would share one decimal context while building the shared rows")
@pytest.mark.no_leakcheck("threads: their start-up and thread states read as growth")
def test_threads_share_results_with_the_gil():
    shared = threaded_scenario.shared_objects()
    assert threaded_scenario.run_threads(8, threaded_scenario.shared_workload(shared, 15 * ROUNDS)) == []


@free_threaded
@pytest.mark.no_leakcheck("runs a subprocess")
@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_threads_share_results_without_the_gil():
    run_scenario("shared", 8, 100 * ROUNDS, "nogil", gil=False)


@free_threaded
@pytest.mark.no_leakcheck("runs subprocesses")
@pytest.mark.parametrize("attempt", range(3))
@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_first_use_of_host_modules_from_many_threads(attempt):
    run_scenario("first-use", 8, gil=False)


@pytest.mark.no_leakcheck("runs a subprocess on free-threaded builds")
@pytest.mark.parametrize("race", sorted(threaded_scenario.RACES))
@pytest.mark.thread_unsafe(reason="runs a subprocess on free-threaded builds")
def test_a_writer_racing_readers_leaves_them_old_or_new_values(race):
    # Without the GIL a wrong answer is a crash or a read of freed memory, which
    # only a separate process survives to report.
    if FREE_THREADED:
        run_scenario("race", race, RACE_SECONDS, gil=False, debug_allocator=True)
    else:
        assert threaded_scenario.run_race(race, RACE_SECONDS) == []


@pytest.mark.parametrize("reentry", sorted(threaded_scenario.REENTRIES))
def test_code_run_while_a_result_fills_never_sees_it_partly_filled(reentry):
    threaded_scenario.REENTRIES[reentry]()


@pytest.mark.no_leakcheck("runs a subprocess on free-threaded builds")
@pytest.mark.thread_unsafe(reason="runs a subprocess on free-threaded builds")
def test_rows_being_built_are_out_of_reach_of_code_setting_fields():
    # The reproducer of a lost reference: a planted value overwritten by the
    # builder's own store is never released.
    if FREE_THREADED:
        run_scenario("plant", PLANT_SECONDS, gil=False)
    else:
        assert threaded_scenario.plant_while_building(PLANT_SECONDS) == 0


@pytest.mark.no_leakcheck("runs a subprocess")
@pytest.mark.thread_unsafe(reason="runs a subprocess")
@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
def test_children_forked_while_threads_intern_names_can_build_metadata():
    run_scenario("fork", 6 if THREAD_SANITIZER else 30, gil=True)


@pytest.mark.thread_unsafe(reason="changes the process-wide interning bound")
@pytest.mark.no_leakcheck("threads: their start-up and thread states read as growth")
def test_metadata_built_at_once_by_many_threads_keeps_the_interning_bound():
    import tessel.engine.result as result

    bound = result._INTERNED_NAMES_MAX
    try:
        for attempt in range(20):
            result._INTERNED_NAMES_MAX = len(result._interned_names) + 40
            names = [[f"bound_{attempt}_{index}_{k}" for k in range(400)] for index in range(4)]

            def build(index, barrier):
                barrier.wait()
                result.ResultMetaData(names[index])

            assert threaded_scenario.run_threads(4, build) == []
            assert len(result._interned_names) == result._INTERNED_NAMES_MAX
    finally:
        result._INTERNED_NAMES_MAX = bound
