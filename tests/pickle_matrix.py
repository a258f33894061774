"""Pickles that cross interpreters: rows, getters and immutable mappings that one
interpreter of the matrix writes (protocols 0 to 5) must load with equal values
on every other one.  scripts/test.sh writes with each interpreter, then reads
everything with each.

    python -P tests/pickle_matrix.py write DIR   # this interpreter's pickles into DIR
    python -P tests/pickle_matrix.py read DIR    # every pickle in DIR, against this interpreter's own objects

read prints one line per failed load and ends with "N passed, N failed".
"""

import datetime
import decimal
import pickle
import sys
import sysconfig
import traceback
from pathlib import Path

from tessel.engine import convkit, mapkit  # the host's one import place: silences only the GIL note
from tessel.engine.result import ResultMetaData
from tessel.engine.row import Row
from tessel.engine.util import tuplegetter

immutabledict = mapkit.immutabledict

PROTOCOLS = range(6)


def tag():
    return "%d.%d" % sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")


def objects():
    """Built alike on every interpreter: what each pickle must come back as."""
    meta = ResultMetaData(["id", "name", "at", "price", "name"])  # "name" twice: an ambiguous record
    values = (2**70, "café\x00\U0001f600", "2024-03-05 14:30:15.123", decimal.Decimal("-3.14"), None)
    processors = [None, None, convkit.str_to_datetime, None, convkit.to_str]
    rows = [Row(meta, processors, meta._keymap, style, values) for style in (0, 1, 2, 3)]
    empty = ResultMetaData([])
    rows.append(Row(empty, None, empty._keymap, 1, ()))
    getters = [tuplegetter(0), tuplegetter(-1, 2), tuplegetter("id", "at"), tuplegetter(slice(1, None))]
    maps = [
        immutabledict(),
        immutabledict(a=1, b=(1.5, b"\xff"), c=datetime.date(2024, 3, 5), d=frozenset({"x"})),
        immutabledict({1: immutabledict(inner=[None, True]), (2, "k"): "v"}),
    ]
    return rows + getters + maps


def same(want, got):
    """What goes wrong between an object built here and its unpickled twin, or None."""
    if type(got) is not type(want):
        return f"type {type(got).__name__}, wanted {type(want).__name__}"
    if isinstance(want, Row):
        if tuple(got) != tuple(want) or [type(v) for v in got] != [type(v) for v in want]:
            return f"values {tuple(got)!r}, wanted {tuple(want)!r}"
        if got._key_style != want._key_style:
            return f"key style {got._key_style}, wanted {want._key_style}"
        if got._parent.keys != want._parent.keys or got._keymap != want._keymap:
            return "key map differs"
        if got._keymap is not got._parent._keymap:
            return "key map no longer shared with the parent"
        return None
    if isinstance(want, tuplegetter):
        meta = ResultMetaData(["id", "b", "at"])
        probe = Row(meta, None, meta._keymap, 3, (1, 2, 3))
        if got.__reduce__()[1] != want.__reduce__()[1] or got(probe) != want(probe):
            return f"getter picks {got.__reduce__()[1]!r}, wanted {want.__reduce__()[1]!r}"
        return None
    if got != want or dict(got) != dict(want) or list(got) != list(want):
        return f"mapping {got!r}, wanted {want!r}"
    return None


def write(directory):
    directory.mkdir(parents=True, exist_ok=True)
    for protocol in PROTOCOLS:
        (directory / f"{tag()}-protocol{protocol}.pickle").write_bytes(pickle.dumps(objects(), protocol))


def read(directory):
    files = sorted(directory.glob("*.pickle"))
    if not files:
        print(f"no pickles in {directory}")
        return 1
    passed = failed = 0
    wanted = objects()
    for path in files:
        try:
            loaded = pickle.loads(path.read_bytes())
        except Exception:
            print(f"{path.name}: does not load on {tag()}\n{traceback.format_exc()}")
            failed += len(wanted)
            continue
        if len(loaded) != len(wanted):
            print(f"{path.name}: {len(loaded)} objects, wanted {len(wanted)}")
            failed += len(wanted)
            continue
        for i, (want, got) in enumerate(zip(wanted, loaded)):
            problem = same(want, got)
            if problem is None:
                passed += 1
            else:
                failed += 1
                print(f"{path.name}: object {i} read on {tag()}: {problem}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("write", "read"):
        sys.exit(__doc__)
    if sys.argv[1] == "write":
        write(Path(sys.argv[2]))
    else:
        sys.exit(read(Path(sys.argv[2])))
