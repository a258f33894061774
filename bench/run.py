"""Times tessel's operations against their peers, side by side in one process.

Each case is a pair of statements (ours, the peer's) over the same data.  Before
any timing, both sides' results are checked equal in value and in type (item by
item for rows and mappings), so a case can't win by doing less.  The two are then
timed alternately, repetition after repetition, the order swapped each time, so
drift of the machine touches both alike.  A repetition times each side as the best
of three short runs, its loop count taken from timeit's autorange.  The table
reports each side's best time per operation, their ratio ours / peer (below 1 we
are faster) and the spread of the per-repetition ratios; a case with a target
gets a verdict, reported and never enforced.  Every row of ours times the
host's own objects: rows made by SQLiteResult's row maker over a real cursor and
its fetches, never a row built by hand in a shape the host doesn't make.  A
table of memory per row, from the allocator's count, follows.

    .venv/bin/python -P bench/run.py [--repeat N] [--target-ms MS] [--only TEXT]
                                     [--json FILE] [--plot FILE.png] [--from JSON]
"""

from __future__ import annotations

import argparse
import builtins
import datetime
import gc
import json
import operator
import os
import platform
import sqlite3
import sys
import sysconfig
import timeit
import warnings
from collections import namedtuple
from collections.abc import Callable
from dataclasses import dataclass
from decimal import Decimal
from types import MappingProxyType
from typing import Any

with warnings.catch_warnings():
    # Only the interpreter's note that a module without free-threading support
    # (ours, or a peer) turns the GIL on.
    warnings.filterwarnings("ignore", r"The global interpreter lock \(GIL\) has been enabled", RuntimeWarning)
    from tessel import convkit, mapkit, rowkit
    from tessel.__main__ import fetch_raw, fetch_sqlite_rows, fetch_tessel
    from tessel.engine.sqlite import DEFAULT_OPTIONS, SQLiteResult, processor_for

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

# bench/'s own helpers: -P keeps the script's folder off the path, as it keeps the checkout's package.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import main_job_table  # noqa: E402

FETCH_ROWS = 20_000  # the main job's default table


@dataclass
class Case:
    group: str
    name: str
    ours: str
    peer_name: str
    peer: str
    setup: dict
    target: float | None = None  # goal for the ratio: a verdict, reported, never enforced
    stretch: float | None = None  # a further goal, reported beside the target
    # What is checked before timing: each side's expression (by default its
    # statement), brought to a comparable form by `normalize`.
    check_ours: str | None = None
    check_peer: str | None = None
    normalize: Callable[[Any], Any] | None = None
    same_type_only: str = ""  # why only the result types can agree (e.g. hashes of different recipes)
    per: int = 1  # operations per statement: times are reported per operation
    unit: str = ""
    repeat: int | None = None  # fewer repetitions for slow cases
    collector: bool = False  # keep the cyclic collector on while timing (timeit turns it off)


def same(a: Any, b: Any) -> bool:
    """Equal in value and in type, item by item through tuples, lists and dicts."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return bool(a == b)


def as_tuple(row: Any) -> tuple:
    return tuple(row)


def as_dict(mapping: Any) -> dict:
    return dict(mapping.items())


def as_sorted_dict(mapping: Any) -> dict:
    return dict(sorted(mapping.items()))  # for a peer that keeps no order


def as_tuples(rows: list) -> list:
    return [tuple(r) for r in rows]


def host_result(conn: sqlite3.Connection, query: str, options: Any = DEFAULT_OPTIONS) -> SQLiteResult:
    """The host's result over a real cursor: its rows are what users get."""
    return SQLiteResult(conn.execute(query), (), options)


def row_cases() -> list[Case]:
    names = [f"c{i}" for i in range(10)]
    conn = sqlite3.connect(":memory:")
    query = "select " + ", ".join(f"{i} as {n}" for i, n in enumerate(names))
    cursor = conn.execute(query)
    values = cursor.fetchone()
    # The host's row maker and the host's rows, with its default options.
    make_row = host_result(conn, query)._make_row
    row = host_result(conn, query).fetchone()
    sq_row = sqlite3.Row(cursor, values)
    NT = namedtuple("NT", names)
    nt = NT(*values)
    ns = dict(
        values=values,
        make_row=make_row,
        sqlite_Row=sqlite3.Row,
        cursor=cursor,
        sq_row=sq_row,
        NT=NT,
        nt=nt,
        row=row,
        dict=dict,
        tg=rowkit.tuplegetter(0, 5, 9),
        ig=operator.itemgetter(0, 5, 9),
        tg_names=rowkit.tuplegetter("c0", "c5", "c9"),
        ig_names=operator.itemgetter("c0", "c5", "c9"),
    )
    built = dict(normalize=as_tuple)
    return [
        Case(
            "row",
            "SQLiteResult's row maker, 10 columns",
            "make_row(values)",
            "sqlite3.Row(cursor, t)",
            "sqlite_Row(cursor, values)",
            ns,
            0.8,
            **built,
        ),
        Case(
            "row",
            "SQLiteResult's row maker, 10 columns",
            "make_row(values)",
            "namedtuple._make(t)",
            "NT._make(values)",
            ns,
            **built,
        ),
        Case("row", "row[0]", "row[0]", "sqlite3.Row[0]", "sq_row[0]", ns, 1.0),
        Case("row", "row[0]", "row[0]", "namedtuple[0]", "nt[0]", ns),
        Case("row", "row['c5']", "row['c5']", "sqlite3.Row['c5']", "sq_row['c5']", ns, 0.5),
        Case("row", "row.c5", "row.c5", "namedtuple.c5", "nt.c5", ns, 1.5, stretch=1.3),
        Case("row", "row.c5", "row.c5", "our row['c5']", "row['c5']", ns),
        Case("row", "row._asdict()", "row._asdict()", "dict(sqlite3.Row)", "dict(sq_row)", ns),
        Case("row", "row._asdict()", "row._asdict()", "namedtuple._asdict()", "nt._asdict()", ns),
        Case(
            "row",
            "iterate",
            "for v in row: pass",
            "sqlite3.Row",
            "for v in sq_row: pass",
            ns,
            check_ours="list(row)",
            check_peer="list(sq_row)",
        ),
        Case(
            "row",
            "iterate",
            "for v in row: pass",
            "namedtuple",
            "for v in nt: pass",
            ns,
            check_ours="list(row)",
            check_peer="list(nt)",
        ),
        Case(
            "row",
            "hash",
            "hash(row)",
            "sqlite3.Row",
            "hash(sq_row)",
            ns,
            same_type_only="sqlite3.Row hashes its description with its values",
        ),
        Case("row", "hash", "hash(row)", "namedtuple", "hash(nt)", ns),
        Case("getter", "tuplegetter(0, 5, 9) on a tuple", "tg(values)", "itemgetter on a tuple", "ig(values)", ns, 1.1),
        Case("getter", "tuplegetter(0, 5, 9) on a row", "tg(row)", "itemgetter on the row", "ig(row)", ns),
        Case(
            "getter",
            "tuplegetter(0, 5, 9) on a row",
            "tg(row)",
            "itemgetter on a tuple of the values",
            "ig(values)",
            ns,
        ),
        Case(
            "getter", "tuplegetter of 3 names on a row", "tg_names(row)", "itemgetter on the row", "ig_names(row)", ns
        ),
    ]


def fetch_all_by(how: str, size: int = 100) -> Callable[[Any], list]:
    """A whole fetch through one of the driver's ways, on a cursor or on the host's result alike."""

    def fetchall(source: Any) -> list:
        return source.fetchall()

    def fetchmany(source: Any) -> list:
        rows: list = []
        while chunk := source.fetchmany(size):
            rows += chunk
        return rows

    def iterate(source: Any) -> list:
        return [row for row in source]

    def fetchone(source: Any) -> list:
        rows = []
        append, fetch = rows.append, source.fetchone
        while (row := fetch()) is not None:
            append(row)
        return rows

    return {"fetchall": fetchall, "fetchmany": fetchmany, "iterate": iterate, "fetchone": fetchone}[how]


def fetch_cases() -> list[Case]:
    """SQLiteResult's fetches over the main job's table, per row, against the driver's own."""
    conn, options, types, query = main_job_table(FETCH_ROWS)
    ns = dict(
        conn=conn,
        options=options,
        types=types,
        query=query,
        SQLiteResult=SQLiteResult,
        fetch_tessel=fetch_tessel,
        fetch_raw=fetch_raw,
        fetch_sqlite_rows=fetch_sqlite_rows,
        **{f"by_{how}": fetch_all_by(how) for how in ("fetchall", "fetchmany", "iterate", "fetchone")},
    )
    # With the collector on, as in an application: what a fetch keeps alive costs
    # again at each collection.
    per_row = dict(per=FETCH_ROWS, unit="row", repeat=7, normalize=as_tuples, collector=True)
    # The driver's tuples are checked through the main job's Python conversions,
    # which the converted contenders are checked against as well.
    converted = "[tuple(r) for r in fetch_sqlite_rows(conn, options)]"
    cases = [
        Case(
            "fetch",
            "SQLiteResult.fetchall, per row",
            "fetch_tessel(conn, options)",
            "driver's fetchall, no conversions",
            "fetch_raw(conn, options)",
            ns,
            1.6,
            stretch=1.5,
            check_peer=converted,
            **per_row,
        ),
        Case(
            "fetch",
            "SQLiteResult.fetchall, per row",
            "fetch_tessel(conn, options)",
            "sqlite3.Row, conversions in Python",
            "fetch_sqlite_rows(conn, options)",
            ns,
            0.6,
            **per_row,
        ),
    ]
    # The other ways to fetch do the same work per row as fetchall, plus their
    # own per-call cost: for information, beside fetchall's target.
    for how, label in (("fetchmany", "fetchmany(100)"), ("iterate", "iteration"), ("fetchone", "fetchone")):
        cases.append(
            Case(
                "fetch",
                f"SQLiteResult {label}, per row",
                f"by_{how}(SQLiteResult(conn.execute(query), types, options))",
                f"driver's {label}, no conversions",
                f"by_{how}(conn.execute(query))",
                ns,
                check_peer=converted,
                **per_row,
            )
        )
    return cases


def reader_cases() -> list[Case]:
    """The host's readers of typed columns against the least work that gives the same value."""
    price, quantity = 1234.5678, 123456
    ns = dict(
        numeric=processor_for("NUMERIC(12, 2)", DEFAULT_OPTIONS, "price"),
        real=processor_for("REAL", DEFAULT_OPTIONS, "score"),
        boolean=processor_for("BOOLEAN", DEFAULT_OPTIONS, "paid"),
        price=price,
        price_text="%.2f" % price,
        quantity=quantity,
        Decimal=Decimal,
        float=float,
        bool=bool,
    )
    return [
        Case(
            "reader",
            "NUMERIC(12, 2) reader, stored REAL",
            "numeric(price)",
            "Decimal(text), text formatted",
            "Decimal(price_text)",
            ns,
            1.3,
        ),
        Case(
            "reader",
            "NUMERIC(12, 2) reader, stored INTEGER",
            "numeric(quantity)",
            "Decimal(int)",
            "Decimal(quantity)",
            ns,
            1.8,
        ),
        Case("reader", "REAL reader, stored REAL", "real(price)", "float(x)", "float(price)", ns, 1.2),
        Case("reader", "BOOLEAN reader, stored 1", "boolean(1)", "bool(x)", "bool(1)", ns),
    ]


def conversion_cases() -> list[Case]:
    dt_text, t_text, d_text = "2024-03-05 14:30:15.123456", "14:30:15.123456", "2024-03-05"
    fmt = "%.10f"
    py_decimal = lambda v: Decimal(fmt % v)  # noqa: E731  (the peer is a plain Python processor)
    text = "Grüße aus Köln, Straße 101".encode()
    assert len(text) == 30 and not text.isascii()
    ns = dict(
        conv=convkit,
        dt=datetime.datetime,
        t=datetime.time,
        d=datetime.date,
        dt_text=dt_text,
        t_text=t_text,
        d_text=d_text,
        ciso8601=ciso8601,
        up=convkit.UnicodeResultProcessor("utf-8").process,
        raw=text,
        dp=convkit.DecimalResultProcessor(Decimal, fmt).process,
        py_decimal=py_decimal,
        f=3.14159,
        dp2=convkit.DecimalResultProcessor(Decimal, "%.2f").process,
        py_decimal2=lambda v: Decimal("%.2f" % v),
    )
    cases = [
        Case(
            "convert",
            "str_to_datetime",
            "conv.str_to_datetime(dt_text)",
            "datetime.fromisoformat",
            "dt.fromisoformat(dt_text)",
            ns,
            0.8,
        ),
        Case(
            "convert",
            "str_to_time",
            "conv.str_to_time(t_text)",
            "time.fromisoformat",
            "t.fromisoformat(t_text)",
            ns,
            0.8,
        ),
        Case(
            "convert",
            "str_to_date",
            "conv.str_to_date(d_text)",
            "date.fromisoformat",
            "d.fromisoformat(d_text)",
            ns,
            0.8,
        ),
        # The floor: the object alone, made from fields already read.
        Case(
            "convert",
            "str_to_datetime",
            "conv.str_to_datetime(dt_text)",
            "datetime(y, m, d, H, M, S, us)",
            "dt(2024, 3, 5, 14, 30, 15, 123456)",
            ns,
        ),
        Case("convert", "str_to_time", "conv.str_to_time(t_text)", "time(H, M, S, us)", "t(14, 30, 15, 123456)", ns),
        Case("convert", "str_to_date", "conv.str_to_date(d_text)", "date(y, m, d)", "d(2024, 3, 5)", ns),
        Case("convert", "UnicodeResultProcessor('utf-8')", "up(raw)", "b.decode(), 30 bytes", "raw.decode()", ns, 1.05),
        Case(
            "convert",
            "DecimalResultProcessor('%.2f').process",
            "dp2(f)",
            "Decimal(fmt % v) in Python",
            "py_decimal2(f)",
            ns,
            0.6,
        ),
        Case(
            "convert",
            "DecimalResultProcessor('%.10f').process",
            "dp(f)",
            "Decimal(fmt % v) in Python",
            "py_decimal(f)",
            ns,
        ),
    ]
    if ciso8601 is not None:
        cases.insert(
            1,
            Case(
                "convert",
                "str_to_datetime",
                "conv.str_to_datetime(dt_text)",
                "ciso8601.parse_datetime",
                "ciso8601.parse_datetime(dt_text)",
                ns,
                1.2,
            ),
        )
    return cases


def mapping_cases() -> list[Case]:
    d = {f"k{i}": i for i in range(10)}
    a = {f"a{i}": i for i in range(10)}
    b = {f"b{i}": i for i in range(10)}
    ns = dict(
        ImmutableDict=mapkit.immutabledict,
        d=d,
        a=a,
        b=b,
        m=mapkit.immutabledict(d),
        ma=mapkit.immutabledict(a),
        mb=mapkit.immutabledict(b),
        mp=MappingProxyType(d),
        MappingProxyType=MappingProxyType,
    )
    mapped = dict(normalize=as_dict)
    cases = [
        Case("mapping", "construct from a 10-item dict", "ImmutableDict(d)", "dict(d)", "dict(d)", ns, 1.3, **mapped),
        Case("mapping", "construct from an immutabledict", "ImmutableDict(m)", "dict(d)", "dict(d)", ns, 1.1, **mapped),
        Case("mapping", "m[key]", "m['k5']", "dict", "d['k5']", ns, 1.2),
        Case("mapping", "m[key]", "m['k5']", "MappingProxyType", "mp['k5']", ns),
        Case("mapping", "m.get(key)", "m.get('k5')", "dict", "d.get('k5')", ns, 1.2),
        Case("mapping", "m.get(key)", "m.get('k5')", "MappingProxyType", "mp.get('k5')", ns),
        Case(
            "mapping",
            "iterate",
            "for k in m: pass",
            "dict",
            "for k in d: pass",
            ns,
            check_ours="list(m)",
            check_peer="list(d)",
        ),
        Case("mapping", "union, 10 + 10 items, dict", "ma.union(b)", "{**a, **b}", "{**a, **b}", ns, 1.3, **mapped),
        Case(
            "mapping",
            "merge_with, 10 + 10 items, dict",
            "ma.merge_with(b)",
            "{**a, **b}",
            "{**a, **b}",
            ns,
            1.3,
            **mapped,
        ),
        Case("mapping", "union, 10 + 10, immutabledict", "ma.union(mb)", "{**a, **b}", "{**a, **b}", ns, 1.1, **mapped),
        Case(
            "mapping",
            "merge_with, 10 + 10, immutabledict",
            "ma.merge_with(mb)",
            "{**a, **b}",
            "{**a, **b}",
            ns,
            1.1,
            **mapped,
        ),
    ]
    builtin_frozendict = getattr(builtins, "frozendict", None)
    if builtin_frozendict is not None:
        # The interpreter's own immutable mapping (3.15 on), the peer that users will compare with.
        ns.update(
            bfd=builtin_frozendict(d),
            bfa=builtin_frozendict(a),
            bfb=builtin_frozendict(b),
            builtin_frozendict=builtin_frozendict,
        )
        label = "built-in frozendict"
        cases += [
            Case(
                "mapping",
                "construct from a 10-item dict",
                "ImmutableDict(d)",
                label,
                "builtin_frozendict(d)",
                ns,
                1.1,
                **mapped,
            ),
            Case("mapping", "m[key]", "m['k5']", label, "bfd['k5']", ns, 1.1),
            Case("mapping", "m.get(key)", "m.get('k5')", label, "bfd.get('k5')", ns, 1.1),
            Case(
                "mapping",
                "iterate",
                "for k in m: pass",
                label,
                "for k in bfd: pass",
                ns,
                1.1,
                check_ours="list(m)",
                check_peer="list(bfd)",
            ),
            Case(
                "mapping", "union, 10 + 10 items, dict", "ma.union(b)", label + " | dict", "bfa | b", ns, 1.1, **mapped
            ),
            Case(
                "mapping",
                "union, 10 + 10, immutabledict",
                "ma.union(mb)",
                label + " | " + label,
                "bfa | bfb",
                ns,
                1.1,
                **mapped,
            ),
        ]
    if frozendict_mod is not None:
        fd_impl = "C" if getattr(frozendict_mod, "c_ext", False) else "pure Python"
        ns.update(
            frozendict=frozendict_mod.frozendict, fd=frozendict_mod.frozendict(d), fa=frozendict_mod.frozendict(a)
        )
        label = f"frozendict {frozendict_mod.__version__} ({fd_impl})"
        cases += [
            Case("mapping", "construct from a 10-item dict", "ImmutableDict(d)", label, "frozendict(d)", ns, **mapped),
            Case("mapping", "m[key]", "m['k5']", label, "fd['k5']", ns),
            Case("mapping", "m.get(key)", "m.get('k5')", label, "fd.get('k5')", ns),
            Case("mapping", "union, 10 + 10 items, dict", "ma.union(b)", label + " |", "fa | b", ns, **mapped),
        ]
    if immutables is not None:
        map_impl = (
            "C" if type(immutables.Map).__module__.endswith("_map") or "_map" in immutables.Map.__module__ else "Python"
        )
        ns.update(Map=immutables.Map, im=immutables.Map(d), ia=immutables.Map(a))
        label = f"immutables.Map {immutables.__version__} ({map_impl})"
        unordered = dict(normalize=as_sorted_dict)
        cases += [
            Case("mapping", "construct from a 10-item dict", "ImmutableDict(d)", label, "Map(d)", ns, **unordered),
            Case("mapping", "m[key]", "m['k5']", label, "im['k5']", ns),
            Case("mapping", "m.get(key)", "m.get('k5')", label, "im.get('k5')", ns),
            Case(
                "mapping",
                "union, 10 + 10 items, dict",
                "ma.union(b)",
                label + ".update",
                "ia.update(b)",
                ns,
                **unordered,
            ),
        ]
    return cases


def memory_table(rows: int = FETCH_ROWS) -> list[dict]:
    """Bytes per row of a fetched list, values and the list's slot included, from the allocator's own count.

    Each contender reads the main job's table into a list while tracemalloc
    traces; what is still allocated at the end, over the row count, is the row's
    share.  The values are the driver's (or the processors') fresh objects, so
    contenders over the same values hold the same ones.
    """
    import tracemalloc

    conn, options, types, query = main_job_table(rows)
    NT = namedtuple("NT", [d[0] for d in conn.execute(query).description])

    def sqlite_rows() -> list:
        cursor = conn.cursor()
        cursor.row_factory = sqlite3.Row
        return cursor.execute(query).fetchall()

    contenders: list[tuple[str, Callable[[], list], str | None, float | None]] = [
        ("tuples (driver's fetchall)", lambda: conn.execute(query).fetchall(), None, None),
        ("namedtuples", lambda: list(map(NT._make, conn.execute(query))), None, None),
        ("sqlite3.Row", sqlite_rows, None, None),
        (
            "tessel Row, no conversions",
            lambda: SQLiteResult(conn.execute(query), (), options).fetchall(),
            "sqlite3.Row",
            1.1,
        ),
        ("sqlite3.Row, conversions in Python", lambda: fetch_sqlite_rows(conn, options), None, None),
        (
            "tessel Row, native conversions",
            lambda: SQLiteResult(conn.execute(query), types, options).fetchall(),
            "sqlite3.Row, conversions in Python",
            None,
        ),
    ]
    sizes: dict[str, float] = {}
    results = []
    for name, fetch, peer, target in contenders:
        fetch()  # a first run warms the statement cache and the processors
        per_row = []
        for _ in range(3):
            gc.collect()
            tracemalloc.start()
            try:
                before = tracemalloc.get_traced_memory()[0]
                kept = fetch()
                gc.collect()
                per_row.append((tracemalloc.get_traced_memory()[0] - before) / len(kept))
                del kept
            finally:
                tracemalloc.stop()
        sizes[name] = min(per_row)
        results.append(
            {
                "rows": name,
                "bytes_per_row": sizes[name],
                "peer": peer,
                "ratio": sizes[name] / sizes[peer] if peer else None,
                "target": target,
            }
        )
    conn.close()
    return results


def print_memory_table(results: list[dict], rows: int = FETCH_ROWS) -> None:
    print()
    print(
        f"# Memory per row: {rows:,} rows of the main job's 9-column table fetched into a list, "
        "bytes per row from tracemalloc (values and the list's slot included)"
    )
    header = f"{'rows':40} {'bytes/row':>9}  {'against':36} {'ratio':>6}  target"
    print(header)
    print("-" * (len(header) + 10))
    for r in results:
        ratio = f"{r['ratio']:6.2f}" if r["ratio"] is not None else " " * 6
        target = ""
        if r["target"] is not None:
            target = "≤%.3g %s" % (r["target"], "ok" if r["ratio"] <= r["target"] else "MISS")
        print(f"{r['rows']:40} {r['bytes_per_row']:9.1f}  {(r['peer'] or ''):36} {ratio}  {target}", flush=True)


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "cpu"


def check(case: Case) -> None:
    """Both sides give the same result, in value and type, or the case is refused."""
    ours = eval(case.check_ours or case.ours, case.setup)
    peer = eval(case.check_peer or case.peer, case.setup)
    if case.normalize is not None:
        ours, peer = case.normalize(ours), case.normalize(peer)
    agree = type(ours) is type(peer) if case.same_type_only else same(ours, peer)
    if not agree:
        raise SystemExit(
            f"bench: {case.name!r} against {case.peer_name!r}: the results differ "
            f"({str(ours)[:200]} against {str(peer)[:200]})"
        )


def loops(timer: timeit.Timer, target_s: float) -> int:
    """Loop count for one short run of about target_s, from timeit's own calibration."""
    number, elapsed = timer.autorange()
    return max(1, round(number * target_s / elapsed))


def measure(case: Case, repeat: int, target_s: float) -> dict:
    check(case)
    setup = "gc.enable()" if case.collector else "pass"
    ours = timeit.Timer(case.ours, setup, globals={**case.setup, "gc": gc})
    peer = timeit.Timer(case.peer, setup, globals={**case.setup, "gc": gc})
    n_ours, n_peer = loops(ours, target_s / 3), loops(peer, target_s / 3)
    ours_ns: list[float] = []
    peer_ns: list[float] = []
    ratios = []
    for i in range(case.repeat or repeat):
        pair = [(ours, n_ours, ours_ns), (peer, n_peer, peer_ns)]
        for timer, n, out in pair if i % 2 == 0 else pair[::-1]:
            # Best of three short runs: a busy machine only ever adds time.
            out.append(min(timer.repeat(3, n)) / n / case.per * 1e9)
        ratios.append(ours_ns[-1] / peer_ns[-1])
    best_ours, best_peer = min(ours_ns), min(peer_ns)
    return {
        "group": case.group,
        "operation": case.name,
        "peer": case.peer_name,
        "unit": case.unit or "call",
        "ours_ns": best_ours,
        "peer_ns": best_peer,
        "ratio": best_ours / best_peer,
        "ratio_min": min(ratios),
        "ratio_max": max(ratios),
        "target": case.target,
        "stretch": case.stretch,
    }


def verdict(r: dict) -> str:
    if r["target"] is None:
        return ""
    text = "≤%.3g %s" % (r["target"], "ok" if r["ratio"] <= r["target"] else "MISS")
    if r.get("stretch") is not None:
        text += " (stretch ≤%.3g %s)" % (r["stretch"], "ok" if r["ratio"] <= r["stretch"] else "not yet")
    return text


def plot(table: dict, path: str) -> None:
    """Every row's ratio as a horizontal bar, its target marked, 1.0 the peer line."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, FormatStrFormatter, NullLocator

    results = table["results"]
    labels = [f"{r['operation']}  vs  {r['peer']}" for r in results]
    ratios = [r["ratio"] for r in results]
    colours = []
    for r in results:
        if r["target"] is None:
            colours.append("#9aa5b1")  # information only
        else:
            colours.append("#2b8a3e" if r["ratio"] <= r["target"] else "#c92a2a")
    height = 0.22 * len(results) + 1.3
    fig, ax = plt.subplots(figsize=(9, height), dpi=80)
    ys = range(len(results))
    ax.barh(ys, ratios, color=colours, height=0.7)
    for y, r in zip(ys, results):
        if r["target"] is not None:
            ax.plot([r["target"]] * 2, [y - 0.45, y + 0.45], color="black", linewidth=2)
        if r.get("stretch") is not None:
            ax.plot([r["stretch"]] * 2, [y - 0.45, y + 0.45], color="black", linewidth=1, linestyle=":")
        right = max(v for v in (r["ratio"], r["target"], r.get("stretch")) if v is not None)
        ax.text(right * 1.04, y, f"{r['ratio']:.2f}", va="center", fontsize=7)
    ax.axvline(1.0, color="#495057", linestyle="--", linewidth=1)
    ax.set_yticks(list(ys), labels, fontsize=7)
    ax.invert_yaxis()
    ax.set_xscale("log")
    low = min(0.1, min(ratios) * 0.8)
    high = max(max(v for v in (r["ratio"], r["target"] or 0) if v) for r in results) * 1.35
    ax.set_xlim(low, high)
    ax.xaxis.set_major_locator(
        FixedLocator([t for t in (0.1, 0.2, 0.3, 0.5, 0.8, 1, 1.5, 2, 3, 5) if low <= t <= high])
    )
    ax.xaxis.set_major_formatter(FormatStrFormatter("%g"))
    ax.xaxis.set_minor_locator(NullLocator())
    ax.set_xlabel("time ratio, ours / peer (log scale; left of the dashed line we are faster)", fontsize=8)
    ax.tick_params(axis="x", labelsize=7)
    ax.set_title(
        f"{table['machine']}\ngreen: target met, red: missed, grey: no target; bar mark: target, dotted: stretch",
        fontsize=8,
    )
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    if path.lower().endswith(".png"):
        from PIL import Image  # comes with matplotlib

        # A few flat colours: a palette image is a fraction of the size.
        with Image.open(path) as image:
            small = image.convert("RGB").quantize(colors=32)
        small.save(path, optimize=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15, help="timed repetitions per side (default %(default)s)")
    parser.add_argument("--target-ms", type=float, default=20.0, help="time per repetition (default %(default)s ms)")
    parser.add_argument("--only", default="", help="run only the cases whose group or operation contains TEXT")
    parser.add_argument("--json", metavar="FILE", help="also write the table as JSON")
    parser.add_argument("--plot", metavar="FILE.png", help="also draw the table's ratios (needs matplotlib)")
    parser.add_argument("--from", dest="from_json", metavar="JSON", help="draw a table written by --json; time nothing")
    args = parser.parse_args(argv)
    if args.from_json:
        if not args.plot:
            parser.error("--from needs --plot")
        with open(args.from_json) as fh:
            plot(json.load(fh), args.plot)
        return 0

    cases = [
        c
        for c in row_cases() + fetch_cases() + reader_cases() + conversion_cases() + mapping_cases()
        if args.only.lower() in (c.group + " " + c.name).lower()
    ]
    machine = (
        f"{platform.machine()} {cpu_model()}, {os.cpu_count()} cores, Python {platform.python_version()}"
        + (" free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
        + f"; GIL {'on' if getattr(sys, '_is_gil_enabled', lambda: True)() else 'off'}"
    )
    print(f"# {machine}; {args.repeat} repetitions of ~{args.target_ms:g} ms a side; times are each side's best")
    header = f"{'operation':36} {'peer':36} {'ours ns':>9} {'peer ns':>9} {'ratio':>6} {'spread':>11}  target"
    print(header)
    print("-" * (len(header) + 20))
    results = []
    for case in cases:
        r = measure(case, args.repeat, args.target_ms / 1000)
        results.append(r)
        unit = "" if r["unit"] == "call" else f" /{r['unit']}"
        print(
            f"{(r['operation'] + unit)[:36]:36} {r['peer'][:36]:36} {r['ours_ns']:9.1f} {r['peer_ns']:9.1f} "
            f"{r['ratio']:6.2f} {r['ratio_min']:5.2f}-{r['ratio_max']:<5.2f}  {verdict(r)}",
            flush=True,
        )
    table = {"machine": machine, "results": results}
    if not args.only or args.only.lower() in "memory":
        memory = memory_table()
        table["memory"] = memory
        print_memory_table(memory)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(table, fh, indent=2)
    if args.plot:
        plot(table, args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
