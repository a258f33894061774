"""Where a row of the main job's fetch goes: its cost per row, split into parts.

    .venv/bin/python -P bench/fetch_profile.py [--rows N] [--repeat N]

The fetch is two phases, each timed on its own over the main job's table: the
driver's fetch in the host's chunks (fetchmany of SQLiteResult.CHUNK rows, each
dropped once read, as the fetch drops it once its rows are built), and the row
build with every column's processor over tuples the driver has just made
(fetched untimed before each run, as the fetch builds over fresh ones; over
tuples made once and reused the same build costs less, shown apart).  Their sum is set
against the whole SQLiteResult.fetchall; what they don't explain is the rest
(the fetch's own loop, glue).  The row build is then broken down further: with
no processor called (a new values tuple per row, as a fetch with processors
makes), and each column's processor over that column's values (the call
included).  Every part is timed with the collector off and on, and the runs of
all of them are interleaved, round after round, so that the machine's drift
and the state of the heap touch every part alike (timed one after the other,
whichever came second ran on a heap the first had warmed); each reports its
best run.  The collector's own time within each run is measured through its
callbacks and shown apart.  Last, the fetch's own loop runs with each chunk's
read and build timed apart: the two phases as they cost inside a real fetch,
where each follows the other chunk by chunk (on the free-threaded build the
driver's reads cost more there than alone, where each chunk reuses the memory
the one before it freed).
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
from functools import partial

with warnings.catch_warnings():
    warnings.filterwarnings("ignore", r"The global interpreter lock \(GIL\) has been enabled", RuntimeWarning)
    from tessel.engine.row import Row
    from tessel.engine.sqlite import SQLiteResult

# bench/'s own helpers: -P keeps the script's folder off the path, as it keeps the checkout's package.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import CollectorClock, main_job_table  # noqa: E402


def timed(
    fn: Callable[..., object], collector: bool, clock: CollectorClock, setup: Callable[[], object] | None = None
) -> tuple[float, float]:
    """Wall time of one fn() (or fn(setup()), the setup untimed), the collector on
    or off, and the collector's own time within it; what fn returns is freed untimed."""
    given = () if setup is None else (setup(),)
    if collector:
        gc.enable()
    else:
        gc.disable()
    clock.reset()
    try:
        started = time.perf_counter()
        out = fn(*given)
        elapsed = time.perf_counter() - started
        collecting = clock.seconds
    finally:
        gc.enable()
    del out, given
    gc.collect()  # each run starts from the same heap
    return elapsed, collecting


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

    build_all = result._make_row  # the host's own row maker

    # Rows and values are kept, as a fetch keeps them: fresh memory costs too.
    # The build runs over tuples the driver has just made, untimed, as in the
    # fetch: over the same tuples made once and reused it costs less (shown).
    reused = "  (the same build over tuples made once and reused)"
    phases: list[tuple[str, Callable[..., object]]] = [
        ("driver fetch (cursor.fetchmany in the fetch's chunks)", driver_in_chunks),
        ("row build with the column processors", lambda fresh: list(map(build_all, fresh))),
    ]
    setups = {phases[1][0]: lambda: conn.execute(query).fetchall()}
    breakdown: list[tuple[str, Callable[..., object]]] = [
        (reused, lambda: list(map(build_all, raw))),
        ("  row build, no processor called", lambda: list(map(build, raw))),
    ]
    baseline = ("(a list of each column's values, subtracted)", lambda: [list(col) for col in columns])
    for name, processor, col in zip(names, processors, columns):
        if processor is None:
            continue
        label = getattr(processor, "__qualname__", None) or type(processor).__name__
        owner = getattr(processor, "__self__", None)
        if owner is not None and not isinstance(owner, type(sys)):
            label = f"{type(owner).__name__}.{processor.__name__}"
        breakdown.append((f"  processor: {name} ({label})", lambda p=processor, c=col: list(map(p, c))))
    parts = phases
    whole = ("SQLiteResult.fetchall", fetch)

    # The fetch's own loop over the same chunks, each chunk's read and build
    # timed apart: the two phases in the memory state of a real fetch, where
    # each chunk's values are still in the cache when its rows are built.
    in_turn = "the fetch's loop, each chunk's read and build timed apart"
    split: dict[bool, tuple[float, float]] = {}

    def read_and_build_in_turn() -> list:
        now = time.perf_counter
        cursor = conn.execute(query)
        rows: list = []
        reading = building = 0.0
        while True:
            started = now()
            chunk = cursor.fetchmany(SQLiteResult.CHUNK)
            read = now()
            reading += read - started
            if not chunk:
                break
            rows.extend(map(build_all, chunk))
            building += now() - read
        split[gc.isenabled()] = (reading, building)
        return rows

    timings = [*phases, *breakdown, baseline, whole, (in_turn, read_and_build_in_turn)]
    best_split: dict[bool, tuple[float, float]] = {}

    fetch()  # a first run warms the statement cache and the allocator
    # Each part's best run, and the collector's own time within that run.
    best = {(label, on): (float("inf"), 0.0) for label, _ in timings for on in (False, True)}
    clock = CollectorClock()
    gc.callbacks.append(clock)
    try:
        for round_ in range(args.repeat):
            # Rotated each round, so no part always follows the same one.
            turn = timings[round_ % len(timings) :] + timings[: round_ % len(timings)]
            for label, fn in turn:
                for on in (False, True) if round_ % 2 else (True, False):
                    run = timed(fn, on, clock, setups.get(label))
                    if run < best[label, on]:
                        best[label, on] = run
                        if label == in_turn:
                            best_split[on] = split[on]
    finally:
        gc.callbacks.remove(clock)

    def per_row(label: str, on: bool, collector_too: bool = True) -> float:
        seconds, collecting = best[label, on]
        if not collector_too:
            seconds -= collecting
        if label.startswith("  processor:"):
            seconds -= best[baseline[0], on][0] / len(columns)
        return seconds / n * 1e6

    free = " free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    gil = "on" if getattr(sys, "_is_gil_enabled", lambda: True)() else "off"
    print(
        f"# Python {sys.version.split()[0]}{free}, GIL {gil}; {n:,} rows of {len(names)} columns; "
        f"best of {args.repeat} interleaved rounds; µs per row"
    )
    print(f"  {'':60} {'collector off':>13} {'collector on':>13}")
    for label, _ in parts:
        print(f"  {label:60} {per_row(label, False):13.3f} {per_row(label, True):13.3f}")
        if label.startswith("row build"):
            for sub, _ in breakdown:
                print(f"  {sub:60} {per_row(sub, False):13.3f} {per_row(sub, True):13.3f}")
            detail = {on: sum(per_row(sub, on) for sub, _ in breakdown if sub != reused) for on in (False, True)}
            print(f"  {'  (the breakdown summed)':60} {detail[False]:13.3f} {detail[True]:13.3f}")
    sums = {on: sum(per_row(label, on) for label, _ in parts) for on in (False, True)}
    wholes = {on: per_row(whole[0], on) for on in (False, True)}
    print(f"  {'sum of the parts':60} {sums[False]:13.3f} {sums[True]:13.3f}")
    print(f"  {'SQLiteResult.fetchall':60} {wholes[False]:13.3f} {wholes[True]:13.3f}")
    rest = {on: wholes[on] - sums[on] for on in (False, True)}
    print(f"  {'rest (the fetch loop, glue; the collector)':60} {rest[False]:13.3f} {rest[True]:13.3f}")
    print(f"  {'rest, share of the whole':60} {rest[False] / wholes[False]:13.1%} {rest[True] / wholes[True]:13.1%}")
    # With the collector on, its passes during the parts and the whole differ
    # (it runs by allocation counts, and the whole keeps more alive): its own
    # time, from its callbacks, taken out of each.
    sum_own = sum(per_row(label, True, collector_too=False) for label, _ in parts)
    whole_own = per_row(whole[0], True, collector_too=False)
    collector = {label: (best[label, True][1] / n * 1e6) for label, _ in [*parts, whole]}
    print(f"  {'collector on, its own time taken out: sum of the parts':60} {'':13} {sum_own:13.3f}")
    print(f"  {'collector on, its own time taken out: SQLiteResult.fetchall':60} {'':13} {whole_own:13.3f}")
    print(f"  {'  rest, share of the whole':60} {'':13} {(whole_own - sum_own) / whole_own:13.1%}")
    print(f"  {in_turn + ':':60}")
    reads = {on: best_split[on][0] / n * 1e6 for on in (False, True)}
    builds = {on: best_split[on][1] / n * 1e6 for on in (False, True)}
    print(f"  {'  driver fetch':60} {reads[False]:13.3f} {reads[True]:13.3f}")
    print(f"  {'  row build with the column processors':60} {builds[False]:13.3f} {builds[True]:13.3f}")
    print(f"  {'  the loop as a whole':60} {per_row(in_turn, False):13.3f} {per_row(in_turn, True):13.3f}")
    for on in (False, True):
        rest[on] = (wholes[on] - reads[on] - builds[on]) / wholes[on]
    print(f"  {'  rest against SQLiteResult.fetchall, share of the whole':60} {rest[False]:13.1%} {rest[True]:13.1%}")
    print(f"  {'collector own time in the parts, summed':60} {'':13} {sum(collector[lb] for lb, _ in parts):13.3f}")
    print(f"  {'collector own time in SQLiteResult.fetchall':60} {'':13} {collector[whole[0]]:13.3f}")
    conn.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
