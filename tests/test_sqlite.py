import datetime
import sqlite3
from contextlib import contextmanager
from decimal import Decimal

import pytest

from tessel.__main__ import main
from tessel.engine.row import KEY_OBJECTS_ONLY, Row
from tessel.engine.sqlite import DEFAULT_OPTIONS, SQLiteResult, declared_types, processor_for


@contextmanager
def database():
    # A connection per test run: the driver keeps a reference to every cursor a
    # connection made until it prunes them, which repeated runs read as a leak.
    conn = sqlite3.connect(":memory:")
    conn.execute("CREATE TABLE t (id INTEGER, ok BOOLEAN, at DATETIME, day DATE, tm TIME, "
                 "price NUMERIC(10, 2), ratio REAL, note BLOB, name TEXT)")
    conn.executemany("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)", [
        (1, 1, "2024-03-05 14:30:15.5", "2024-03-05", "14:30:15.123", 12.5, 2, "café".encode(), "a"),
        (2, 0, None, None, None, None, None, None, None),
    ])
    try:
        yield conn
    finally:
        conn.close()


def test_rows_come_back_converted():
    with database() as conn:
        options = DEFAULT_OPTIONS.union(decode_blobs=True, decimal_places=2)
        result = SQLiteResult(conn.execute("SELECT * FROM t ORDER BY id"), declared_types(conn, "t"), options)
        first, second = result.fetchall()
        assert type(first) is Row
        assert tuple(first) == (1, True, datetime.datetime(2024, 3, 5, 14, 30, 15, 500000), datetime.date(2024, 3, 5),
                                datetime.time(14, 30, 15, 123000), Decimal("12.50"), 2.0, "café", "a")
        assert tuple(second) == (2, False, None, None, None, None, None, None, None)
        assert first["price"] == first.price == first[5]
        assert result.keys() == ("id", "ok", "at", "day", "tm", "price", "ratio", "note", "name")


def test_fetch_variants_and_options():
    with database() as conn:
        cursor = conn.execute("SELECT id, note FROM t ORDER BY id")
        result = SQLiteResult(cursor, ["INTEGER", "BLOB"], DEFAULT_OPTIONS.union(key_style=KEY_OBJECTS_ONLY))
        assert result.processors is None  # blobs stay bytes unless asked
        row = result.fetchone()
        assert row["note"] == "café".encode()
        with pytest.raises(KeyError):
            row[0]  # key style 1 takes keys only
        assert [r["id"] for r in result.fetchmany(5)] == [2]
        assert result.fetchone() is None


def test_bad_inputs():
    with database() as conn:
        with pytest.raises(ValueError, match="no result rows"):
            SQLiteResult(conn.execute("UPDATE t SET id = id"))
        with pytest.raises(ValueError, match="1 declared types given for 2 columns"):
            SQLiteResult(conn.execute("SELECT id, name FROM t"), ["INTEGER"])
        assert processor_for(None) is None and processor_for("VARCHAR(20)") is None


def test_main_job_runs(capsys, tmp_path):
    assert main(["--rows", "40", "--repeat", "2", "--db", str(tmp_path / "job.db")]) == 0
    out = capsys.readouterr().out
    assert "by attribute" in out and "rows/s" in out and "sqlite3.Row" in out
    with pytest.raises(SystemExit):
        main(["--rows", "0"])
