"""Quick same-process comparison of tessel.rowkit rows with sqlite3.Row and operator.itemgetter.

Run with the environment's interpreter:  .venv/bin/python -P bench/rowkit_quick.py
Each pair is timed in interleaved rounds; the best round per case is kept.
"""

import operator
import sqlite3
import sys
import timeit
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)
    from tessel.engine.result import ResultMetaData
    from tessel.engine.row import Row
    from tessel.rowkit import BaseRow, tuplegetter

NAMES = [f"c{i}" for i in range(10)]
VALUES = tuple(range(10))

metadata = ResultMetaData(NAMES)
keymap = metadata._keymap
row = BaseRow(metadata, None, keymap, 3, VALUES)
host_row = Row(metadata, None, keymap, 3, VALUES)

connection = sqlite3.connect(":memory:")
connection.row_factory = sqlite3.Row
cursor = connection.execute("SELECT " + ", ".join(f"{i} AS {name}" for i, name in enumerate(NAMES)))
sqlite_row = cursor.fetchone()

getter = tuplegetter(1, 3, 5)
itemgetter = operator.itemgetter(1, 3, 5)

env = dict(globals())

# (label, ours, theirs, target ratio)
PAIRS = [
    ("BaseRow(...) vs sqlite3.Row(...), 10 columns", "BaseRow(metadata, None, keymap, 3, VALUES)",
     "sqlite3.Row(cursor, VALUES)", 1.0),
    ("row[0] vs sqlite3.Row[0]", "row[0]", "sqlite_row[0]", 1.0),
    ("row['c5'] vs sqlite3.Row['c5']", "row['c5']", "sqlite_row['c5']", 0.5),
    ("row.c5 vs row['c5']", "row.c5", "row['c5']", 1.5),
    ("tuplegetter(1, 3, 5)(row) vs itemgetter(1, 3, 5)(tuple)", "getter(row)", "itemgetter(VALUES)", 1.1),
    ("Row(...) vs sqlite3.Row(...), 10 columns", "Row(metadata, None, keymap, 3, VALUES)",
     "sqlite3.Row(cursor, VALUES)", None),
    ("host Row.c5 vs host Row['c5']", "host_row.c5", "host_row['c5']", None),
]


def best_per_op(stmt: str, number: int) -> float:
    return timeit.Timer(stmt, globals=env).timeit(number) / number


def main() -> None:
    number = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    rounds = 7
    print(f"{'case':58} {'ours ns':>8} {'theirs ns':>9} {'ratio':>6} {'target':>7}")
    for label, ours, theirs, target in PAIRS:
        best_ours = best_theirs = float("inf")
        for _ in range(rounds):
            best_ours = min(best_ours, best_per_op(ours, number))
            best_theirs = min(best_theirs, best_per_op(theirs, number))
        ratio = best_ours / best_theirs
        verdict = "" if target is None else ("ok" if ratio <= target else "MISS")
        shown = "-" if target is None else f"<={target}"
        print(f"{label:58} {best_ours * 1e9:8.1f} {best_theirs * 1e9:9.1f} {ratio:6.2f} {shown:>7} {verdict}")


if __name__ == "__main__":
    main()
