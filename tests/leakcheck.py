"""Reference and memory-block leak checks for the native modules.

Enabled with ``--leaks`` on a debug interpreter (one that has
``sys.gettotalrefcount``).  Every test function then runs several times: a few
warm-up runs fill caches, and the test fails if the interpreter's total
reference count or its count of allocated memory blocks grows on every one of
the measured runs after that.  Growth on some runs only is noise (caches, free
lists); growth on all of them is a leak.
"""

import gc
import sys

import pytest

WARMUP = 3
MEASURED = 5


def pytest_addoption(parser):
    group = parser.getgroup("leakcheck")
    group.addoption("--leaks", action="store_true", help="fail tests that leak references or memory blocks")
    group.addoption("--leak-runs", type=int, default=MEASURED, help="measured runs per test (default %(default)s)")


def pytest_configure(config):
    config.addinivalue_line("markers", "no_leakcheck(reason): run once even in leak mode")
    if config.getoption("--leaks") and not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--leaks needs a debug interpreter (configured --with-pydebug)")


def _settle():
    # Drop what the interpreter caches on its own so it doesn't read as growth.
    sys._clear_internal_caches()
    gc.collect()
    gc.collect()


def _snapshot():
    _settle()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    config = pyfuncitem.config
    if not config.getoption("--leaks") or pyfuncitem.get_closest_marker("no_leakcheck"):
        return None
    func = pyfuncitem.obj
    kwargs = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    for _ in range(WARMUP):
        func(**kwargs)
    runs = config.getoption("--leak-runs")
    ref_deltas, block_deltas = [], []
    refs, blocks = _snapshot()
    for _ in range(runs):
        func(**kwargs)
        new_refs, new_blocks = _snapshot()
        ref_deltas.append(new_refs - refs)
        block_deltas.append(new_blocks - blocks)
        refs, blocks = new_refs, new_blocks
    if all(d > 0 for d in ref_deltas) or all(d > 0 for d in block_deltas):
        pytest.fail(
            f"leak: reference deltas {ref_deltas}, memory block deltas {block_deltas} over {runs} runs",
            pytrace=False,
        )
    return True
