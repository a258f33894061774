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
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import closing
from decimal import Decimal
from typing import Any, TextIO

from tessel.engine.sqlite import DEFAULT_OPTIONS, SQLiteResult, declared_types

Options = Any  # the immutabledict of SQLiteResult options

# A name of our own, and the schema as SQLite keeps it (with this comment), are
# how the job knows its own table in a file it is given: it writes into no other.
TABLE = "tessel_main_job_readings"
SCHEMA = f"""CREATE TABLE {TABLE} (  -- made by python -m tessel, refilled at each run
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


class NotOurTable(Exception):
    """The file holds a table of our name that this job did not make."""


def claim_table(conn: sqlite3.Connection) -> None:
    """Makes the job's table, or finds it made by an earlier run; refuses any other."""
    existing = conn.execute("SELECT type, sql FROM sqlite_master WHERE name = ?", (TABLE,)).fetchone()
    if existing is None:
        conn.execute(SCHEMA)
    elif tuple(existing) != ("table", SCHEMA):
        raise NotOurTable(f"it already holds a {existing[0]} named {TABLE!r} that python -m tessel did not make")


def populate(conn: sqlite3.Connection, rows: int, seed: int = 7) -> None:
    """Fills the job's own table (see claim_table) with `rows` rows of the kinds of values an application keeps."""
    rng = random.Random(seed)
    base = datetime.datetime(2024, 1, 1)

    def make(i: int) -> tuple[Any, ...]:
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

    # Our own table: the rows it drops are those of an earlier run.
    conn.execute(f"DELETE FROM {TABLE}")
    conn.executemany(f"INSERT INTO {TABLE} VALUES ({', '.join('?' * len(COLUMNS))})", map(make, range(rows)))
    conn.commit()


# The same conversions written in Python, for the driver's own rows.
def _py_bool(v: int | None) -> bool | None:
    return None if v is None else bool(v)


def _py_float(v: float | None) -> float | None:
    return None if v is None else float(v)


def _py_datetime(v: str | None) -> datetime.datetime | None:
    return None if v is None else datetime.datetime.fromisoformat(v)


def _py_date(v: str | None) -> datetime.date | None:
    return None if v is None else datetime.date.fromisoformat(v)


def _py_time(v: str | None) -> datetime.time | None:
    return None if v is None else datetime.time.fromisoformat(v)


def _py_decimal(v: float | None) -> Decimal | None:
    return None if v is None else Decimal("%.2f" % v)


def _py_text(v: str | bytes | None) -> str | None:
    return None if v is None or isinstance(v, str) else v.decode("utf-8")


PY_CONVERTERS: list[Callable[[Any], Any] | None] = [
    None,
    _py_bool,
    _py_float,
    None,
    _py_date,
    _py_time,
    _py_datetime,
    _py_decimal,
    _py_text,
]


def convert_in_python(raw: Sequence[Any]) -> tuple[Any, ...]:
    return tuple(v if f is None else f(v) for f, v in zip(PY_CONVERTERS, raw))


Fetch = Callable[[sqlite3.Connection, Options], list[Any]]


def fetch_tessel(conn: sqlite3.Connection, options: Options) -> list[Any]:
    cursor = conn.execute(f"SELECT * FROM {TABLE}")
    return SQLiteResult(cursor, declared_types(conn, TABLE), options).fetchall()


def fetch_tuples(conn: sqlite3.Connection, options: Options) -> list[Any]:
    return [convert_in_python(raw) for raw in conn.execute(f"SELECT * FROM {TABLE}")]


def fetch_sqlite_rows(conn: sqlite3.Connection, options: Options) -> list[Any]:
    cursor = conn.cursor()
    cursor.row_factory = lambda cur, raw: sqlite3.Row(cur, convert_in_python(raw))
    return cursor.execute(f"SELECT * FROM {TABLE}").fetchall()


def fetch_raw(conn: sqlite3.Connection, options: Options) -> list[Any]:
    return conn.execute(f"SELECT * FROM {TABLE}").fetchall()


def typed(rows: Iterable[Iterable[Any]]) -> list[list[tuple[type, Any]]]:
    """Each value with its type: True is not 1, nor Decimal('12.50') 12.5, nor a datetime its text."""
    return [[(type(v), v) for v in row] for row in rows]


# The converting contenders read chunk by chunk, for the agreement check: it
# holds one chunk of each at a time, whatever the size of the table.
Chunks = Callable[[sqlite3.Connection, Options, int], Iterator[Sequence[Any]]]


def chunks_tessel(conn: sqlite3.Connection, options: Options, size: int) -> Iterator[Sequence[Any]]:
    result = SQLiteResult(conn.execute(f"SELECT * FROM {TABLE}"), declared_types(conn, TABLE), options)
    while chunk := result.fetchmany(size):
        yield chunk


def chunks_tuples(conn: sqlite3.Connection, options: Options, size: int) -> Iterator[Sequence[Any]]:
    cursor = conn.execute(f"SELECT * FROM {TABLE}")
    while chunk := cursor.fetchmany(size):
        yield [convert_in_python(raw) for raw in chunk]


def chunks_sqlite_rows(conn: sqlite3.Connection, options: Options, size: int) -> Iterator[Sequence[Any]]:
    cursor = conn.cursor()
    cursor.row_factory = lambda cur, raw: sqlite3.Row(cur, convert_in_python(raw))
    cursor.execute(f"SELECT * FROM {TABLE}")
    while chunk := cursor.fetchmany(size):
        yield chunk


def disagreement(conn: sqlite3.Connection, options: Options, chunk: int = 1000) -> str | None:
    """Where the converting contenders read a value differently, or None if they agree."""
    streams = [(name, CHUNKS[fetch](conn, options, chunk)) for name, fetch in CONTENDERS if fetch in CHUNKS]
    (first_name, first), *others = streams
    offset = 0
    while True:
        reads = [(name, typed(next(stream, ()))) for name, stream in streams]
        (_, mine), *theirs = reads
        for name, other in theirs:
            for i, (a, b) in enumerate(zip(mine, other), offset):
                if a != b:
                    return f"row {i}: {first_name} read {[v for _, v in a]!r}, {name} read {[v for _, v in b]!r}"
            if len(mine) != len(other):
                return f"{first_name} read {offset + len(mine)} rows, {name} {offset + len(other)}"
        if not mine:
            return None
        offset += len(mine)


CONTENDERS: list[tuple[str, Fetch]] = [
    ("tessel Row, native processors", fetch_tessel),
    ("sqlite3 tuples, Python conversions", fetch_tuples),
    ("sqlite3.Row, Python conversions", fetch_sqlite_rows),
    ("sqlite3 tuples, no conversions (floor)", fetch_raw),
]
CHUNKS: dict[Fetch, Chunks] = {
    fetch_tessel: chunks_tessel,
    fetch_tuples: chunks_tuples,
    fetch_sqlite_rows: chunks_sqlite_rows,
}


class Progress:
    """A one-line progress bar on a terminal; a plain count line otherwise."""

    def __init__(self, total: int, stream: TextIO = sys.stderr) -> None:
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


def show_rows(conn: sqlite3.Connection, options: Options, count: int = 3) -> None:
    cursor = conn.execute(f"SELECT * FROM {TABLE} ORDER BY id LIMIT {count}")
    result = SQLiteResult(cursor, declared_types(conn, TABLE), options)
    print(f"First {count} rows, read three ways:")
    for row in result:
        print(f"  by position  row[0]={row[0]!r}  row[1]={row[1]!r}  row[-1]={row[-1]!r}")
        print(f"  by name      row['name']={row['name']!r}  row['price']={row['price']!r}")
        print(f"  by attribute row.created={row.created!r}  row.alarm={row.alarm!r}")
        print(f"  as a tuple   {tuple(row)!r}")
        print()


def why_unopenable(path: str, exc: sqlite3.Error) -> str:
    """SQLite says only "unable to open database file"; the file system says why."""
    parent = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        return "it is a directory"
    if not os.path.isdir(parent):
        return f"there is no folder {parent}"
    if os.path.exists(path):
        if not os.access(path, os.R_OK | os.W_OK):
            return "permission denied"
    elif not os.access(parent, os.W_OK | os.X_OK):
        return f"permission denied in {parent}"
    return str(exc)  # "file is not a database", for one


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

    try:
        conn = sqlite3.connect(args.db)
    except sqlite3.Error as exc:
        print(f"error: cannot open {args.db}: {why_unopenable(args.db, exc)}", file=sys.stderr)
        return 1
    # closing(): a connection's own context manager only commits.
    with closing(conn):
        try:
            conn.execute("SELECT count(*) FROM sqlite_master").fetchone()  # reads the file's header
        except sqlite3.Error as exc:
            print(f"error: cannot open {args.db}: {why_unopenable(args.db, exc)}", file=sys.stderr)
            return 1
        try:
            claim_table(conn)
        except (NotOurTable, sqlite3.Error) as exc:
            print(f"error: not writing into {args.db}: {exc}", file=sys.stderr)
            return 1

        options = DEFAULT_OPTIONS.union(decode_blobs=True, decimal_places=2)
        where = "in memory" if args.db == ":memory:" else os.path.abspath(args.db)
        print(f"tessel main job: {args.rows:,} rows of {len(COLUMNS)} columns, SQLite {sqlite3.sqlite_version} {where}")
        print(
            f"Python {sys.version.split()[0]}{' free-threaded' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''}; "
            f"options {options}"
        )
        print()
        try:
            started = time.perf_counter()
            populate(conn, args.rows)
        except sqlite3.Error as exc:
            conn.rollback()
            print(f"error: could not fill {TABLE!r} in {args.db}: {exc}", file=sys.stderr)
            return 1
        print(f"Filled table {TABLE!r} in {time.perf_counter() - started:.2f} s.")
        print()
        show_rows(conn, options)

        # Check that they agree, type and value, before timing them.
        differs = disagreement(conn, options)
        if differs is not None:
            print(f"error: the contenders read different values: {differs}", file=sys.stderr)
            return 1

        # The check held one chunk at a time: the first fetch of the whole table
        # would pay for fresh memory that later ones reuse.  One untimed fetch
        # each, so every timed one runs on memory used before.
        for _, fetch in CONTENDERS:
            fetch(conn, options)
        timings: dict[str, list[float]] = {name: [] for name, _ in CONTENDERS}
        progress = Progress(args.repeat * len(CONTENDERS))
        for round_ in range(args.repeat):
            # Interleaved, so drift touches all alike, and each round in the other
            # order, so none always runs first (or right after a collection).
            for name, fetch in CONTENDERS if round_ % 2 == 0 else CONTENDERS[::-1]:
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
