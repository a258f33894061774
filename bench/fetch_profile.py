"""Where a row of the main job's fetch goes: its cost per row, split into parts.

    .venv/bin/python -P bench/fetch_profile.py [--rows N] [--repeat N]

Each part is timed on its own over the main job's table, best of --repeat runs:
the driver's fetch, the row build with no processor called (a new values tuple
per row, as a fetch with processors makes), each column's processor over that
column's values (the call included), and the whole SQLiteResult.fetchall with
the collector on; what the parts don't explain is the rest (the collector's walks
over what the fetch keeps alive, glue).  The collector's own time during the
whole fetch is measured too, through its callbacks.
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



def best(fn: Callable[[], object], repeat: int, collector: bool = False) -> float:
    """Best wall time of fn() over repeat runs, the collector on or off."""
    times = []
    was = gc.isenabled()
    try:
        for _ in range(repeat):
            if collector:
                gc.enable()
            else:
                gc.disable()
            started = time.perf_counter()
            out = fn()
            times.append(time.perf_counter() - started)
            del out  # freeing the result is not part of the work
            gc.enable()
            gc.collect()  # each run starts from the same heap
    finally:
        if not was:
            gc.disable()
    return min(times)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20_000, help="rows in the table (default %(default)s)")
    parser.add_argument("--repeat", type=int, default=7, help="runs per part; the best counts (default %(default)s)")
    args = parser.parse_args(argv)

    conn, options, types, query = main_job_table(args.rows)
    n = args.rows

    def per_row(seconds: float) -> float:
        return seconds / n * 1e6

    def fetch() -> list:
        return SQLiteResult(conn.execute(query), types, options).fetchall()

    # The whole fetch first, while the heap holds nothing of ours that the
    # collector would walk as well.
    clock = CollectorClock()
    gc.callbacks.append(clock)
    try:
        whole = per_row(best(fetch, args.repeat, collector=True))
        gc.collect()
        clock.reset()
        rows = fetch()  # one more, for the collector's share
        del rows
    finally:
        gc.callbacks.remove(clock)
    whole_nogc = per_row(best(fetch, args.repeat))

    result = SQLiteResult(conn.execute(query), types, options)
    names = result.keys()
    processors = result.processors or [None] * len(names)
    raw = conn.execute(query).fetchall()
    columns = list(zip(*raw))
    build = partial(Row, result.metadata, [None] * len(names), result.metadata._keymap, options["key_style"])

    # Results are kept, as a fetch keeps them: fresh memory costs too.
    parts: list[tuple[str, float]] = []
    parts.append(("driver fetch (cursor.fetchall)", per_row(best(lambda: conn.execute(query).fetchall(),
                                                                  args.repeat))))
    parts.append(("row build, no processor called", per_row(best(lambda: list(map(build, raw)), args.repeat))))
    bare = best(lambda: [list(col) for col in columns], args.repeat) / len(columns)
    for name, processor, col in zip(names, processors, columns):
        if processor is None:
            continue
        label = getattr(processor, "__qualname__", None) or type(processor).__name__
        owner = getattr(processor, "__self__", None)
        if owner is not None and not isinstance(owner, type(sys)):
            label = f"{type(owner).__name__}.{processor.__name__}"
        cost = best(lambda p=processor, c=col: list(map(p, c)), args.repeat) - bare
        parts.append((f"processor: {name} ({label})", per_row(cost)))

    free = " free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    gil = "on" if getattr(sys, "_is_gil_enabled", lambda: True)() else "off"
    print(f"# Python {sys.version.split()[0]}{free}, GIL {gil}; {n:,} rows of {len(names)} columns; "
          f"best of {args.repeat} runs; µs per row")
    for label, us in parts:
        print(f"  {label:60} {us:7.3f}")
    explained = sum(us for _, us in parts)
    print(f"  {'sum of the parts':60} {explained:7.3f}")
    print(f"  {'SQLiteResult.fetchall, collector off':60} {whole_nogc:7.3f}")
    print(f"  {'SQLiteResult.fetchall, collector on':60} {whole:7.3f}")
    print(f"  {'rest (collector, glue)':60} {whole - explained:7.3f}")
    print(f"  collector during one fetchall: {clock.runs} runs, {per_row(clock.seconds):.3f} µs per row")
    conn.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
