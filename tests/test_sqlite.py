import datetime
import math
import pathlib
import pickle
import sqlite3
from contextlib import closing, contextmanager
from decimal import Decimal

import pytest
from hypothesis import given
from hypothesis import strategies as st
from support import examples, outcome_of

from tessel.__main__ import main
from tessel.convkit import DecimalResultProcessor
from tessel.engine import readers
from tessel.engine.result import AmbiguousColumnError
from tessel.engine.row import KEY_OBJECTS_ONLY, Row
from tessel.engine.sqlite import DEFAULT_OPTIONS, SQLiteResult, declared_types, processor_for
from tessel.engine.sqlite import UnreadableValueError as Unreadable


@contextmanager
def database():
    # A connection per test run: the driver keeps a reference to every cursor a
    # connection made until it prunes them, which repeated runs read as a leak.
    conn = sqlite3.connect(":memory:")
    conn.execute(
        "CREATE TABLE t (id INTEGER, ok BOOLEAN, at DATETIME, day DATE, tm TIME, "
        "price NUMERIC(10, 2), ratio REAL, note BLOB, name TEXT)"
    )
    conn.executemany(
        "INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
        [
            (1, 1, "2024-03-05 14:30:15.5", "2024-03-05", "14:30:15.123", 12.5, 2, "café".encode(), "a"),
            (2, 0, None, None, None, None, None, None, None),
        ],
    )
    try:
        yield conn
    finally:
        conn.close()


def same(a, b):
    """Equal in value and in type, item by item: True is not 1, nor Decimal('12.50') 12.5."""
    return [(type(v), v) for v in a] == [(type(v), v) for v in b]


def test_rows_come_back_converted():
    with database() as conn:
        options = DEFAULT_OPTIONS.union(decode_blobs=True, decimal_places=2)
        result = SQLiteResult(conn.execute("SELECT * FROM t ORDER BY id"), declared_types(conn, "t"), options)
        first, second = result.fetchall()
        assert type(first) is Row
        assert same(
            first,
            (
                1,
                True,
                datetime.datetime(2024, 3, 5, 14, 30, 15, 500000),
                datetime.date(2024, 3, 5),
                datetime.time(14, 30, 15, 123000),
                Decimal("12.50"),
                2.0,
                "café",
                "a",
            ),
        )
        assert same(second, (2, False, None, None, None, None, None, None, None))
        assert str(first.price) == "12.50"  # at the column's scale
        assert first["price"] == first.price == first[5]
        assert result.keys() == ("id", "ok", "at", "day", "tm", "price", "ratio", "note", "name")
        # namedtuple's conveniences: the names, and a new dict in column order.
        assert first._fields == result.keys()
        as_dict = first._asdict()
        assert list(as_dict.items()) == list(zip(result.keys(), first)) and as_dict is not first._asdict()
        shared = SQLiteResult(conn.execute("SELECT id, name AS id, ok FROM t")).fetchone()
        assert shared._fields == ("id", "id", "ok")
        with pytest.raises(AmbiguousColumnError, match="'id'"):
            shared._asdict()  # a name with two values has no one value, as shared["id"] has none


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


def test_fetches_continue_where_the_last_stopped():
    with database() as conn:
        conn.executemany("INSERT INTO t (id) VALUES (?)", [(i,) for i in range(3, 8)])
        result = SQLiteResult(conn.execute("SELECT id FROM t ORDER BY id"), ["INTEGER"])
        result.cursor.arraysize = 2
        assert [r.id for r in result.fetchmany()] == [1, 2]
        assert [r.id for r in result.fetchmany(1)] == [3]
        assert next(iter(result)).id == 4
        assert [r.id for r in result.fetchmany(2)] == [5, 6]
        assert [r.id for r in result.fetchall()] == [7]
        assert result.fetchall() == [] and result.fetchmany(3) == []


CHUNK = SQLiteResult.CHUNK
# Sizes about the chunk the fetches read the driver by, and the driver's own odd ones.
fetch_sizes = st.sampled_from([None, 1, 2, CHUNK - 1, CHUNK, CHUNK + 1, 2 * CHUNK + 1, 0, -1])
fetches = st.one_of(
    st.tuples(st.just("one")),
    st.tuples(st.just("all")),
    st.tuples(st.just("many"), fetch_sizes),
    st.tuples(st.just("iter"), st.integers(0, CHUNK + 2)),
)


def fetch(how, source):
    """One fetch from our result or from the driver's cursor, as a list of plain tuples."""
    kind, *arg = how
    if kind == "one":
        got = source.fetchone()
        return [] if got is None else [tuple(got)]
    if kind == "all":
        return [tuple(r) for r in source.fetchall()]
    if kind == "many":
        return [tuple(r) for r in (source.fetchmany() if arg[0] is None else source.fetchmany(arg[0]))]
    out = []
    for r in source:
        if len(out) == arg[0]:
            break
        out.append(tuple(r))
    return out


@examples(60)
@given(
    count=st.sampled_from([0, 1, CHUNK - 1, CHUNK, CHUNK + 1, 3 * CHUNK + 7]),
    arraysize=st.sampled_from([1, 3, CHUNK + 5]),
    plan=st.lists(fetches, min_size=1, max_size=5),
)
def test_fetches_across_chunks_give_the_drivers_rows(count, arraysize, plan):
    with closing(sqlite3.connect(":memory:")) as conn:
        conn.execute("CREATE TABLE t (id INTEGER, r REAL)")
        conn.executemany("INSERT INTO t VALUES (?, ?)", [(i, i / 4) for i in range(count)])
        query = "SELECT id, r FROM t ORDER BY id"
        driver = conn.execute(query)
        result = SQLiteResult(conn.execute(query), ["INTEGER", "REAL"])  # a processor per row, for REAL
        driver.arraysize = result.cursor.arraysize = arraysize
        for how in [*plan, ("all",)]:
            assert outcome_of(lambda: fetch(how, result)) == outcome_of(lambda: fetch(how, driver)), how


@pytest.mark.parametrize("how", ["fetchall", "fetchmany", "iterate"])
def test_a_value_no_reading_fits_is_named_in_any_chunk(how):
    # The native parsers' own errors don't name the column; the fetch finds it in the failing chunk.
    with closing(sqlite3.connect(":memory:")) as conn:
        conn.execute("CREATE TABLE d (n INTEGER, day DATE)")
        conn.executemany("INSERT INTO d VALUES (?, ?)", [(i, "2024-03-05") for i in range(2 * CHUNK + 3)])
        conn.execute("UPDATE d SET day = 'soon' WHERE n = ?", (CHUNK + 7,))
        result = SQLiteResult(conn.execute("SELECT * FROM d ORDER BY n"), declared_types(conn, "d"))
        fetch = {
            "fetchall": result.fetchall,
            "fetchmany": lambda: result.fetchmany(3 * CHUNK),
            "iterate": lambda: list(result),
        }[how]
        with pytest.raises(Unreadable, match="column 'day' declared 'DATE' holds TEXT 'soon'") as caught:
            fetch()
        assert isinstance(caught.value.__cause__, ValueError)


def test_bad_inputs():
    with database() as conn:
        with pytest.raises(ValueError, match="no result rows"):
            SQLiteResult(conn.execute("UPDATE t SET id = id"))
        with pytest.raises(ValueError, match="1 declared types given for 2 columns"):
            SQLiteResult(conn.execute("SELECT id, name FROM t"), ["INTEGER"])
        assert processor_for(None) is None and processor_for("VARCHAR(20)") is None


# Every storage class in every declared type: (declared type, typeof(), value,
# reading, or UnreadableValueError where the value has no exact reading).
BIG = 2**63 - 1
GRID = [
    ("BOOLEAN", "integer", 1, True),
    ("BOOLEAN", "integer", 0, False),
    ("BOOLEAN", "integer", 2, Unreadable),
    ("BOOLEAN", "real", 1.0, True),
    ("BOOLEAN", "real", 0.5, Unreadable),
    ("BOOLEAN", "text", "true", Unreadable),
    ("BOOLEAN", "blob", b"\x01", Unreadable),
    ("BOOLEAN", "null", None, None),
    ("DATE", "text", "2024-03-05", datetime.date(2024, 3, 5)),
    ("DATE", "text", "soon", Unreadable),
    ("DATE", "integer", 20240305, Unreadable),
    ("DATE", "real", 2460374.5, Unreadable),
    ("DATE", "blob", b"2024-03-05", Unreadable),
    ("DATE", "null", None, None),
    ("TIME", "text", "14:30:15.123", datetime.time(14, 30, 15, 123000)),
    ("TIME", "integer", 52215, Unreadable),
    ("DATETIME", "text", "2024-03-05 14:30:15.5", datetime.datetime(2024, 3, 5, 14, 30, 15, 500000)),
    ("TIMESTAMP", "real", 1709649015.5, Unreadable),
    ("DATETIME", "blob", b"", Unreadable),
    # Integers never pass through a double; text reads as written, padded to the scale.
    ("NUMERIC(20, 0)", "integer", 2**53 + 1, Decimal("9007199254740993")),
    ("NUMERIC(20, 0)", "integer", BIG, Decimal(BIG)),
    ("DECIMAL(12, 2)", "integer", -BIG - 1, Decimal("-9223372036854775808.00")),
    ("NUMERIC", "integer", BIG, Decimal("9223372036854775807.0000000000")),  # 29 digits
    ("NUMERIC(10, 2)", "real", 2.5, Decimal("2.50")),
    ("NUMERIC(10,2)", "real", 2.675, Decimal("2.67")),
    ("NUMERIC(10, 2)", "text", "12.5", Decimal("12.50")),
    ("NUMERIC(10, 2)", "text", " 0.125 ", Decimal("0.125")),
    ("NUMERIC(40, 2)", "text", "123456789012345678901234567890.01", Decimal("123456789012345678901234567890.01")),
    ("NUMERIC(10, 2)", "text", "12,50", Unreadable),
    ("NUMERIC(10, 2)", "text", "NaN", Unreadable),
    ("NUMERIC(10, 2)", "blob", b"12", Unreadable),
    ("NUMERIC(10, 2)", "null", None, None),
    ("REAL", "real", 0.1, 0.1),
    ("DOUBLE", "integer", 2**53, 2.0**53),
    ("FLOAT", "integer", 2**53 + 1, Unreadable),
    ("REAL", "text", "1.5", 1.5),
    ("REAL", "text", "one", Unreadable),
    ("REAL", "blob", b"1.5", Unreadable),
    ("REAL", "null", None, None),
    # BLOB columns, with decode_blobs: blobs are encoded text, and text is kept.
    ("BLOB", "blob", "café".encode(), "café"),
    ("BLOB", "blob", b"\xff", Unreadable),
    ("BLOB", "text", "a", "a"),
    ("BLOB", "integer", 5, Unreadable),
    ("BLOB", "real", 0.5, Unreadable),
    ("BLOB", "null", None, None),
] + [  # Types with no processor: every value as the driver reads it.
    (declared, storage, value, value)
    for declared in ("INTEGER", "TEXT", "VARCHAR(20)", None)
    for storage, value in (("integer", BIG), ("real", 1.5), ("text", "x"), ("blob", b"x"), ("null", None))
]


@pytest.mark.parametrize(("declared", "storage", "value", "reading"), GRID)
def test_every_storage_class_in_every_declared_type(declared, storage, value, reading):
    with closing(sqlite3.connect(":memory:")) as conn:
        cursor = conn.execute("SELECT ? AS v, typeof(?)", (value, value))
        result = SQLiteResult(cursor, [declared, None], DEFAULT_OPTIONS.union(decode_blobs=True))
        if reading is Unreadable:
            with pytest.raises(Unreadable) as caught:
                result.fetchone()
            # The storage class named is the one SQLite itself reports.
            assert f"'v' declared {declared!r} holds {storage.upper()} {repr(value)[:20]}" in str(caught.value)
        else:
            got, stored = result.fetchone()
            assert stored == storage
            assert same([got], [reading])


numeric_texts = st.tuples(
    st.sampled_from(["", " "]),
    st.sampled_from(["", "-", "+"]),
    st.text("0123456789", max_size=22),
    st.one_of(st.none(), st.text("0123456789", max_size=14)),
    st.sampled_from(["", " "]),
)


@examples(200)
@given(scale=st.integers(0, 12), text=numeric_texts.filter(lambda t: t[2] or t[3]), number=st.integers(-BIG - 1, BIG))
def test_numeric_text_and_integers_at_every_scale(scale, text, number):
    # Read as written, never rounded; a shorter fraction (none at all, too) is padded to the scale.
    lead, sign, whole, fraction, trail = text
    written = lead + sign + whole + ("" if fraction is None else "." + fraction) + trail
    digits = (fraction or "").ljust(scale, "0")
    expected_text = Decimal(sign + (whole or "0") + ("." + digits if digits else ""))
    expected_int = Decimal(f"{number}.{'0' * scale}" if scale else str(number))
    with closing(sqlite3.connect(":memory:")) as conn:
        cursor = conn.execute("SELECT ?, ?", (written, number))
        got = SQLiteResult(cursor, [f"NUMERIC(40, {scale})"] * 2).fetchone()
    assert [(type(v), str(v)) for v in got] == [(Decimal, str(expected_text)), (Decimal, str(expected_int))]


# --- the native readers against the Python readings they took over ----------
# Kept as the reference: what processor_for gave before NUMERIC, REAL and
# BOOLEAN columns were read natively, line for line.
from decimal import MAX_PREC, Context  # noqa: E402

from tessel.engine import sqlite as host  # noqa: E402

_EXACT = Context(prec=MAX_PREC)


def reference_reading(declared):
    t = declared.upper()

    def error(what):
        return host._unreadable("c", declared, what)

    if "BOOL" in t:
        return host._Lookup({None: None, 0: False, 1: True}, error("a boolean (0 or 1)")).__getitem__
    scale_match = host._SCALE.search(t)
    scale = int(scale_match.group(1) or 0) if scale_match else 10
    if "NUMERIC" in t:
        error = error(f"a decimal number with {scale} places")
        from_float = DecimalResultProcessor(Decimal, f"%.{scale}f").process
        from_int = DecimalResultProcessor(Decimal, f"%d.{'0' * scale}" if scale else "%d").process
        quantum = Decimal(1).scaleb(-scale)

        def exact(value):
            if type(value) is str and host._NUMBER.fullmatch(value):
                value = Decimal(value)
            if type(value) is not Decimal or not value.is_finite():
                raise error(value)
            if -scale < int(value.as_tuple().exponent) <= 0:
                return value.quantize(quantum, context=_EXACT)
            return value

        def process(value):
            t = type(value)
            if t is float:
                return from_float(value)
            if t is int:
                return from_int(value)
            return None if value is None else exact(value)

        return process

    error = error("a float")

    def other(value):
        if type(value) is int and float(value) == value:
            return float(value)
        if type(value) is str and host._NUMBER.fullmatch(value):
            return float(value)
        raise error(value)

    return lambda value: value if type(value) is float or value is None else other(value)


class FloatSub(float):
    pass


class IntSub(int):
    pass


reader_values = st.one_of(
    st.none(),
    st.floats(),
    st.floats(-1e12, 1e12).map(lambda f: round(f, 3)),
    st.integers(),
    st.integers(-(2**70), 2**70),
    st.sampled_from([2**53 + 1, 2**53, -(2**63), 2**63 - 1, 2**63, 2**64, 10**400]),
    numeric_texts.map(lambda t: "".join(part or "" for part in t)),
    st.sampled_from(["NaN", "inf", "1e5", "1E-3", ".5", "5.", "0x10", "", "1_0"]),
    st.text(max_size=4),
    st.binary(max_size=3),
    st.booleans(),
    st.integers(-3, 3).map(IntSub),
    st.floats(-3, 3).map(FloatSub),
    st.sampled_from([Decimal("1.5"), Decimal("-0"), Decimal("NaN"), Decimal("1E+2"), Decimal("0.001")]),
)
reader_types = st.one_of(
    st.sampled_from(["BOOLEAN", "REAL", "DOUBLE", "NUMERIC"]),
    st.integers(0, 40).map(lambda places: f"NUMERIC(40, {places})"),
)


def reading(call):
    """What a reading gave, comparable however it ended: a value's type and text, or the error's."""
    try:
        value = call()
    except Exception as e:
        return ("raise", type(e), str(e))
    return ("value", type(value), repr(value))


@examples(1500)
@given(declared=reader_types, value=reader_values)
def test_readers_give_what_the_python_readings_gave(declared, value):
    native = processor_for(declared, DEFAULT_OPTIONS, "c")
    assert reading(lambda: native(value)) == reading(lambda: reference_reading(declared)(value))


@pytest.mark.parametrize("declared", ["NUMERIC(12, 2)", "NUMERIC", "REAL", "BOOLEAN"])
def test_readers_on_the_edges(declared):
    # NaN and infinities, text that isn't a number, integers past 64 bits and
    # past a double's exact range, negative zero, and the storage classes'
    # subclasses: read, or refused, exactly as before.
    edges = [
        math.nan,
        math.inf,
        -math.inf,
        -0.0,
        0.0,
        5e-324,
        1.7976931348623157e308,
        "nan",
        "-inf",
        "1e999",
        "12.5.1",
        "",
        " ",
        2**53 + 1,
        -(2**53) - 1,
        2**63,
        -(2**63) - 1,
        2**64 + 1,
        10**400,
        True,
        b"1",
        IntSub(1),
        FloatSub(0.5),
        Decimal("sNaN"),
        Decimal("-0.00"),
    ]
    native = processor_for(declared, DEFAULT_OPTIONS, "c")
    for value in edges:
        assert reading(lambda: native(value)) == reading(lambda: reference_reading(declared)(value)), value


def test_readers_are_fixed_once_made():
    # Made once per result and shared by threads: nothing about one can change.
    numeric = readers.NumericReader(Decimal, 2, str)
    numeric.__init__(float, 5, repr)  # object's own __init__: nothing to redo
    assert numeric.process(1.005) == Decimal("1.00") and numeric.process("x") == "x"
    for reader in (numeric, readers.RealReader(str), readers.BooleanReader(str)):
        with pytest.raises(AttributeError):
            reader.process = None
        with pytest.raises(TypeError):
            type("Sub", (type(reader),), {})
        clone = pickle.loads(pickle.dumps(reader))
        assert type(clone) is type(reader) and clone.process("x") == "x"
    with pytest.raises(ValueError, match="scale"):
        readers.NumericReader(Decimal, -1, str)
    with pytest.raises(TypeError):
        readers.RealReader()


def test_numeric_round_trip_through_a_table():
    values = [2**53 + 1, BIG, -BIG - 1, 0, 1234.5]
    with closing(sqlite3.connect(":memory:")) as conn:
        conn.execute("CREATE TABLE t (n NUMERIC(20, 0), m NUMERIC(30, 2))")
        conn.executemany("INSERT INTO t VALUES (?, ?)", [(v, v) for v in values])
        rows = SQLiteResult(conn.execute("SELECT * FROM t"), declared_types(conn, "t")).fetchall()
    assert [tuple(r) for r in rows] == [(Decimal(round(v)), Decimal(v).quantize(Decimal("0.01"))) for v in values]


def test_main_job_runs(capsys, tmp_path):
    path = str(tmp_path / "job.db")
    for _ in range(2):  # the second run finds its own table and refills it
        assert main(["--rows", "40", "--repeat", "2", "--db", path]) == 0
    out = capsys.readouterr().out
    assert "by attribute" in out and "rows/s" in out and "sqlite3.Row" in out
    with pytest.raises(SystemExit):
        main(["--rows", "0"])


def test_main_job_leaves_other_data_alone(capsys, tmp_path):
    from tessel.__main__ import TABLE

    path = tmp_path / "user.db"
    path.unlink(missing_ok=True)  # the leak mode runs a test again in the same folder
    with closing(sqlite3.connect(path)) as conn:
        conn.execute(f"CREATE TABLE {TABLE} (id INTEGER PRIMARY KEY, a, b, c, d, e, f, g, h)")
        conn.execute(f"INSERT INTO {TABLE} (id) VALUES (1)")
        conn.execute("CREATE TABLE readings (id INTEGER PRIMARY KEY, a, b, c, d, e, f, g, h)")
        conn.execute("INSERT INTO readings (id) VALUES (7)")
        conn.commit()
    before = path.read_bytes()
    assert main(["--rows", "40", "--repeat", "1", "--db", str(path)]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and str(path) in err and "did not make" in err
    assert path.read_bytes() == before

    folder = tmp_path / "folder"
    folder.mkdir(exist_ok=True)
    for where, reason in [(folder, "is a directory"), (tmp_path / "missing" / "x.db", "no folder")]:
        assert main(["--db", str(where)]) == 1
        out, err = capsys.readouterr()
        assert out == "" and err.count("\n") == 1 and str(where) in err and reason in err


def test_readme_quick_start(capsys):
    readme = (pathlib.Path(__file__).parents[1] / "README.md").read_text()
    section = readme[readme.index("### The host layer and SQLite") :]
    exec(section[section.index("```python\n") + 10 : section.index("```\n")], {})
    assert "9007199254740993.00 café" in capsys.readouterr().out
