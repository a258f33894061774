"""Reference and memory-block leak checks for the native modules, both ways.

Enabled with ``--leaks`` on a debug interpreter (one that has
``sys.gettotalrefcount``).  Every test function then runs several times: a few
warm-up runs fill caches, and the test fails if, on every one of the measured
runs after that,

- the interpreter's total reference count or its count of allocated memory
  blocks grows (a leak), or
- the total reference count shrinks (references lost: a missing incref, which
  frees an object while something still uses it); as caches filling on the
  first measured runs can hide that, only the runs from the third on count.

A change on some runs only is noise (caches, free lists); a change on all of
them is a fault.  Lost references are also checked object by object on what the
test is handed (its arguments, and the items of those that are tuples, lists or
dicts): no count may fall below what it was before the first run, checked after
that run and after every measured one.  Tests that pass values of their own
check them with support.counts_kept.
"""

import gc
import sys

import pytest
from support import is_immortal, restore_lost

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
    # Counts of what the test is handed are checked after the first run and
    # after every measured one, so a loss is seen before it frees the object.
    handed_in = _handed_in(kwargs.values())
    runs = config.getoption("--leak-runs")
    # Spare references, so a lost one shows as a lower count, not a freed object.
    spares = handed_in * (WARMUP + runs)
    if handed_in:
        _settle()
    handed_counts = [sys.getrefcount(obj) for obj in handed_in]
    func(**kwargs)
    if handed_in:
        _settle()
        _check_handed_in(handed_in, handed_counts)
    for _ in range(WARMUP - 1):
        func(**kwargs)
    ref_deltas, block_deltas = [], []
    refs, blocks = _snapshot()
    for _ in range(runs):
        func(**kwargs)
        new_refs, new_blocks = _snapshot()
        _check_handed_in(handed_in, handed_counts)
        ref_deltas.append(new_refs - refs)
        block_deltas.append(new_blocks - blocks)
        refs, blocks = new_refs, new_blocks
    del spares
    if all(d > 0 for d in ref_deltas) or all(d > 0 for d in block_deltas):
        pytest.fail(
            f"leak: reference deltas {ref_deltas}, memory block deltas {block_deltas} over {runs} runs",
            pytrace=False,
        )
    # Caches still filling on the first runs can hide a loss there; from the
    # third run on, a total that keeps falling is references being lost.
    if all(d < 0 for d in ref_deltas[2:] or ref_deltas):
        pytest.fail(f"lost references: reference deltas {ref_deltas} over {runs} runs", pytrace=False)
    return True


def _check_handed_in(objs, counts):
    lost = [(obj, before - sys.getrefcount(obj)) for obj, before in zip(objs, counts)]
    lost = [(obj, count) for obj, count in lost if count > 0]
    for obj, count in lost:
        restore_lost(obj, count)  # so later tests don't run into a freed object
    if lost:
        pytest.fail(
            f"lost references to the test's arguments: {[(type(o).__name__, n) for o, n in lost]}", pytrace=False
        )


def _handed_in(args):
    """The test's arguments and the items of its containers, those whose counts can move."""
    found = []
    for arg in args:
        found.append(arg)
        if type(arg) in (tuple, list):
            found.extend(arg)
        elif type(arg) is dict:
            found.extend(arg.keys())
            found.extend(arg.values())
    seen, out = set(), []
    for obj in found:
        if id(obj) not in seen and not is_immortal(obj):
            seen.add(id(obj))
            out.append(obj)
    return out
