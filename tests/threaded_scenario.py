"""Workloads for many threads at once; run in-process by test_threads.py or on its own:

    python -P tests/threaded_scenario.py shared THREADS ROUNDS [gil|nogil]
    python -P tests/threaded_scenario.py first-use THREADS

Exits non-zero (and prints what went wrong) when a thread saw a wrong value or
an unexpected exception; a crash shows as a signal exit code.
"""

import datetime
import pickle
import sys
import threading
import traceback
import warnings
from decimal import Decimal


def import_modules():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the GIL notice on import
        from tessel import convkit, mapkit, rowkit
    return convkit, mapkit, rowkit


def run_threads(count, target):
    """Starts `count` threads on target(index, barrier); returns the failures they reported."""
    barrier = threading.Barrier(count)
    failures = []

    def guarded(index):
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
    return metadata, processors, options, getter, finished


def raw_values(i):
    return (i, f"2024-03-05 14:{i % 60:02d}:15.25", "caf\u00e9".encode(), i + 0.125, i % 2, "d1", "d2")


def raw_by_name(i):
    """A plain mapping of the raw values, which a getter subscripts."""
    raw = dict(zip(NAMES, raw_values(i)))
    raw.update({0: i, -1: "d2"})
    return raw


def expected_values(i):
    return (str(i), datetime.datetime(2024, 3, 5, 14, i % 60, 15, 250000), "caf\u00e9", Decimal(f"{i + 0.125:.2f}"),
            bool(i % 2), "d1", "d2")


def check_row(row, i):
    expected = expected_values(i)
    assert tuple(row) == expected, (tuple(row), expected)
    assert len(row) == 7 and hash(row) == hash(expected)
    assert row[0] == expected[0] and row[-1] == "d2" and row[1:3] == expected[1:3]
    assert row.when == expected[1] and row["text"] == "caf\u00e9" and row._get_by_key_impl_mapping("amount") == expected[3]
    try:
        row.dup
    except LookupError:
        pass
    else:
        raise AssertionError("an ambiguous name gave a value")


def shared_workload(shared, rounds):
    convkit, mapkit, rowkit = import_modules()
    from tessel.engine.row import Row

    metadata, processors, options, getter, finished = shared

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


def main(argv):
    kind, threads = argv[1], int(argv[2])
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
