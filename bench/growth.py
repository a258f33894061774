"""Cost per row as tables grow: SQLiteResult.fetchall against the driver's fetchall.

For each size, the main job's table is filled with that many rows, and the two
fetches run alternately, round after round, the order swapped each round.  Each
side first runs once untimed, so the memory a fetch touches is memory already
used once (a first fetch of a million rows pays for fresh pages the second one
doesn't).  The collector is on, as in an application, and its own time during
each fetch is taken through its callbacks; a second pass with it off shows what
grows without it.  Each figure is the best of the rounds.

    .venv/bin/python -P bench/growth.py [--sizes 10000,100000,1000000] [--rounds N] [--no-collector-off]
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import sysconfig
import time
import warnings
from collections.abc import Callable

with warnings.catch_warnings():
    warnings.filterwarnings("ignore", r"The global interpreter lock \(GIL\) has been enabled", RuntimeWarning)
    from tessel.engine.sqlite import SQLiteResult

# bench/'s own helpers: -P keeps the script's folder off the path, as it keeps the checkout's package.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import CollectorClock, main_job_table  # noqa: E402


def timed(fetch: Callable[[], list], collector: bool, clock: CollectorClock) -> tuple[float, float, int]:
    """(seconds, seconds in the collector, collections) of one fetch; freeing its rows is not timed."""
    gc.collect()  # each run starts from the same heap
    clock.reset()
    if not collector:
        gc.disable()
    try:
        started = time.perf_counter()
        rows = fetch()
        elapsed = time.perf_counter() - started
    finally:
        gc.enable()
    del rows
    return elapsed, clock.seconds, clock.runs


def measure(size: int, rounds: int, collector_off: bool) -> dict:
    conn, options, types, query = main_job_table(size)
    sides: dict[str, Callable[[], list]] = {
        "tessel": lambda: SQLiteResult(conn.execute(query), types, options).fetchall(),
        "driver": lambda: conn.execute(query).fetchall(),
    }
    clock = CollectorClock()
    gc.callbacks.append(clock)
    out: dict = {"size": size}
    try:
        for collector in (True, False) if collector_off else (True,):
            for fetch in sides.values():  # memory touched once before it is timed
                timed(fetch, collector, clock)
            runs: dict[str, list[tuple[float, float, int]]] = {name: [] for name in sides}
            for i in range(rounds):
                order = list(sides.items()) if i % 2 == 0 else list(sides.items())[::-1]
                for name, fetch in order:
                    runs[name].append(timed(fetch, collector, clock))
            key = "on" if collector else "off"
            for name, values in runs.items():
                best = min(values)
                out[f"{name}_{key}_ns"] = best[0] / size * 1e9
                out[f"{name}_{key}_gc_ns"] = best[1] / size * 1e9
                out[f"{name}_{key}_gc_runs"] = best[2]
    finally:
        gc.callbacks.remove(clock)
        conn.close()
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000,1000000", help="table sizes (default %(default)s)")
    parser.add_argument("--rounds", type=int, default=3, help="timed fetches per side and size (default %(default)s)")
    parser.add_argument(
        "--no-collector-off", dest="collector_off", action="store_false", help="skip the pass with the collector off"
    )
    args = parser.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",")]
    free = " free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    gil = "on" if getattr(sys, "_is_gil_enabled", lambda: True)() else "off"
    print(
        f"# Python {sys.version.split()[0]}{free}, GIL {gil}; the main job's 9-column table; best of "
        f"{args.rounds} interleaved fetches a side; ns per row; load average {os.getloadavg()[0]:.1f}"
    )
    header = (
        f"{'rows':>10} {'tessel':>8} {'driver':>8} {'ratio':>6}  {'tessel GC':>9} {'share':>6} {'runs':>4}"
        f"  {'driver GC':>9} {'share':>6}"
    )
    if args.collector_off:
        header += f"  {'tessel, GC off':>14} {'driver, GC off':>14} {'ratio':>6}"
    print(header)
    print("-" * len(header))
    results = []
    for size in sizes:
        r = measure(size, args.rounds, args.collector_off)
        results.append(r)
        line = (
            f"{size:>10,} {r['tessel_on_ns']:8.0f} {r['driver_on_ns']:8.0f} "
            f"{r['tessel_on_ns'] / r['driver_on_ns']:6.2f}  {r['tessel_on_gc_ns']:9.0f} "
            f"{r['tessel_on_gc_ns'] / r['tessel_on_ns']:6.1%} {r['tessel_on_gc_runs']:4}  "
            f"{r['driver_on_gc_ns']:9.0f} {r['driver_on_gc_ns'] / r['driver_on_ns']:6.1%}"
        )
        if args.collector_off:
            line += (
                f"  {r['tessel_off_ns']:14.0f} {r['driver_off_ns']:14.0f} "
                f"{r['tessel_off_ns'] / r['driver_off_ns']:6.2f}"
            )
        print(line, flush=True)
    first, last = results[0], results[-1]
    if len(results) > 1:
        growth = last["tessel_on_ns"] / first["tessel_on_ns"]
        ratio_first = first["tessel_on_ns"] / first["driver_on_ns"]
        ratio_last = last["tessel_on_ns"] / last["driver_on_ns"]
        print(
            f"tessel per row at {last['size']:,} rows / at {first['size']:,}: {growth:.2f}x "
            f"(goal ≤1.1: {'ok' if growth <= 1.1 else 'MISS'}); ratio to the driver {ratio_first:.2f} → "
            f"{ratio_last:.2f} ({'ok' if ratio_last <= ratio_first else 'MISS'}: no worse)"
        )
        if args.collector_off:
            off = last["tessel_off_ns"] / first["tessel_off_ns"]
            print(f"with the collector off: {off:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
