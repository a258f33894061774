"""Workloads for many threads at once; run in-process by test_threads.py or on its own:

    python -P tests/threaded_scenario.py shared THREADS ROUNDS [gil|nogil]
    python -P tests/threaded_scenario.py first-use THREADS
    python -P tests/threaded_scenario.py race NAME SECONDS
    python -P tests/threaded_scenario.py plant SECONDS

A race pits one thread that keeps replacing an object's state (setters,
`__init__` or `__setstate__` run again) against readers of the same object;
every read must give a value of the old or the new state, or an exception that
one of those states explains.  Exits non-zero (and prints what went wrong) when a thread saw a wrong value or
an unexpected exception; a crash shows as a signal exit code.
"""

import datetime
import decimal
import gc
import os
import pickle
import sys
import threading
import time
import traceback
from decimal import Decimal


def import_modules():
    from tessel.engine import convkit, mapkit, rowkit  # the host's one import place: silences only the GIL note

    return convkit, mapkit, rowkit


def run_threads(count, target):
    """Starts `count` threads on target(index, barrier); returns the failures they reported."""
    barrier = threading.Barrier(count)
    failures = []

    def guarded(index):
        # Threads may start in a copy of the starter's context (the default
        # without the GIL), which then shares one decimal context between
        # them, and the decimal module's own flags race; ours needn't.
        decimal.setcontext(decimal.Context())
        try:
            target(index, barrier)
        except BaseException:
            failures.append(traceback.format_exc())
            barrier.abort()

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return failures


NAMES = ("ident", "when", "text", "amount", "flag", "dup", "dup")


def shared_objects():
    """What a result shares between its rows: metadata, key map, processors, getters, options."""
    convkit, mapkit, rowkit = import_modules()
    from tessel.engine.result import ResultMetaData
    from tessel.engine.row import Row

    metadata = ResultMetaData(NAMES)
    processors = (
        convkit.to_str,
        convkit.str_to_datetime,
        convkit.UnicodeResultProcessor("utf-8").conditional_process,
        convkit.DecimalResultProcessor(Decimal, "%.2f").process,
        convkit.int_to_boolean,
        None,
        None,
    )
    options = mapkit.immutabledict(encoding="utf-8", places=2, style=3)
    getter = rowkit.tuplegetter("amount", 0, "text", -1)
    finished = [Row(metadata, processors, metadata._keymap, 3, raw_values(i)) for i in range(16)]
    from tessel.engine.sqlite import processor_for

    # The host's readers, shared as a result shares them between its rows.
    readers = tuple(processor_for(t, column="c") for t in ("NUMERIC(12, 2)", "REAL", "BOOLEAN"))
    return metadata, processors, options, getter, finished, readers


def raw_values(i):
    return (i, f"2024-03-05 14:{i % 60:02d}:15.25", "caf\u00e9".encode(), i + 0.125, i % 2, "d1", "d2")


def raw_by_name(i):
    """A plain mapping of the raw values, which a getter subscripts."""
    raw = dict(zip(NAMES, raw_values(i)))
    raw.update({0: i, -1: "d2"})
    return raw


def expected_values(i):
    return (
        str(i),
        datetime.datetime(2024, 3, 5, 14, i % 60, 15, 250000),
        "caf\u00e9",
        Decimal(f"{i + 0.125:.2f}"),
        bool(i % 2),
        "d1",
        "d2",
    )


def check_row(row, i):
    expected = expected_values(i)
    assert tuple(row) == expected, (tuple(row), expected)
    assert len(row) == 7 and hash(row) == hash(expected)
    assert row[0] == expected[0] and row[-1] == "d2" and row[1:3] == expected[1:3]
    assert (
        row.when == expected[1] and row["text"] == "caf\u00e9" and row._get_by_key_impl_mapping("amount") == expected[3]
    )
    try:
        row.dup
    except LookupError:
        pass
    else:
        raise AssertionError("an ambiguous name gave a value")


def shared_workload(shared, rounds):
    convkit, mapkit, rowkit = import_modules()
    from tessel.engine.row import Row

    metadata, processors, options, getter, finished, readers = shared

    def work(index, barrier):
        barrier.wait()
        for n in range(rounds):
            i = index * rounds + n
            own = Row(metadata, processors, metadata._keymap, options["style"], raw_values(i))
            check_row(own, i)
            assert getter(own) == (expected_values(i)[3], str(i), "caf\u00e9", "d2")
            shared_row = finished[n % len(finished)]
            check_row(shared_row, n % len(finished))
            back = pickle.loads(pickle.dumps(shared_row))
            assert back == shared_row and back._keymap == metadata._keymap
            assert convkit.str_to_date("2024-03-05") == datetime.date(2024, 3, 5)
            assert options["places"] == 2 and options.get("missing", i) == i
            merged = options.union({"places": i})
            assert merged["places"] == i and options["places"] == 2 and len(merged) == 3
            assert list(options) == ["encoding", "places", "style"] and "style" in options
            assert options.merge_with(None, {"extra": i}).keys() == ["encoding", "places", "style", "extra"]
            assert getter(raw_by_name(i)) == (i + 0.125, i, raw_values(i)[2], "d2")
            assert processors[2](raw_values(i)[2]) == "caf\u00e9" and processors[3](0.5) == Decimal("0.50")
            numeric, real, boolean = readers
            assert numeric(i + 0.125) == Decimal(f"{i + 0.125:.2f}") and numeric(i) == Decimal(f"{i}.00")
            assert real(i) == float(i) and real("1.5") == 1.5 and boolean(i % 2) is bool(i % 2)

    return work


def first_use(count):
    """All threads make the row module's first use of its host modules at the same moment."""
    assert "tessel.engine.row" not in sys.modules
    convkit, mapkit, rowkit = import_modules()
    from tessel.engine.result import ResultMetaData

    metadata = ResultMetaData(("a", "b"))
    rows = [rowkit.BaseRow(metadata, None, metadata._keymap, 3, (k, k + 1)) for k in range(count)]

    def work(index, barrier):
        row = rows[index]
        barrier.wait()
        row._parent = metadata  # first use of tessel.engine.result
        reconstructor = row.__reduce__()[0]  # first use of tessel.engine.row
        filtered = row._filter_on_values([None, str])
        module = sys.modules["tessel.engine.row"]
        assert reconstructor is module.rowproxy_reconstructor
        assert type(filtered) is module.Row and tuple(filtered) == (index, str(index + 1))
        assert filtered.a == index and filtered._parent is metadata

    return work


# Races.  Each builder returns (write, read): write(n) replaces the object's
# state with fresh objects, so the old ones are freed while a reader may still
# be using them, and returns junk shaped like what it freed; holding the junk
# until the next write puts values that no state has into the freed memory, so
# a reader still using it gives a wrong answer rather than a lucky right one.
# read() checks one round of reads.


RaceMeta = None


def race_meta(spare):
    """Result metadata whose key fallback answers the key "spare" with position `spare`."""
    global RaceMeta
    if RaceMeta is None:
        from tessel.engine.result import ResultMetaData

        class RaceMeta(ResultMetaData):
            def _key_fallback(self, key, err=None):
                if key == "spare":
                    return (self.spare, "spare")
                return super()._key_fallback(key, err)

        RaceMeta.__qualname__ = "RaceMeta"  # pickles of rows name it at module level
    meta = RaceMeta(("x", "y", "z", "amb", "amb"))
    meta.spare = spare
    return meta


class RowStates:
    """Two complete row states built afresh on every call, and what a reader may see of them."""

    def __init__(self, styles=(3,)):
        convkit, _, rowkit = import_modules()
        self.styles = styles
        self.decode = convkit.UnicodeResultProcessor("utf-8").process
        self.datas = {self.values(k) for k in (0, 1)}
        self.values_seen = {v for data in self.datas for v in data}
        self.hashes = {hash(d) for d in self.datas}
        self.keymaps = [self.keymap(k) for k in (0, 1)]
        self.getter = rowkit.tuplegetter("x", 0, "spare")
        self.positional_errors = (KeyError,) if 1 in styles else ()

    @staticmethod
    def values(k):
        return tuple(f"{c}{k}" for c in "abc")

    @staticmethod
    def keymap(k):
        order = ("x", "y", "z") if k == 0 else ("z", "x", "y")
        keymap = {name: (position, name) for position, name in enumerate(order)}
        keymap["amb"] = (None, "amb")
        return keymap

    def junk(self, n):
        return (n, n, n), {name: (7, name) for name in ("x", "y", "z", "amb")}, race_meta(7)

    def raw(self, k):
        return [v.encode() for v in self.values(k)]

    def init_args(self, k):
        return (race_meta(2 * k), [self.decode] * 3, self.keymap(k), self.styles[k % len(self.styles)], self.raw(k))

    def new_row(self):
        from tessel.engine.row import Row

        return Row(*self.init_args(0))

    def state(self, k):
        parent, _, keymap, style, _ = self.init_args(k)
        return {"_parent": parent, "_data": self.values(k), "_keymap": keymap, "_key_style": style}

    def check(self, row, data_errors=()):
        """Many quick reads, then one of every kind; data_errors are what a non-tuple `_data` explains."""
        self.quick(row, data_errors)
        self.every_read(row, data_errors)

    def quick(self, row, data_errors):
        # The reads that race best: short, and each through a field the writers replace.
        seen, hashes = self.values_seen, self.hashes
        positional = self.positional_errors + data_errors
        unhashable = (TypeError,) if data_errors else ()
        for _ in range(50):
            try:
                assert row[0] in seen
            except positional:
                pass
            try:
                assert row.y in seen and row.spare in seen
            except data_errors:
                pass
            try:
                assert hash(row) in hashes
            except unhashable:
                pass

    def every_read(self, row, data_errors):
        seen = self.values_seen
        positional = self.positional_errors + data_errors

        def expect(read, allowed, errors=()):
            try:
                value = read()
            except errors:
                return
            assert value in allowed, (value, allowed)

        expect(lambda: row[0], seen, positional)
        expect(lambda: row[-1], seen, positional)
        expect(lambda: row["x"], seen, data_errors)
        expect(lambda: row.y, seen, data_errors)
        expect(lambda: row.spare, seen, data_errors)
        expect(lambda: row._get_by_key_impl_mapping("z"), seen, data_errors)
        expect(lambda: set(self.getter(row)) <= seen, {True}, positional)
        expect(lambda: row[0:2] in {d[0:2] for d in self.datas}, {True}, self.positional_errors)
        expect(lambda: tuple(row), self.datas)
        expect(lambda: tuple(row._values_impl()), self.datas)
        expect(lambda: tuple(row._data), self.datas)
        expect(lambda: hash(row), self.hashes, (TypeError,) if data_errors else ())
        expect(lambda: len(row), {3})
        expect(lambda: row._keymap, self.keymaps)
        expect(lambda: row._parent.spare, {0, 2})
        expect(lambda: row._key_style, set(self.styles))
        try:
            row.amb
        except LookupError:
            pass
        else:
            raise AssertionError("an ambiguous name gave a value")
        back = pickle.loads(pickle.dumps(row))
        assert tuple(back) in self.datas and back._keymap in self.keymaps and back._key_style in self.styles


RACES = {}


def race(builder):
    RACES[builder.__name__.removeprefix("race_").replace("_", "-")] = builder
    return builder


@race
def race_row_data():
    s = RowStates()
    row = s.new_row()

    def write(n):
        data = s.values(n % 2)
        row._data = list(data) if n % 5 == 4 else data
        return s.junk(n)

    return write, lambda: s.check(row, data_errors=(SystemError,))


def row_race(assign, **states):
    """One writer doing assign(row, states, n) on a row that readers check."""
    s = RowStates(**states)
    row = s.new_row()

    def write(n):
        assign(row, s, n % 2)
        return s.junk(n)

    return write, lambda: s.check(row)


@race
def race_row_keymap():
    return row_race(lambda row, s, k: setattr(row, "_keymap", s.keymap(k)))


@race
def race_row_parent():
    return row_race(lambda row, s, k: setattr(row, "_parent", race_meta(2 * k)))


@race
def race_row_key_style():
    return row_race(lambda row, s, k: setattr(row, "_key_style", s.styles[k]), styles=(3, 1))


@race
def race_row_init():
    return row_race(lambda row, s, k: row.__init__(*s.init_args(k)), styles=(3, 1))


@race
def race_row_setstate():
    return row_race(lambda row, s, k: row.__setstate__(s.state(k)), styles=(3, 1))


@race
def race_row_class_attribute():
    # Readers remember which names the class lacks while the writer gives it,
    # and takes away, an attribute of a column's name.
    from tessel.engine.result import ResultMetaData
    from tessel.engine.row import Row

    class Changing(Row):
        __slots__ = ()

    meta = ResultMetaData(("x", "y", "z"))
    row = Changing(meta, None, meta._keymap, 3, ("x0", "y0", "z0"))

    def write(n):
        if n % 2:
            del Changing.y
        else:
            Changing.y = "attribute"
        return Changing.x if hasattr(Changing, "x") else None

    def read():
        assert row.x == "x0" and row.z == "z0" and row.y in ("y0", "attribute")
        assert row[1] == "y0" and getattr(row, "nothere", None) is None

    return write, read


@race
def race_row_class_construction():
    # Readers construct rows while the writer gives their class an __init__
    # and a __new__ of its own and takes them away again: each row is built
    # by the old construction or the new one, never a mix that leaves it unset.
    from tessel.engine.result import ResultMetaData
    from tessel.engine.row import Row

    class Changing(Row):
        __slots__ = ()

    meta = ResultMetaData(("x", "y"))

    def own_init(self, *args):
        Row.__init__(self, *args)

    def own_new(cls, *args):
        return Row.__new__(cls)

    def write(n):
        if n % 4 == 0:
            Changing.__init__ = own_init
        elif n % 4 == 1:
            Changing.__new__ = own_new
        elif n % 4 == 2:
            del Changing.__init__
        else:
            del Changing.__new__

    def read():
        row = Changing(meta, None, meta._keymap, 3, ("x0", "y0"))
        assert type(row) is Changing and row.x == "x0" and row[1] == "y0"

    return write, read


@race
def race_unicode_init():
    convkit, _, _ = import_modules()
    processor = convkit.UnicodeResultProcessor("utf-8")
    text = "caf\u00e9"
    # Either encoding with either handler: the two names need not be read together.
    decoded = {text, text.encode().decode("latin-1")}
    bad = {"\ufffd", "\u00ff"}

    def write(n):
        processor.__init__(*(("utf-8", "strict") if n % 2 else ("latin-1", "replace")))
        return [name.encode()[::-1] for name in ("utf-8", "strict", "latin-1", "replace")]

    def read():
        for process in (processor.process, processor.conditional_process):
            assert process(text.encode()) in decoded
            try:
                assert process(b"\xff") in bad
            except UnicodeDecodeError:
                pass
            assert process(None) is None
        assert processor.conditional_process(text) is text

    return write, read


@race
def race_decimal_init():
    convkit, _, _ = import_modules()
    processor = convkit.DecimalResultProcessor(Decimal, "%.2f")
    allowed = {"Decimal('0.50')", "Decimal('0.500')", "('fn', '0.50')", "('fn', '0.500')"}

    def write(n):
        # A new format text and a new callable each time, so the old ones are freed.
        if n % 2:
            processor.__init__(Decimal, "%.{}f".format(2))
        else:
            processor.__init__(lambda text: ("fn", text), "%.{}f".format(3))
        return lambda text: ("junk", text), "%.{}e".format(n % 2 + 2)

    def read():
        assert repr(processor.process(0.5)) in allowed
        assert processor.process(None) is None

    return write, read


def run_race(name, seconds, readers=2):
    """One writer and `readers` readers on the object that race `name` builds, for `seconds`."""
    write, read = RACES[name]()

    def work(index, barrier):
        barrier.wait()
        end = time.monotonic() + seconds
        n = 0
        junk = None
        while time.monotonic() < end:
            if index == 0:
                junk = write(n)
            else:
                read()
            n += 1
        del junk

    return run_threads(1 + readers, work)


def fork_while_interning(forks, interners=3, patience=10.0):
    """Forks `forks` times while `interners` threads intern new column names;
    each child builds metadata with a new name of its own.  Returns how many
    children didn't finish within `patience` seconds (killed, then reaped)."""
    import signal
    import warnings

    from tessel.engine.result import ResultMetaData

    stop = threading.Event()

    def intern(index, barrier):
        barrier.wait()
        n = 0
        while not stop.is_set():
            ResultMetaData([f"fork_{index}_{n}"])  # a new name: the interning lock is taken every time
            n += 1

    starter = threading.Thread(target=lambda: run_threads(interners, intern))
    starter.start()
    hung = 0
    try:
        for k in range(forks):
            time.sleep(0.01)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # forking a process with threads
                pid = os.fork()
            if pid == 0:
                ResultMetaData([f"child_{k}"])
                os._exit(0)
            deadline = time.monotonic() + patience
            while os.waitpid(pid, os.WNOHANG) == (0, 0):
                if time.monotonic() > deadline:
                    hung += 1
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    break
                time.sleep(0.01)
    finally:
        stop.set()
        starter.join()
    return hung


def plant_while_building(seconds, builders=2, planters=2):
    """Builders make rows both ways (the general one for a subclass with a slot of
    its own), from lists and through processors, while
    planters find rows through the collector and set their fields, and another
    thread keeps the lists locked; returns the references to the planted and
    the built objects left over once every row is gone (0)."""
    from tessel.engine.result import ResultMetaData
    from tessel.engine.row import KeyStyle, Row

    class Slotted(Row):
        __slots__ = ("extra",)

    meta = ResultMetaData(("a", "b", "c"))
    marker = Marker()
    planted_data, planted_keymap = tuple(["planted"]), {"planted": (0, "planted")}
    watched = (planted_data, planted_keymap, marker, meta._keymap)
    before = [sys.getrefcount(watched[i]) for i in range(len(watched))]
    # Counting a long list holds its lock, so turning it into a tuple waits.
    long_raw = [marker] * 5000
    raw = [marker, "y", "z"]
    processors = [None, str, None]
    styles = (True, KeyStyle.KEY_OBJECTS_NO_WARN)

    def work(index, barrier):
        barrier.wait()
        end = time.monotonic() + seconds
        n = 0
        while time.monotonic() < end:
            n += 1
            if index < builders:
                cls = Slotted if n % 2 else Row
                cls(meta, None, meta._keymap, styles[n % 2], long_raw)
                cls(meta, processors, meta._keymap, styles[n % 2], raw)
            elif index < builders + planters:
                for holder in gc.get_referrers(meta):
                    if isinstance(holder, Row):
                        holder._data = planted_data
                        holder._keymap = planted_keymap
            else:
                long_raw.count(None)

    failures = run_threads(builders + planters + 1, work)
    assert failures == [], failures
    long_raw.clear()  # the lists' references to the marker, which work() still sees
    raw.clear()
    gc.collect()
    return sum(sys.getrefcount(watched[i]) - before[i] for i in range(len(watched)))


# Python code that runs while a getter or a row is being filled in (an
# operand's subscript, an item's __index__, a row hook, a processor) looks for
# the result through the collector; it must not find one with empty slots.


def touch_referrers(marker, expected=0):
    """Reads every tuple that the collector says holds marker, as hostile code could,
    and fails unless they hold `expected` items in all: the result being filled
    is never among them."""
    holders = [holder for holder in gc.get_referrers(marker) if type(holder) is tuple]
    found = sum(map(len, holders))  # counted before any item is read
    assert found == expected, f"tuples holding the marker: {found} items, {expected} expected"
    for holder in holders:
        [type(item) for item in holder]


class Marker:
    pass


def reentry_through_getitem():
    _, _, rowkit = import_modules()
    marker = Marker()

    class Operand:
        def __getitem__(self, item):
            if item == 0:
                return marker
            touch_referrers(marker)
            return item

    assert rowkit.tuplegetter(0, 1, 2)(Operand()) == (marker, 1, 2)


def reentry_through_index():
    _, _, rowkit = import_modules()
    marker = Marker()

    class Position:
        def __init__(self, at):
            self.at = at

        def __index__(self):
            touch_referrers(marker)
            return self.at

    assert rowkit.tuplegetter(0, Position(1), Position(0))([marker, "b"]) == (marker, "b", marker)


def reentry_through_row_hook():
    _, _, rowkit = import_modules()
    from tessel.engine.row import Row

    marker = Marker()
    meta = race_meta(1)
    # The row's own values (marker, "b", "c") hold the marker too.
    meta._key_fallback = lambda key, err=None: (touch_referrers(marker, expected=3), (1, key))[1]
    row = Row(meta, None, meta._keymap, 3, (marker, "b", "c"))
    assert rowkit.tuplegetter(0, "spare", "other")(row) == (marker, "b", "b")


def reentry_through_processor():
    from tessel.engine.result import ResultMetaData
    from tessel.engine.row import Row

    marker = Marker()
    meta = ResultMetaData(("a", "b", "c"))

    def hostile(value):
        touch_referrers(marker)
        return value

    row = Row(meta, [None, hostile, hostile], meta._keymap, 3, [marker, "b", "c"])
    assert tuple(row) == (marker, "b", "c")


REENTRIES = {
    f.__name__.removeprefix("reentry_").replace("_", "-"): f
    for f in (reentry_through_getitem, reentry_through_index, reentry_through_row_hook, reentry_through_processor)
}


def main(argv):
    kind = argv[1]
    if kind == "race":
        failures = run_race(argv[2], float(argv[3]))
        for failure in failures:
            print(failure, file=sys.stderr)
        return 1 if failures else 0
    if kind == "fork":
        hung = fork_while_interning(int(argv[2]))
        print(f"{hung} forked children hung", file=sys.stderr)
        return 1 if hung else 0
    if kind == "plant":
        leaked = plant_while_building(float(argv[2]))
        print(f"{leaked} planted references left over", file=sys.stderr)
        return 1 if leaked else 0
    threads = int(argv[2])
    if kind == "shared":
        rounds, gil = int(argv[3]), argv[4]
        shared = shared_objects()
        assert sys._is_gil_enabled() is (gil == "gil"), sys._is_gil_enabled()
        failures = run_threads(threads, shared_workload(shared, rounds))
    else:
        failures = run_threads(threads, first_use(threads))
        assert sys._is_gil_enabled() is False
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
