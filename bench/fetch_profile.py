"""Where a row of the main job's fetch goes: its cost per row, split into parts.

    .venv/bin/python -P bench/fetch_profile.py [--rows N] [--repeat N]

Each part is timed on its own over the main job's table: the driver's fetch in
the host's chunks (fetchmany of SQLiteResult.CHUNK rows, each dropped once
read, as the fetch reads them), the row build with no processor called (a new values tuple per row, as a
fetch with processors makes), and each column's processor over that column's
values (the call included).  Each is timed with the collector off and on, and
so is the whole SQLiteResult.fetchall; what the parts don't explain is the rest
(the fetch's own loop, glue).  The runs of all of them are interleaved, round
after round, so that the machine's drift and the state of the heap touch every
part alike (timed one after the other, whichever came second ran on a heap the
first had warmed), and each reports its best run.  The collector's own time
during the whole fetch is measured too, through its callbacks.
"""

from __future__ import annotations

import argparse
import gc
import os
import sqlite3
import sys
import sysconfig
import time
import warnings
from collections.abc import Callable
from functools import partial

with warnings.catch_warnings():
    warnings.filterwarnings("ignore", r"The global interpreter lock \(GIL\) has been enabled", RuntimeWarning)
    from tessel.engine.row import Row
    from tessel.engine.sqlite import SQLiteResult

# bench/'s own helpers: -P keeps the script's folder off the path, as it keeps the checkout's package.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import CollectorClock, main_job_table  # noqa: E402



def timed(fn: Callable[[], object], collector: bool) -> float:
    """Wall time of one fn(), the collector on or off; what it returns is freed untimed."""
    if collector:
        gc.enable()
    else:
        gc.disable()
    try:
        started = time.perf_counter()
        out = fn()
        elapsed = time.perf_counter() - started
    finally:
        gc.enable()
    del out
    gc.collect()  # each run starts from the same heap
    return elapsed


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20_000, help="rows in the table (default %(default)s)")
    parser.add_argument("--repeat", type=int, default=7, help="rounds; each part's best counts (default %(default)s)")
    args = parser.parse_args(argv)

    conn, options, types, query = main_job_table(args.rows)
    n = args.rows

    def fetch() -> list:
        return SQLiteResult(conn.execute(query), types, options).fetchall()

    def driver_in_chunks() -> None:
        # Each chunk is dropped once read, as the fetch drops it once its rows are built.
        cursor = conn.execute(query)
        while cursor.fetchmany(SQLiteResult.CHUNK):
            pass

    result = SQLiteResult(conn.execute(query), types, options)
    names = result.keys()
    processors = result.processors or (None,) * len(names)
    raw = conn.execute(query).fetchall()
    columns = list(zip(*raw))
    # A tuple of no processors takes the path a fetch with processors takes: a new values tuple per row.
    build = partial(Row, result.metadata, (None,) * len(names), result.metadata._keymap, options["key_style"])

    # Rows and values are kept, as a fetch keeps them: fresh memory costs too.
    parts: list[tuple[str, Callable[[], object]]] = [
        ("driver fetch (cursor.fetchmany in the fetch's chunks)", driver_in_chunks),
        ("row build, no processor called", lambda: list(map(build, raw))),
    ]
    baseline = ("(a list of each column's values, subtracted)", lambda: [list(col) for col in columns])
    for name, processor, col in zip(names, processors, columns):
        if processor is None:
            continue
        label = getattr(processor, "__qualname__", None) or type(processor).__name__
        owner = getattr(processor, "__self__", None)
        if owner is not None and not isinstance(owner, type(sys)):
            label = f"{type(owner).__name__}.{processor.__name__}"
        parts.append((f"processor: {name} ({label})", lambda p=processor, c=col: list(map(p, c))))
    whole = ("SQLiteResult.fetchall", fetch)
    timings = [*parts, baseline, whole]

    fetch()  # a first run warms the statement cache and the allocator
    best = {(label, on): float("inf") for label, _ in timings for on in (False, True)}
    for round_ in range(args.repeat):
        # Rotated each round, so no part always follows the same one.
        turn = timings[round_ % len(timings):] + timings[:round_ % len(timings)]
        for label, fn in turn:
            for on in ((False, True) if round_ % 2 else (True, False)):
                best[label, on] = min(best[label, on], timed(fn, on))

    clock = CollectorClock()
    gc.callbacks.append(clock)
    try:
        gc.collect()
        clock.reset()
        rows = fetch()  # one more, for the collector's share
        del rows
    finally:
        gc.callbacks.remove(clock)

    def per_row(label: str, on: bool) -> float:
        seconds = best[label, on]
        if label.startswith("processor:"):
            seconds -= best[baseline[0], on] / len(columns)
        return seconds / n * 1e6

    free = " free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    gil = "on" if getattr(sys, "_is_gil_enabled", lambda: True)() else "off"
    print(f"# Python {sys.version.split()[0]}{free}, GIL {gil}; {n:,} rows of {len(names)} columns; "
          f"best of {args.repeat} interleaved rounds; µs per row")
    print(f"  {'':60} {'collector off':>13} {'collector on':>13}")
    for label, _ in parts:
        print(f"  {label:60} {per_row(label, False):13.3f} {per_row(label, True):13.3f}")
    sums = {on: sum(per_row(label, on) for label, _ in parts) for on in (False, True)}
    wholes = {on: per_row(whole[0], on) for on in (False, True)}
    print(f"  {'sum of the parts':60} {sums[False]:13.3f} {sums[True]:13.3f}")
    print(f"  {'SQLiteResult.fetchall':60} {wholes[False]:13.3f} {wholes[True]:13.3f}")
    rest = {on: wholes[on] - sums[on] for on in (False, True)}
    print(f"  {'rest (the fetch loop, glue; the collector)':60} {rest[False]:13.3f} {rest[True]:13.3f}")
    print(f"  {'rest, share of the whole':60} {rest[False] / wholes[False]:13.1%} {rest[True] / wholes[True]:13.1%}")
    print(f"  collector during one fetchall: {clock.runs} runs, {clock.seconds / n * 1e6:.3f} µs per row")
    conn.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
