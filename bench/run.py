"""Times tessel's native operations against their peers, side by side in one process.

Each case is a pair of statements (ours, the peer's) over the same data.  The two
are timed alternately, repetition after repetition, so that drift of the machine
touches both alike; the table reports the median time per call of each and the
median and spread (min to max) of the per-repetition ratios ours / peer.  Below
1 means we are faster.

    .venv/bin/python -P bench/run.py [--repeat N] [--target-ms MS] [--only TEXT] [--json FILE]
"""

from __future__ import annotations

import argparse
import datetime
import json
import operator
import os
import platform
import sqlite3
import statistics
import sys
import sysconfig
import timeit
import warnings
from collections import namedtuple
from dataclasses import dataclass, field
from decimal import Decimal
from types import MappingProxyType

with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)  # the GIL notice on import
    from tessel import convkit, mapkit, rowkit
    from tessel.engine.result import ResultMetaData
    from tessel.engine.row import Row

    try:
        import ciso8601
    except ImportError:
        ciso8601 = None
    try:
        import frozendict as frozendict_mod
    except ImportError:
        frozendict_mod = None
    try:
        import immutables
    except ImportError:
        immutables = None


@dataclass
class Case:
    group: str
    name: str
    ours: str
    peer_name: str
    peer: str
    setup: dict = field(default_factory=dict)
    target: float | None = None  # goal for the median ratio, reported, never enforced


def row_cases() -> list[Case]:
    names = [f"c{i}" for i in range(10)]
    values = tuple(range(10))
    meta = ResultMetaData(names)
    conn = sqlite3.connect(":memory:")
    cursor = conn.execute("select " + ", ".join(f"{i} as {n}" for i, n in enumerate(names)))
    sq_row = sqlite3.Row(cursor, values)
    NT = namedtuple("NT", names)
    nt = NT(*values)
    row_int = Row(meta, None, meta._keymap, 0, values)  # integer access, as the host reads rows
    row_map = Row(meta, None, meta._keymap, 1, values)  # mapping access
    ns = dict(
        BaseRow=rowkit.BaseRow, Row=Row, meta=meta, keymap=meta._keymap, values=values,
        sqlite_Row=sqlite3.Row, cursor=cursor, sq_row=sq_row, NT=NT, nt=nt,
        row_int=row_int, row_map=row_map,
        tg=rowkit.tuplegetter(0, 5, 9), ig=operator.itemgetter(0, 5, 9),
        tg_names=rowkit.tuplegetter("c0", "c5", "c9"), ig_names=operator.itemgetter("c0", "c5", "c9"),
    )
    return [
        Case("row", "construct, 10 columns, no processors", "BaseRow(meta, None, keymap, 0, values)",
             "sqlite3.Row(cursor, t)", "sqlite_Row(cursor, values)", ns, 1.0),
        Case("row", "construct, 10 columns, no processors", "BaseRow(meta, None, keymap, 0, values)",
             "namedtuple._make(t)", "NT._make(values)", ns),
        Case("row", "row[0]", "row_int[0]", "sqlite3.Row[0]", "sq_row[0]", ns, 1.0),
        Case("row", "row[0]", "row_int[0]", "namedtuple[0]", "nt[0]", ns),
        Case("row", "row['c5']", "row_map['c5']", "sqlite3.Row['c5']", "sq_row['c5']", ns, 0.5),
        Case("row", "row.c5", "row_int.c5", "our row['c5']", "row_map['c5']", ns, 1.5),
        Case("row", "row.c5", "row_int.c5", "namedtuple.c5", "nt.c5", ns),
        Case("row", "iterate", "for v in row_int: pass", "sqlite3.Row", "for v in sq_row: pass", ns),
        Case("row", "iterate", "for v in row_int: pass", "namedtuple", "for v in nt: pass", ns),
        Case("row", "hash", "hash(row_int)", "sqlite3.Row", "hash(sq_row)", ns),
        Case("row", "hash", "hash(row_int)", "namedtuple", "hash(nt)", ns),
        Case("getter", "tuplegetter(0, 5, 9) on a tuple", "tg(values)", "itemgetter on a tuple", "ig(values)", ns, 1.1),
        Case("getter", "tuplegetter(0, 5, 9) on a row", "tg(row_int)", "itemgetter on the row", "ig(row_int)", ns),
        Case("getter", "tuplegetter(0, 5, 9) on a row", "tg(row_int)", "itemgetter on a tuple of the values",
             "ig(values)", ns),
        Case("getter", "tuplegetter of 3 names on a row", "tg_names(row_map)", "itemgetter on the row",
             "ig_names(row_map)", ns),
    ]


def conversion_cases() -> list[Case]:
    dt_text, t_text, d_text = "2024-03-05 14:30:15.123456", "14:30:15.123456", "2024-03-05"
    fmt = "%.10f"
    py_decimal = lambda v: Decimal(fmt % v)  # noqa: E731  (the peer is a plain Python processor)
    ns = dict(
        conv=convkit, dt=datetime.datetime, t=datetime.time, d=datetime.date,
        dt_text=dt_text, t_text=t_text, d_text=d_text, ciso8601=ciso8601,
        up=convkit.UnicodeResultProcessor("utf-8").process, raw=b"caf\xc3\xa9 cr\xc3\xa8me br\xc3\xbbl\xc3\xa9e",
        dp=convkit.DecimalResultProcessor(Decimal, fmt).process, py_decimal=py_decimal, f=3.14159,
    )
    cases = [
        Case("convert", "str_to_datetime", "conv.str_to_datetime(dt_text)", "datetime.fromisoformat",
             "dt.fromisoformat(dt_text)", ns, 0.8),
        Case("convert", "str_to_time", "conv.str_to_time(t_text)", "time.fromisoformat",
             "t.fromisoformat(t_text)", ns, 0.8),
        Case("convert", "str_to_date", "conv.str_to_date(d_text)", "date.fromisoformat",
             "d.fromisoformat(d_text)", ns, 0.8),
        Case("convert", "UnicodeResultProcessor.process", "up(raw)", "bytes.decode", "raw.decode('utf-8', 'strict')", ns),
        Case("convert", "DecimalResultProcessor.process", "dp(f)", "Decimal(fmt % v) in Python", "py_decimal(f)", ns),
    ]
    if ciso8601 is not None:
        cases.insert(1, Case("convert", "str_to_datetime", "conv.str_to_datetime(dt_text)", "ciso8601.parse_datetime",
                             "ciso8601.parse_datetime(dt_text)", ns, 1.2))
    return cases


def mapping_cases() -> list[Case]:
    d = {f"k{i}": i for i in range(10)}
    a = {f"a{i}": i for i in range(10)}
    b = {f"b{i}": i for i in range(10)}
    ns = dict(ImmutableDict=mapkit.immutabledict, d=d, a=a, b=b, m=mapkit.immutabledict(d),
              ma=mapkit.immutabledict(a), mp=MappingProxyType(d), MappingProxyType=MappingProxyType)
    cases = [
        Case("mapping", "construct from a 10-item dict", "ImmutableDict(d)", "dict(d)", "dict(d)", ns, 1.3),
        Case("mapping", "m[key]", "m['k5']", "dict", "d['k5']", ns, 1.2),
        Case("mapping", "m[key]", "m['k5']", "MappingProxyType", "mp['k5']", ns),
        Case("mapping", "m.get(key)", "m.get('k5')", "dict", "d.get('k5')", ns, 1.2),
        Case("mapping", "m.get(key)", "m.get('k5')", "MappingProxyType", "mp.get('k5')", ns),
        Case("mapping", "iterate", "for k in m: pass", "dict", "for k in d: pass", ns),
        Case("mapping", "union of two 10-item mappings", "ma.union(b)", "{**a, **b}", "{**a, **b}", ns, 1.3),
        Case("mapping", "merge_with of two 10-item mappings", "ma.merge_with(b)", "{**a, **b}", "{**a, **b}", ns, 1.3),
    ]
    if frozendict_mod is not None:
        fd_impl = "C" if getattr(frozendict_mod, "c_ext", False) else "pure Python"
        ns.update(frozendict=frozendict_mod.frozendict, fd=frozendict_mod.frozendict(d),
                  fa=frozendict_mod.frozendict(a))
        label = f"frozendict {frozendict_mod.__version__} ({fd_impl})"
        cases += [
            Case("mapping", "construct from a 10-item dict", "ImmutableDict(d)", label, "frozendict(d)", ns),
            Case("mapping", "m[key]", "m['k5']", label, "fd['k5']", ns),
            Case("mapping", "m.get(key)", "m.get('k5')", label, "fd.get('k5')", ns),
            Case("mapping", "union of two 10-item mappings", "ma.union(b)", label + " |", "fa | b", ns),
        ]
    if immutables is not None:
        map_impl = "C" if type(immutables.Map).__module__.endswith("_map") or "_map" in immutables.Map.__module__ else "Python"
        ns.update(Map=immutables.Map, im=immutables.Map(d), ia=immutables.Map(a))
        label = f"immutables.Map {immutables.__version__} ({map_impl})"
        cases += [
            Case("mapping", "construct from a 10-item dict", "ImmutableDict(d)", label, "Map(d)", ns),
            Case("mapping", "m[key]", "m['k5']", label, "im['k5']", ns),
            Case("mapping", "m.get(key)", "m.get('k5')", label, "im.get('k5')", ns),
            Case("mapping", "union of two 10-item mappings", "ma.union(b)", label + ".update", "ia.update(b)", ns),
        ]
    return cases


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "cpu"


def calibrate(timer: timeit.Timer, target_s: float) -> int:
    """Loop count that makes one timing last about target_s / 3."""
    target_s /= 3
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target_s / 4:
            return max(1, int(number * target_s / elapsed))
        number *= 4


def measure(case: Case, repeat: int, target_s: float) -> dict:
    ours = timeit.Timer(case.ours, globals=case.setup)
    peer = timeit.Timer(case.peer, globals=case.setup)
    n_ours, n_peer = calibrate(ours, target_s), calibrate(peer, target_s)
    ours_ns, peer_ns, ratios = [], [], []
    for i in range(repeat):
        # Alternate which goes first so neither always runs on a warmer cache.
        pair = [(ours, n_ours, ours_ns), (peer, n_peer, peer_ns)]
        for timer, n, out in (pair if i % 2 == 0 else pair[::-1]):
            # Best of three short runs: a busy machine only ever adds time.
            out.append(min(timer.repeat(3, n)) / n * 1e9)
        ratios.append(ours_ns[-1] / peer_ns[-1])
    return {
        "group": case.group, "operation": case.name, "peer": case.peer_name,
        "ours_ns": statistics.median(ours_ns), "peer_ns": statistics.median(peer_ns),
        "ratio": statistics.median(ratios), "ratio_min": min(ratios), "ratio_max": max(ratios),
        "target": case.target,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15, help="timed repetitions per side (default %(default)s)")
    parser.add_argument("--target-ms", type=float, default=20.0, help="time per repetition (default %(default)s ms)")
    parser.add_argument("--only", default="", help="run only the cases whose group or operation contains TEXT")
    parser.add_argument("--json", metavar="FILE", help="also write the table as JSON")
    args = parser.parse_args(argv)

    cases = [c for c in row_cases() + conversion_cases() + mapping_cases()
             if args.only.lower() in (c.group + " " + c.name).lower()]
    machine = f"{platform.machine()} {cpu_model()}, {os.cpu_count()} cores, Python {platform.python_version()}" + \
        (" free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    print(f"# {machine}; GIL {'on' if sys._is_gil_enabled() else 'off'}; {args.repeat} repetitions of ~{args.target_ms:g} ms")
    header = f"{'operation':40} {'peer':36} {'ours ns':>9} {'peer ns':>9} {'ratio':>6} {'spread':>13} {'target':>7}"
    print(header)
    print("-" * len(header))
    results = []
    for case in cases:
        r = measure(case, args.repeat, args.target_ms / 1000)
        results.append(r)
        target = "" if r["target"] is None else ("≤%.2g %s" % (r["target"], "ok" if r["ratio"] <= r["target"] else "MISS"))
        print(f"{r['operation'][:40]:40} {r['peer'][:36]:36} {r['ours_ns']:9.1f} {r['peer_ns']:9.1f} "
              f"{r['ratio']:6.2f} {r['ratio_min']:6.2f}-{r['ratio_max']:<6.2f} {target:>7}", flush=True)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"machine": machine, "results": results}, fh, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
