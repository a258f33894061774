"""What the pure-Python twin costs: each operation timed with the native modules
and with the twin side by side in one process, interleaved as bench/run.py
times its pairs (best of each side; ratio twin / native).

    bash scripts/bench.sh --twin [--repeat N] [--target-ms MS]

The native modules are the installed ones; the twin is read from this
checkout's tessel/_pure/, each module under a name of its own, so both run
in the same interpreter.  Both sides' results are checked equal first.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import platform
import re
import sys
import sysconfig
from decimal import Decimal

# bench/'s own helpers: -P keeps the script's folder off the path, as it keeps the checkout's package.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import Case, as_tuple, measure  # noqa: E402

from tessel.engine import convkit, mapkit, rowkit  # noqa: E402  (the native modules, the host's one import place)
from tessel.engine.result import ResultMetaData  # noqa: E402
from tessel.engine.row import Row  # noqa: E402

TWIN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tessel", "_pure")


def load_twin(name: str):
    spec = importlib.util.spec_from_file_location(f"twin_{name}", os.path.join(TWIN, f"{name}.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def sides() -> dict:
    """The same objects made by each implementation: {"native": ns, "twin": ns}."""
    twin = {name: load_twin(name) for name in ("rowkit", "convkit", "mapkit")}

    class TwinRow(twin["rowkit"].BaseRow):
        __slots__ = ()

    names = [f"c{i}" for i in range(10)]
    meta = ResultMetaData(names)
    values = tuple(range(10))
    stamps = ("2024-03-05 14:30:15.123456", "2024-03-05", "caf\u00e9".encode(), 3.14159)
    out = {}
    for side, (rk, ck, mk, row_class) in {
        "native": (rowkit, convkit, mapkit, Row),
        "twin": (twin["rowkit"], twin["convkit"], twin["mapkit"], TwinRow),
    }.items():
        unicode = ck.UnicodeResultProcessor("utf-8")
        decimal = ck.DecimalResultProcessor(Decimal, "%.2f")
        processors = [
            None,
            ck.str_to_datetime,
            ck.str_to_date,
            unicode.process,
            decimal.process,
            None,
            None,
            None,
            ck.int_to_boolean,
            None,
        ]
        raw = (1, *stamps, 5, 6, 7, 1, 9)
        row = row_class(meta, None, meta._keymap, 3, values)
        out[side] = dict(
            Row=row_class,
            meta=meta,
            keymap=meta._keymap,
            values=values,
            raw=raw,
            processors=processors,
            row=row,
            tg=rk.tuplegetter(0, 5, 9),
            tg_names=rk.tuplegetter("c0", "c5", "c9"),
            ck=ck,
            unicode=unicode,
            decimal=decimal,
            stamps=stamps,
            immutabledict=mk.immutabledict,
            d={"a": 1, "b": 2, "c": 3},
            m=mk.immutabledict(a=1, b=2, c=3),
        )
    return out


OPERATIONS = [
    # (group, operation, statement, how the results compare)
    ("row", "Row(...), 10 columns, no processors", "Row(meta, None, keymap, 3, values)", as_tuple),
    ("row", "Row(...), 10 columns, 5 processors", "Row(meta, processors, keymap, 3, raw)", as_tuple),
    ("row", "row[0]", "row[0]", None),
    ("row", "row['c5']", "row['c5']", None),
    ("row", "row.c5", "row.c5", None),
    ("row", "iterate", "tuple(row)", None),
    ("row", "hash", "hash(row)", None),
    ("getter", "tuplegetter(0, 5, 9) on a row", "tg(row)", None),
    ("getter", "tuplegetter of 3 names on a row", "tg_names(row)", None),
    ("getter", "tuplegetter(0, 5, 9) on a tuple", "tg(values)", None),
    ("conversion", "str_to_datetime", "ck.str_to_datetime(stamps[0])", None),
    ("conversion", "str_to_date", "ck.str_to_date(stamps[1])", None),
    ("conversion", "UnicodeResultProcessor.process", "unicode.process(stamps[2])", None),
    ("conversion", "DecimalResultProcessor.process", "decimal.process(stamps[3])", None),
    ("conversion", "int_to_boolean", "ck.int_to_boolean(1)", None),
    ("mapping", "immutabledict(d), 3 items", "immutabledict(d)", dict),
    ("mapping", "m['b']", "m['b']", None),
    ("mapping", "m.get('x', 0)", "m.get('x', 0)", None),
    ("mapping", "m.union(e=4)", "m.union(e=4)", dict),
    ("mapping", "m.merge_with(None, {})", "m.merge_with(None, {})", dict),
]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=9, help="timed repetitions per side (default %(default)s)")
    parser.add_argument("--target-ms", type=float, default=20.0, help="time per repetition (default %(default)s ms)")
    args = parser.parse_args(argv)
    both = sides()
    print(
        f"# the pure-Python twin against the native modules: {platform.python_implementation()} "
        f"{platform.python_version()}{'t' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''}, "
        f"{platform.machine()}; best of {args.repeat} interleaved runs, ns per call"
    )
    print()
    print("| group | operation | native | twin | twin / native |")
    print("|---|---|---:|---:|---:|")
    for group, name, statement, normalize in OPERATIONS:
        # Case times `ours` against `peer` in one namespace: the twin's names
        # are given a prefix of their own there.
        setup = {**both["native"], **{f"t_{k}": v for k, v in both["twin"].items()}}
        case = Case(group, name, rename(statement, both["twin"]), "native", statement, setup, normalize=normalize)
        r = measure(case, args.repeat, args.target_ms / 1000)
        print(f"| {group} | {name} | {r['peer_ns']:,.0f} | {r['ours_ns']:,.0f} | {r['ratio']:.1f}x |", flush=True)
    return 0


def rename(statement: str, names: dict) -> str:
    """The statement with every name of the namespace given the twin's prefix (attributes left alone)."""
    return re.sub(r"(?<![.\w])(" + "|".join(map(re.escape, names)) + r")\b", r"t_\1", statement)


if __name__ == "__main__":
    sys.exit(main())
