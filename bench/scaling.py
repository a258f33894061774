"""How row work scales over threads, with the GIL off and, for contrast, on.

Every thread builds rows from raw tuples of its own through one shared result
(metadata, key map, column processors), as threads serving one query's rows
would, and reads each row by position, key and attribute.  Throughput is rows
per second summed over the threads; each thread does the same amount of work,
so perfect scaling doubles it from 1 thread to 2.

The GIL is fixed when an interpreter starts, so each setting runs in its own
child process; the children alternate, and inside each the thread counts
alternate, round after round.  The table keeps the best run of each (the one
least disturbed by other load on the machine) and the median, to show the noise.
The CPU time per row, summed over the threads, tells contention from a busy
machine: contention makes each row cost more CPU, while other load on the
machine only stretches the wall time.

Variants (--variants) locate what limits scaling:
  shared    the workload above
  plain     the same without column processors
  copies    each thread gets its own copy of metadata, key map and processors,
            made by the main thread: what sharing them costs
  local     as copies, but each thread makes its own, so it owns them and its
            reference counting on them needs no atomic operations
  deferred  the shared objects switched to deferred reference counting
            (PyUnstable_Object_EnableDeferredRefcount, through ctypes)
  python    no tessel at all: plain tuples and a dict read in Python, what the
            machine itself gives two threads at the time (other load included)

    .venv/bin/python -P bench/scaling.py [--rows N] [--rounds R] [--threads 1,2] [--variants shared,...]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
from decimal import Decimal

NAMES = ("id", "name", "created", "amount", "flag", "note")


def raw_rows(count, seed):
    return [
        (seed + i, f"name {i}".encode(), f"2024-03-05 14:{i % 60:02d}:15.25", i + 0.125, i % 2, "note")
        for i in range(count)
    ]


def shared_result(processors=True):
    from tessel.engine import convkit  # the host's one import place: silences only the GIL note
    from tessel.engine.result import ResultMetaData

    meta = ResultMetaData(NAMES)
    procs = None
    if processors:
        procs = (
            None,
            convkit.UnicodeResultProcessor("utf-8").process,
            convkit.str_to_datetime,
            convkit.DecimalResultProcessor(Decimal, "%.2f").process,
            convkit.int_to_boolean,
            None,
        )
    return meta, procs


def defer(objects):
    import ctypes

    enable = ctypes.pythonapi.PyUnstable_Object_EnableDeferredRefcount
    enable.argtypes = [ctypes.py_object]
    enable.restype = ctypes.c_int
    return sum(enable(o) for o in objects)


def work(meta, procs, raws):
    if meta is None:  # the python variant
        lookup = {name: (i, name) for i, name in enumerate(NAMES)}
        for raw in raws:
            row = tuple(raw)
            row[0]
            row[lookup["amount"][0]]
            row[lookup["created"][0]]
        return
    from tessel.engine.row import Row

    keymap = meta._keymap
    for raw in raws:
        row = Row(meta, procs, keymap, 3, raw)
        row[0]
        row["amount"]
        row.created


def timed_run(threads, variant, rows):
    """(rows per second, CPU seconds per row) of `threads` threads, each building and reading `rows` rows."""
    shared = shared_result(processors=variant != "plain")
    if variant == "deferred":
        meta, procs = shared
        defer([meta, meta._keymap, *meta._keymap.values(), *(p for p in procs or () if p is not None)])
    own = {"copies": shared_result, "local": lambda: None, "python": lambda: (None, None)}.get(variant, lambda: shared)
    inputs = [(own(), raw_rows(rows, k * rows)) for k in range(threads)]
    barrier = threading.Barrier(threads + 1)
    cpu = []

    def run(shared_here, raws):
        shared_here = shared_here or shared_result()
        barrier.wait()
        start = time.thread_time()
        work(*shared_here, raws)
        cpu.append(time.thread_time() - start)

    pool = [threading.Thread(target=run, args=item) for item in inputs]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    wall = time.perf_counter() - start
    return threads * rows / wall, sum(cpu) / (threads * rows)


def child(args):
    counts = [int(n) for n in args.threads.split(",")]
    results = {}
    for variant in args.variants.split(","):
        for n in counts:  # warm-up: specialisation, caches, thread start-up
            timed_run(n, variant, args.rows // 4)
        runs = {n: [] for n in counts}
        for _ in range(args.inner):
            for n in counts:
                runs[n].append(timed_run(n, variant, args.rows))
        results[variant] = runs
    json.dump({"gil": sys._is_gil_enabled(), "results": results}, sys.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=20000, help="rows per thread per run (default %(default)s)")
    parser.add_argument("--rounds", type=int, default=3, help="child processes per GIL setting (default %(default)s)")
    parser.add_argument(
        "--inner", type=int, default=3, help="runs per thread count in each child (default %(default)s)"
    )
    parser.add_argument("--threads", default="1,2", help="thread counts (default %(default)s)")
    parser.add_argument(
        "--variants",
        default="shared,python",
        help="shared, plain, copies, local, deferred, python (default %(default)s)",
    )
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        sys.exit("scaling.py needs a free-threaded interpreter (python3.14t)")

    settings = ("0", "1")
    runs = {}  # (variant, gil, threads) -> rows/s of every run
    for _ in range(args.rounds):
        for gil in settings:
            env = dict(os.environ, PYTHON_GIL=gil)
            out = subprocess.run(
                [
                    sys.executable,
                    "-P",
                    __file__,
                    "--child",
                    "--rows",
                    str(args.rows),
                    "--inner",
                    str(args.inner),
                    "--threads",
                    args.threads,
                    "--variants",
                    args.variants,
                ],
                env=env,
                check=True,
                capture_output=True,
                text=True,
            ).stdout
            report = json.loads(out)
            assert report["gil"] is (gil == "1"), report["gil"]
            for variant, by_count in report["results"].items():
                for n, values in by_count.items():
                    runs.setdefault((variant, gil, int(n)), []).extend(values)

    print(
        f"{platform.python_implementation()} {platform.python_version()} "
        f"{'free-threaded' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''} on {os.cpu_count()} cores, "
        f"{args.rows} rows per thread per run, {args.rounds * args.inner} runs each, load average "
        f"{os.getloadavg()[0]:.1f}"
    )
    print(
        f"{'variant':9} {'GIL':4} {'threads':>7} {'best rows/s':>12} {'median':>12} {'best vs 1 thread':>17} {'CPU us/row':>12}"
    )
    for variant in args.variants.split(","):
        for gil in settings:
            base = None
            for n in (int(c) for c in args.threads.split(",")):
                values = runs[(variant, gil, n)]
                rates = [rate for rate, _ in values]
                best = max(rates)
                base = base or best
                cpu_us = min(per_row for _, per_row in values) * 1e6
                print(
                    f"{variant:9} {'on' if gil == '1' else 'off':4} {n:7} {best:12,.0f} "
                    f"{statistics.median(rates):12,.0f} {best / base:16.2f}x {cpu_us:12.2f}"
                )


if __name__ == "__main__":
    main()
