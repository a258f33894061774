"""A user's script over the public API; the type tests check it with mypy --strict, then run it."""

from __future__ import annotations

import datetime
import pickle
import sqlite3
from decimal import Decimal
from typing import Any

from tessel import convkit
from tessel.engine.row import KEY_OBJECTS_NO_WARN, Row
from tessel.engine.sqlite import DEFAULT_OPTIONS, SQLiteResult, declared_types
from tessel.engine.util import tuplegetter
from tessel.mapkit import immutabledict


def settings() -> immutabledict[str, bool | int | str]:
    base = immutabledict({"echo": False})
    sized: immutabledict[str, bool | int] = base.union(pool_size=5)
    named: immutabledict[str | int, bool | int | str] = sized.union({1: "one"})
    assert named.merge_with(None, {2: "two"}, None)[2] == "two"
    assert sized.merge_with() is sized and sized.union({}) is sized
    return sized.merge_with({"url": "sqlite://"}, [("echo", True)])


def read(conn: sqlite3.Connection) -> list[tuple[int, bool, Decimal, datetime.datetime]]:
    result = SQLiteResult(
        conn.execute("SELECT * FROM orders ORDER BY id"),
        types=declared_types(conn, "orders"),
        options=DEFAULT_OPTIONS.union(key_style=KEY_OBJECTS_NO_WARN),
    )
    first: Row | None = result.fetchone()
    assert first is not None and first.total == first["total"] == first[3]
    pick = tuplegetter(0, 3)
    assert pick(first) == (first.id, first.total)
    again: Row = pickle.loads(pickle.dumps(first))
    assert again == first and result.keys() == ("id", "paid", "at", "total")
    return [(row.id, row.paid, row.total, row.at) for row in [first, *result.fetchall()]]


def convert() -> tuple[bool, float, datetime.date, str, Decimal, None]:
    to_decimal = convkit.DecimalResultProcessor(Decimal, "%.2f")
    text: str = convkit.UnicodeResultProcessor("utf-8").conditional_process(b"caf\xc3\xa9")
    return (
        convkit.int_to_boolean(1),
        convkit.to_float("1.5"),
        convkit.str_to_date("2024-03-05"),
        text,
        to_decimal.process(3.14159),
        convkit.str_to_datetime(None),
    )


def main() -> None:
    conn = sqlite3.connect(":memory:")
    try:
        conn.execute("CREATE TABLE orders (id INTEGER PRIMARY KEY, paid BOOLEAN, at DATETIME, total NUMERIC(20, 2))")
        conn.executemany(
            "INSERT INTO orders VALUES (?, ?, ?, ?)",
            [(1, 1, "2024-03-05 14:30:15.5", 2**63 - 1), (2, 0, "2024-03-06 09:00:00", 12.5)],
        )
        rows = read(conn)
    finally:
        conn.close()
    assert rows[0] == (1, True, Decimal("9223372036854775807.00"), datetime.datetime(2024, 3, 5, 14, 30, 15, 500000))
    assert rows[1][2] == Decimal("12.50")
    options: dict[str, Any] = dict(settings())  # a Mapping where one is wanted
    assert options == {"echo": True, "pool_size": 5, "url": "sqlite://"}
    assert convert() == (True, 1.5, datetime.date(2024, 3, 5), "café", Decimal("3.14"), None)


if __name__ == "__main__":
    main()
