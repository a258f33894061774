"""The main job: fills an SQLite table, reads it back through tessel rows, and
compares the fetch throughput with the sqlite3 driver's own rows.

    python -m tessel [--rows N] [--db PATH] [--repeat N]
"""

from __future__ import annotations

import argparse
import datetime
import os
import random
import sqlite3
import statistics
import sys
import sysconfig
import time
import warnings
from collections.abc import Callable
from contextlib import closing
from decimal import Decimal

with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)  # the GIL notice on import
    from tessel.engine.sqlite import DEFAULT_OPTIONS, SQLiteResult, declared_types

TABLE = "readings"
SCHEMA = f"""
CREATE TABLE IF NOT EXISTS {TABLE} (
    id       INTEGER PRIMARY KEY,
    active   BOOLEAN,
    score    REAL,
    name     TEXT,
    born     DATE,
    alarm    TIME,
    created  DATETIME,
    price    NUMERIC(12, 2),
    note     BLOB
)"""
COLUMNS = ["id", "active", "score", "name", "born", "alarm", "created", "price", "note"]
NAMES = ["ada", "grace", "edsger", "barbara", "ken", "dennis", "margaret", "alan", "frances", "niklaus"]


def populate(conn: sqlite3.Connection, rows: int, seed: int = 7) -> None:
    """Fills the table with `rows` rows of the kinds of values an application keeps."""
    rng = random.Random(seed)
    base = datetime.datetime(2024, 1, 1)

    def make(i: int) -> tuple:
        moment = base + datetime.timedelta(seconds=rng.randrange(366 * 86400), microseconds=rng.randrange(10**6))
        # SQLite's strftime('%f') writes milliseconds; some drivers write microseconds.
        created = moment.isoformat(" ", "milliseconds" if i % 4 else "microseconds")
        name = rng.choice(NAMES) + ("é" if i % 7 == 0 else "")
        return (
            i,
            rng.random() < 0.5,
            None if i % 11 == 0 else round(rng.uniform(0, 100), 3),
            name,
            moment.date().isoformat(),
            moment.time().isoformat("milliseconds"),
            created,
            round(rng.uniform(1, 10_000), 2),
            f"note for {name} #{i}".encode(),
        )

    conn.execute(SCHEMA)
    conn.execute(f"DELETE FROM {TABLE}")
    conn.executemany(f"INSERT INTO {TABLE} VALUES ({', '.join('?' * len(COLUMNS))})", map(make, range(rows)))
    conn.commit()


# The same conversions written in Python, for the driver's own rows.
def _py_bool(v):
    return None if v is None else bool(v)


def _py_float(v):
    return None if v is None else float(v)


def _py_datetime(v):
    return None if v is None else datetime.datetime.fromisoformat(v)


def _py_date(v):
    return None if v is None else datetime.date.fromisoformat(v)


def _py_time(v):
    return None if v is None else datetime.time.fromisoformat(v)


def _py_decimal(v):
    return None if v is None else Decimal("%.2f" % v)


def _py_text(v):
    return None if v is None or isinstance(v, str) else v.decode("utf-8")


PY_CONVERTERS = [None, _py_bool, _py_float, None, _py_date, _py_time, _py_datetime, _py_decimal, _py_text]


def convert_in_python(raw: tuple) -> tuple:
    return tuple(v if f is None else f(v) for f, v in zip(PY_CONVERTERS, raw))


def fetch_tessel(conn: sqlite3.Connection, options) -> list:
    cursor = conn.execute(f"SELECT * FROM {TABLE}")
    return SQLiteResult(cursor, declared_types(conn, TABLE), options).fetchall()


def fetch_tuples(conn: sqlite3.Connection, options) -> list:
    return [convert_in_python(raw) for raw in conn.execute(f"SELECT * FROM {TABLE}")]


def fetch_sqlite_rows(conn: sqlite3.Connection, options) -> list:
    cursor = conn.cursor()
    cursor.row_factory = lambda cur, raw: sqlite3.Row(cur, convert_in_python(raw))
    return cursor.execute(f"SELECT * FROM {TABLE}").fetchall()


def fetch_raw(conn: sqlite3.Connection, options) -> list:
    return conn.execute(f"SELECT * FROM {TABLE}").fetchall()


CONTENDERS: list[tuple[str, Callable]] = [
    ("tessel Row, native processors", fetch_tessel),
    ("sqlite3 tuples, Python conversions", fetch_tuples),
    ("sqlite3.Row, Python conversions", fetch_sqlite_rows),
    ("sqlite3 tuples, no conversions (floor)", fetch_raw),
]


class Progress:
    """A one-line progress bar on a terminal; a plain count line otherwise."""

    def __init__(self, total: int, stream=sys.stderr) -> None:
        self.total, self.done, self.stream = total, 0, stream
        self.tty = stream.isatty()

    def step(self, label: str) -> None:
        self.done += 1
        if self.tty:
            width = 30
            filled = width * self.done // self.total
            self.stream.write(f"\r  [{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} {label:<40}")
            if self.done == self.total:
                self.stream.write("\r" + " " * (width + 60) + "\r")
            self.stream.flush()
        elif self.total >= 10 and self.done % max(1, self.total // 5) == 0:
            print(f"  ... {self.done}/{self.total} timed fetches done", file=self.stream, flush=True)


def show_rows(conn: sqlite3.Connection, options, count: int = 3) -> None:
    cursor = conn.execute(f"SELECT * FROM {TABLE} ORDER BY id LIMIT {count}")
    result = SQLiteResult(cursor, declared_types(conn, TABLE), options)
    print(f"First {count} rows, read three ways:")
    for row in result:
        print(f"  by position  row[0]={row[0]!r}  row[1]={row[1]!r}  row[-1]={row[-1]!r}")
        print(f"  by name      row['name']={row['name']!r}  row['price']={row['price']!r}")
        print(f"  by attribute row.created={row.created!r}  row.alarm={row.alarm!r}")
        print(f"  as a tuple   {tuple(row)!r}")
        print()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tessel",
        description="Fill an SQLite table, read it back through tessel's native rows and converters, "
        "and compare fetch throughput with the sqlite3 driver's own rows doing the same conversions in Python.",
    )
    parser.add_argument("--rows", type=int, default=20_000, help="rows in the table (default %(default)s)")
    parser.add_argument("--db", default=":memory:", help="database file; in memory by default")
    parser.add_argument("--repeat", type=int, default=5, help="timed fetches per contender (default %(default)s)")
    args = parser.parse_args(argv)
    if args.rows < 1 or args.repeat < 1:
        parser.error("--rows and --repeat must be at least 1")

    options = DEFAULT_OPTIONS.union(decode_blobs=True, decimal_places=2)
    where = "in memory" if args.db == ":memory:" else os.path.abspath(args.db)
    print(f"tessel main job: {args.rows:,} rows of {len(COLUMNS)} columns, SQLite {sqlite3.sqlite_version} {where}")
    print(f"Python {sys.version.split()[0]}{' free-threaded' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''}; "
          f"options {options}")
    print()

    # closing(): a connection's own context manager only commits.
    with closing(sqlite3.connect(args.db)) as conn:
        started = time.perf_counter()
        populate(conn, args.rows)
        print(f"Filled table {TABLE!r} in {time.perf_counter() - started:.2f} s.")
        print()
        show_rows(conn, options)

        # Check all three agree before timing them.
        ours = [tuple(r) for r in fetch_tessel(conn, options)]
        if ours != fetch_tuples(conn, options) or ours != [tuple(r) for r in fetch_sqlite_rows(conn, options)]:
            print("error: the contenders read different values", file=sys.stderr)
            return 1

        timings: dict[str, list[float]] = {name: [] for name, _ in CONTENDERS}
        progress = Progress(args.repeat * len(CONTENDERS))
        for _ in range(args.repeat):
            for name, fetch in CONTENDERS:  # interleaved, so drift touches all alike
                started = time.perf_counter()
                fetch(conn, options)
                timings[name].append(time.perf_counter() - started)
                progress.step(name)

    print(f"Fetch throughput, {args.rows:,} rows, median of {args.repeat} runs:")
    ours_rate = args.rows / statistics.median(timings[CONTENDERS[0][0]])
    for name, _ in CONTENDERS:
        runs = timings[name]
        rate = args.rows / statistics.median(runs)
        spread = f"{args.rows / max(runs):,.0f}-{args.rows / min(runs):,.0f}"
        print(f"  {name:40} {rate:10,.0f} rows/s  ({spread})  tessel {ours_rate / rate:4.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
