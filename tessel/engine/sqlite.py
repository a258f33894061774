"""Results of the standard library's sqlite3 driver, read through tessel rows.

A :class:`SQLiteResult` wraps an executed cursor: its metadata comes from the
cursor's description, each column gets a processor chosen by the column's
declared type, and every fetched row is a :class:`tessel.engine.row.Row`.

SQLite lets any column hold any storage class (INTEGER, REAL, TEXT, BLOB or
NULL), whatever its declared type.  A processor gives each value its exact
reading as the declared type, or raises :class:`UnreadableValueError` naming the
column, the declared type and the value when it has none: nothing is rounded,
guessed or dropped on the way (a REAL rounded to a NUMERIC column's places is
the one deliberate rounding: a binary float has no exact decimal reading).
"""

from __future__ import annotations

import re
import sqlite3
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from decimal import MAX_PREC, Context, Decimal
from functools import partial
from itertools import chain, filterfalse
from types import FunctionType
from typing import Any

from tessel.engine import convkit, mapkit, readers
from tessel.engine.result import ResultMetaData
from tessel.engine.row import KEY_OBJECTS_NO_WARN, Row

immutabledict = mapkit.immutabledict

DEFAULT_OPTIONS: mapkit.immutabledict[str, Any] = immutabledict(
    encoding="utf-8",  # of text stored as blobs
    decode_blobs=False,
    decimal_places=10,  # of NUMERIC/DECIMAL columns whose type declares no scale
    key_style=KEY_OBJECTS_NO_WARN,
)

Processor = Callable[[Any], Any] | None

_STORAGE_CLASS = {int: "INTEGER", float: "REAL", str: "TEXT", bytes: "BLOB"}
# A number as SQLite's own affinity rules read one out of text.
_NUMBER = re.compile(r"\s*[+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?\s*", re.ASCII)
# The scale of NUMERIC(p, s); NUMERIC(p) has scale 0.
_SCALE = re.compile(r"\(\s*\d+\s*(?:,\s*(\d+)\s*)?\)")
# Padding to a scale only adds zeros, so no precision limit may round it.
_EXACT = Context(prec=MAX_PREC)


class UnreadableValueError(ValueError):
    """A stored value has no exact reading as its column's declared type."""


def _unreadable(column: str | None, declared_type: str, reading: str) -> Callable[[Any], UnreadableValueError]:
    where = "a column" if column is None else f"column {column!r}"

    def error(value: Any) -> UnreadableValueError:
        shown = repr(value)
        if len(shown) > 80:  # a whole blob helps nobody
            shown = shown[:77] + "..."
        storage = _STORAGE_CLASS.get(type(value), type(value).__name__)
        return UnreadableValueError(
            f"{where} declared {declared_type!r} holds {storage} {shown}, which has no exact reading as {reading}"
        )

    return error


class _Lookup(dict[Any, Any]):
    """Stored value to reading; a value it lacks has none."""

    __slots__ = ("error",)

    def __init__(self, readings: dict[Any, Any], error: Callable[[Any], Exception]) -> None:
        super().__init__(readings)
        self.error = error

    def __missing__(self, value: Any) -> Any:
        raise self.error(value)


def _boolean(error: Callable[[Any], Exception]) -> Processor:
    # 1.0 and True hash and compare as 1, so they read as True too; 2, 0.5 and 'yes' don't.
    # The reader answers 0 and 1 itself and asks the lookup for anything else.
    return readers.BooleanReader(_Lookup({None: None, 0: False, 1: True}, error).__getitem__).process


def _decimal(scale: int, error: Callable[[Any], Exception]) -> Processor:
    # The reader formats a REAL at the scale (the one rounding), and writes an
    # INTEGER's digits with the scale's zeros after them, never through a C
    # double (2**53 + 1 would come back as 2**53); every other value comes here.
    quantum = Decimal(1).scaleb(-scale)

    def exact(value: Any) -> Decimal:
        if type(value) is str and _NUMBER.fullmatch(value):
            value = Decimal(value)
        if type(value) is not Decimal or not value.is_finite():
            raise error(value)
        # Text reads as written; only the zeros a shorter fraction lacks are added.
        if -scale < int(value.as_tuple().exponent) <= 0:
            return value.quantize(quantum, context=_EXACT)
        return value

    return readers.NumericReader(Decimal, scale, exact).process


def _float(error: Callable[[Any], Exception]) -> Processor:
    # The reader passes a float as it is and takes an INTEGER a float holds
    # exactly; every other value comes here.
    def other(value: Any) -> float:
        if type(value) is int and float(value) == value:  # 2**53 + 1 has no float
            return float(value)
        if type(value) is str and _NUMBER.fullmatch(value):
            return float(value)
        raise error(value)

    return readers.RealReader(other).process


_VALUE_ERRORS = (ValueError, TypeError, OverflowError)


def _explain(columns: list[tuple[str, str | None, Processor]], raw: Sequence[Any]) -> UnreadableValueError | None:
    """The error naming the first column whose processor refuses its value, if one does."""
    for (name, declared, process), value in zip(columns, raw):
        if process is None:
            continue
        try:
            process(value)
        except UnreadableValueError as exc:
            return exc
        except _VALUE_ERRORS as exc:
            return _unreadable(name, declared or "", f"{declared} ({exc})")(value)
    return None


_READERS = (readers.NumericReader, readers.RealReader, readers.BooleanReader)


def _names_its_column(process: Processor) -> bool:
    """True for the host's own processors, which raise UnreadableValueError themselves."""
    # Functions of this module only: the pure-Python converters are functions too.
    return (
        process is None
        or (isinstance(process, FunctionType) and process.__module__ == __name__)
        or isinstance(getattr(process, "__self__", None), _READERS)
    )


def processor_for(
    declared_type: str | None, options: mapkit.immutabledict[str, Any] = DEFAULT_OPTIONS, column: str | None = None
) -> Processor:
    """The column processor for a column of the given declared type, or None.

    SQLite keeps dates and times as text and booleans and decimals as numbers,
    so the declared type is what says how to read them back.  ``column`` names
    the column in the errors that the host's own processors raise.
    """
    declared = declared_type or ""
    t = declared.upper()

    def error(reading: str) -> Callable[[Any], UnreadableValueError]:
        return _unreadable(column, declared, reading)

    if "BOOL" in t:
        return _boolean(error("a boolean (0 or 1)"))
    # The native parsers and the decoder refuse, with an error of their own,
    # every value they have no reading for; SQLiteResult names the column.
    if "DATETIME" in t or "TIMESTAMP" in t:
        return convkit.str_to_datetime
    if t.startswith("DATE"):
        return convkit.str_to_date
    if t.startswith("TIME"):
        return convkit.str_to_time
    if "NUMERIC" in t or "DECIMAL" in t:
        declared_scale = _SCALE.search(t)
        if declared_scale:
            scale = int(declared_scale.group(1) or 0)
        else:
            scale = int(options["decimal_places"])
        return _decimal(scale, error(f"a decimal number with {scale} places"))
    if "REAL" in t or "FLOA" in t or "DOUB" in t:
        return _float(error("a float"))
    if "BLOB" in t and options["decode_blobs"]:
        # Text that arrives as str already stays as it is.
        return convkit.UnicodeResultProcessor(options["encoding"]).conditional_process
    return None


def declared_types(conn: sqlite3.Connection, table: str) -> dict[str, str]:
    """Column name to declared type, for one table."""
    return {name: decl for _, name, decl, *_ in conn.execute(f"PRAGMA table_info({table!r})")}


class SQLiteResult:
    """An executed cursor whose rows come back as :class:`Row` objects."""

    # The fetches read the driver a chunk at a time: no second list of all the
    # raw tuples lives beside the rows (to be walked by every collection), and
    # the chunk of a row that fails to build is still at hand to name the column.
    CHUNK = 256

    def __init__(
        self,
        cursor: sqlite3.Cursor,
        types: Sequence[str | None] | dict[str, str] = (),
        options: mapkit.immutabledict[str, Any] = DEFAULT_OPTIONS,
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
        processors = tuple(processor_for(t, options, name) for t, name in zip(types, names))
        # A tuple: the row build reads a tuple's items without taking references.
        self.processors: tuple[Processor, ...] | None = processors if any(processors) else None
        # One callable per result, so a fetch is a plain map over the driver's tuples.
        self._make_row: Callable[[Sequence[Any]], Row] = partial(
            Row, self.metadata, self.processors, self.metadata._keymap, options["key_style"]
        )
        # The native processors raise errors that don't name the column; when one
        # fails, the fetch reads the failing raw row again to say which it was.
        self._columns = None if all(map(_names_its_column, processors)) else list(zip(names, types, processors))

    def keys(self) -> tuple[str, ...]:
        return self.metadata.keys

    def _explained(self, exc: Exception, raw_rows: Sequence[Sequence[Any]]) -> UnreadableValueError | None:
        """The error naming the column whose native processor failed in one of raw_rows."""
        if self._columns is None or isinstance(exc, UnreadableValueError):
            return None
        for raw in raw_rows:
            explained = _explain(self._columns, raw)
            if explained is not None:
                return explained
        return None

    def _build(self, rows: list[Row], chunk: list[Any]) -> None:
        try:
            rows.extend(map(self._make_row, chunk))
        except _VALUE_ERRORS as exc:
            explained = self._explained(exc, chunk)
            if explained is None:
                raise
            raise explained from exc

    def __iter__(self) -> Iterator[Row]:
        make = self._make_row
        raw: Sequence[Any] = ()
        try:
            for raw in self.cursor:
                yield make(raw)
        except _VALUE_ERRORS as exc:
            # A try costs nothing until it catches, and `raw` is the failing row.
            explained = self._explained(exc, (raw,))
            if explained is None:
                raise
            raise explained from exc

    def fetchone(self) -> Row | None:
        raw = self.cursor.fetchone()
        if raw is None:
            return None
        rows: list[Row] = []
        self._build(rows, [raw])
        return rows[0]

    def fetchmany(self, size: int | None = None) -> list[Row]:
        if size is None:
            size = self.cursor.arraysize
        rows: list[Row] = []
        if type(size) is not int or not 0 < size < 2**31:
            # The driver's own rules for these, which differ between versions.
            self._build(rows, self.cursor.fetchmany(size))
            return rows
        while len(rows) < size and (chunk := self.cursor.fetchmany(min(size - len(rows), self.CHUNK))):
            self._build(rows, chunk)
        return rows

    def fetchall(self) -> list[Row]:
        # One pipeline of built-in iterators, so no Python code runs between
        # chunks: the cyclic collector, which the rows' allocations ask for,
        # then runs once the fetch is done, as after the driver's own
        # fetchall, rather than again and again over the rows kept so far.
        # `current` holds the chunk being built (filterfalse hands each chunk
        # to its append, which returns None), to name a failing column.
        rows: list[Row] = []
        current: deque[list[Any]] = deque(maxlen=1)
        chunks = filterfalse(current.append, iter(partial(self.cursor.fetchmany, self.CHUNK), []))
        try:
            rows.extend(map(self._make_row, chain.from_iterable(chunks)))
        except _VALUE_ERRORS as exc:
            explained = self._explained(exc, current[0] if current else ())
            if explained is None:
                raise
            raise explained from exc
        return rows
