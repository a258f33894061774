"""Results of the standard library's sqlite3 driver, read through tessel rows.

A :class:`SQLiteResult` wraps an executed cursor: its metadata comes from the
cursor's description, each column gets a native processor chosen by the
column's declared type, and every fetched row is a :class:`tessel.engine.row.Row`.
"""

from __future__ import annotations

import sqlite3
import warnings
from collections.abc import Callable, Iterator, Sequence
from decimal import Decimal
from functools import partial
from itertools import islice
from typing import Any

from tessel.engine.result import ResultMetaData
from tessel.engine.row import Row

with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)  # the GIL notice on import
    from tessel import convkit
    from tessel.mapkit import immutabledict

# Key styles a row can be read with.
KEY_INTEGER_ONLY = 0  # row[int]; keys by attribute only
KEY_OBJECTS_ONLY = 1  # row[key]; integers are refused
KEY_OBJECTS_BUT_WARN = 2  # both, warning on keys
KEY_OBJECTS_NO_WARN = 3  # both

DEFAULT_OPTIONS: immutabledict[str, Any] = immutabledict(
    encoding="utf-8",  # of text stored as blobs
    decode_blobs=False,
    decimal_places=10,
    key_style=KEY_OBJECTS_NO_WARN,
)

Processor = Callable[[Any], Any] | None


def processor_for(declared_type: str | None, options: immutabledict[str, Any] = DEFAULT_OPTIONS) -> Processor:
    """The column processor for a column of the given declared type, or None.

    SQLite keeps dates and times as text and booleans and decimals as numbers,
    so the declared type is what says how to read them back.
    """
    t = (declared_type or "").upper()
    if "BOOL" in t:
        return convkit.int_to_boolean
    if "DATETIME" in t or "TIMESTAMP" in t:
        return convkit.str_to_datetime
    if t.startswith("DATE"):
        return convkit.str_to_date
    if t.startswith("TIME"):
        return convkit.str_to_time
    if "NUMERIC" in t or "DECIMAL" in t:
        return convkit.DecimalResultProcessor(Decimal, f"%.{int(options['decimal_places'])}f").process
    if "REAL" in t or "FLOA" in t or "DOUB" in t:
        return convkit.to_float
    if "BLOB" in t and options["decode_blobs"]:
        # Text that arrives as str already stays as it is.
        return convkit.UnicodeResultProcessor(options["encoding"]).conditional_process
    return None


def declared_types(conn: sqlite3.Connection, table: str) -> dict[str, str]:
    """Column name to declared type, for one table."""
    return {name: decl for _, name, decl, *_ in conn.execute(f"PRAGMA table_info({table!r})")}


class SQLiteResult:
    """An executed cursor whose rows come back as :class:`Row` objects."""

    def __init__(
        self,
        cursor: sqlite3.Cursor,
        types: Sequence[str | None] | dict[str, str] = (),
        options: immutabledict[str, Any] = DEFAULT_OPTIONS,
    ) -> None:
        if cursor.description is None:
            raise ValueError("the cursor has no result rows (was a SELECT executed?)")
        names = [d[0] for d in cursor.description]
        if isinstance(types, dict):
            types = [types.get(name) for name in names]
        elif len(types) not in (0, len(names)):
            raise ValueError(f"{len(types)} declared types given for {len(names)} columns")
        self.cursor = cursor
        self.options = options
        self.metadata = ResultMetaData(names)
        processors = [processor_for(t, options) for t in types]
        self.processors: list[Processor] | None = processors if any(processors) else None
        # One callable per result, so a fetch is a plain map over the driver's tuples.
        self._make_row = partial(Row, self.metadata, self.processors, self.metadata._keymap, options["key_style"])

    def keys(self) -> tuple[str, ...]:
        return self.metadata.keys

    def __iter__(self) -> Iterator[Row]:
        return map(self._make_row, self.cursor)

    def fetchone(self) -> Row | None:
        raw = self.cursor.fetchone()
        return None if raw is None else self._make_row(raw)

    # The fetches read the cursor row by row rather than through the driver's
    # own fetch lists: each raw tuple is dropped as soon as its row is built,
    # so no second list of tuples lives (and is walked by the collector) while
    # the rows pile up.
    def fetchmany(self, size: int | None = None) -> list[Row]:
        if size is None:
            size = self.cursor.arraysize
        if type(size) is not int or not 0 < size < 2**31:
            # The driver's own rules for these, which differ between versions.
            return list(map(self._make_row, self.cursor.fetchmany(size)))
        return list(map(self._make_row, islice(self.cursor, size)))

    def fetchall(self) -> list[Row]:
        return list(map(self._make_row, self.cursor))
