"""BaseRow and tuplegetter against a tuple model, with hostile keys, records, hooks and values.

Every call must either give the modelled value or raise the modelled
exception; leak runs repeat each property to show nothing is kept.
"""

import gc
import operator
import pickle
import weakref

import pytest
from hypothesis import example, given
from hypothesis import strategies as st
from support import LONG_MAX, LONG_MIN, counts_kept, examples, is_immortal, outcome_of

from tessel.engine.result import ResultMetaData
from tessel.engine.row import Row
from tessel.rowkit import BaseRow, safe_rowproxy_reconstructor, tuplegetter

MISSING = object()


class Boom(Exception):
    pass


class Warned(Exception):
    pass


class Missed(KeyError):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class TupleSub(tuple):
    # The row reads records and values through the tuple layout, not these.
    def __getitem__(self, i):
        raise Boom("TupleSub.__getitem__")

    def __len__(self):
        raise Boom("TupleSub.__len__")


class HashRaises:
    def __hash__(self):
        raise Boom("hash")


class EqRaises:
    """Hashes like 0, False and 0.0, so it meets them in a key map and its comparison raises."""

    def __hash__(self):
        return 0

    def __eq__(self, other):
        raise Boom("eq")


class Index:
    """An integer only through __index__ (which may raise)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, type):
            raise self.value("index")  # a fresh one: a raised instance keeps its traceback
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class ReprRaises:
    def __repr__(self):
        raise Boom("repr")

    __str__ = __repr__


def as_long(obj):
    """What PyLong_AsLong makes of obj: an int, or the exception it raises."""
    value = operator.index(obj)
    if not LONG_MIN <= value <= LONG_MAX:
        raise OverflowError
    return value


# --- strategies --------------------------------------------------------------

texts = st.text(max_size=6)  # NULs, surrogates and characters outside ASCII included
big_ints = st.one_of(
    st.integers(-8, 8),
    st.integers(),
    st.sampled_from([LONG_MIN, LONG_MAX, LONG_MIN - 1, LONG_MAX + 1, 2**63, 2**64, -(2**100)]),
)
slices = st.builds(slice, st.none() | big_ints, st.none() | big_ints, st.none() | big_ints)
hashable_keys = st.one_of(
    texts,
    texts.map(StrSub),
    st.binary(max_size=3).map(BytesSub),
    st.binary(max_size=3),
    st.booleans(),
    st.none(),
    st.floats(),
    st.tuples(texts),
    st.tuples(st.integers(-3, 3), texts),
    st.just(()),
    slices,
    st.builds(EqRaises),
)
lookup_keys = st.one_of(big_ints, hashable_keys, st.builds(HashRaises), st.lists(st.integers(), max_size=2))
positions = st.one_of(
    st.integers(-2, 6), big_ints, big_ints.map(Index), st.just(Index(Boom)), st.just(True), st.just(1.0), st.just("0")
)
records = st.one_of(
    st.tuples(positions),
    st.tuples(positions, texts),
    st.just((None, "dup")),
    st.just((None,)),
    st.tuples(st.integers(0, 4)).map(TupleSub),
    st.just(()),
    st.just([0]),
    st.just("0"),
    st.just(0),
)
# Plain objects among them: small ints and short texts are immortal, so a lost
# or extra reference to them would go unseen.
values = st.one_of(
    st.integers(),
    texts,
    st.none(),
    st.floats(),
    st.binary(max_size=3),
    st.builds(HashRaises),
    st.lists(st.integers(), max_size=1),
    st.builds(ReprRaises),
    st.builds(object),
)
key_styles = st.one_of(st.sampled_from([0, 1, 2, 3, 6, -1, -3, LONG_MAX, LONG_MIN]), big_ints)


class Host(ResultMetaData):
    """Metadata whose hooks note their calls and raise or return as told."""

    def __init__(self, keymap, fallback=MISSING, refuse_returns=False, warn_raises=False):
        self._keymap = keymap
        self.fallback = fallback
        self.refuse_returns = refuse_returns
        self.warn_raises = warn_raises
        self.calls = []

    def __repr__(self):
        return f"Host({self._keymap!r}, {self.fallback!r}, {self.refuse_returns}, {self.warn_raises})"

    def _key_fallback(self, *args):
        self.calls.append(("_key_fallback", args))
        if self.fallback is MISSING:
            raise Missed(args[0])
        return self.fallback

    def _raise_for_nonint(self, *args):
        self.calls.append(("_raise_for_nonint", args))
        if self.refuse_returns:
            return "returned"
        raise Boom("nonint")

    def _raise_for_ambiguous_column_name(self, *args):
        self.calls.append(("_raise_for_ambiguous_column_name", args))
        if self.refuse_returns:
            return "returned"
        raise Boom("ambiguous")

    def _warn_for_nonint(self, *args):
        self.calls.append(("_warn_for_nonint", args))
        if self.warn_raises:
            raise Warned
        return "ignored"


def keymap_of(pairs):
    keymap = {}
    for key, record in pairs:
        try:
            keymap[key] = record
        except Boom:
            pass  # an EqRaises meeting a key of equal hash
        except TypeError:
            assert type(key) is slice  # unhashable before 3.12
    return keymap


hosts = st.builds(
    lambda pairs, fallback, refuse_returns, warn_raises: Host(keymap_of(pairs), fallback, refuse_returns, warn_raises),
    st.lists(st.tuples(hashable_keys, records), max_size=5),
    st.one_of(st.just(MISSING), records),
    st.booleans(),
    st.booleans(),
)


# --- the model ---------------------------------------------------------------


# The documented decision table: what the lookup does, by kind of key and key
# style (None standing for every other style), with the mapping flag false.
# With the flag true, keys that are neither integers nor slices take the key map.
PATHS = {
    "int": {0: "position", 1: "refuse int", 2: "position", None: "position"},
    "slice": {0: "slice", 1: "key map", 2: "slice", None: "slice"},
    "other": {0: "refuse", 1: "key map", 2: "key map, warned", None: "key map"},
}


def path_of(key, key_style, mapping):
    kind = "int" if type(key) is int else "slice" if type(key) is slice else "other"
    if kind == "other" and mapping:
        return "key map"
    return PATHS[kind][key_style if key_style in (0, 1, 2) else None]


def model_lookup(values, host, key_style, key, mapping):
    """(outcome, hook calls): outcome is ('value', v) or ('raise', exception type).

    The path comes from the table above; the key-map steps follow their
    documented order (record, fallback, ambiguity, position, warning), for
    which Python has no equivalent to compare with.
    """
    calls = []

    def fail(exc):
        return ("raise", exc), calls

    def at(position):  # a record's negative position is not counted from the end
        if 0 <= position < len(values):
            return ("value", values[position]), calls
        return fail(IndexError)

    path = path_of(key, key_style, mapping)
    if path == "refuse int":
        return fail(KeyError)
    if path == "position":
        if not LONG_MIN <= key <= LONG_MAX:
            return fail(OverflowError)
        return at(key + len(values) if key < 0 else key)
    if path == "slice":
        expected = outcome_of(lambda: tuple(values[key]))  # Python's own slicing, its errors included
        return expected, calls
    if path == "refuse":
        calls.append(("_raise_for_nonint", (key,)))
        return fail(RuntimeError if host.refuse_returns else Boom)
    try:
        record = host._keymap.get(key, MISSING)
    except Exception:
        record = MISSING  # unhashable or uncomparable: simply not held
    if record is MISSING:
        if type(key) is slice:
            return fail(KeyError)
        calls.append(("_key_fallback", (key, None)))
        if host.fallback is MISSING:
            return fail(Missed)
        record = host.fallback
    if not isinstance(record, tuple):
        return fail(SystemError)
    if tuple.__len__(record) == 0:
        return fail(IndexError)
    first = tuple.__getitem__(record, 0)
    if first is None:
        calls.append(("_raise_for_ambiguous_column_name", (record,)))
        return fail(RuntimeError if host.refuse_returns else Boom)
    try:
        position = as_long(first)
    except Exception as e:
        return fail(type(e))
    if path == "key map, warned":
        calls.append(("_warn_for_nonint", tuple(key) if isinstance(key, tuple) else (key,)))
        if host.warn_raises:
            return fail(Warned)
    return at(position)


def same(actual, expected):
    """Outcomes agree: the very value objects (tuples item by item), or the same exception type."""
    if actual[0] != expected[0]:
        return False
    if actual[0] == "raise":
        return actual[1] is expected[1]
    return alike(actual[1], expected[1])


def alike(a, e):
    """The same object, or (for the tuples that slices and getters make) tuples of alike items."""
    if type(e) is tuple and type(a) is tuple and a is not e:
        return len(a) == len(e) and all(alike(x, y) for x, y in zip(a, e))
    return a is e


def subscript_is_mapping(key_style):
    return (key_style & ~2) != 0


# --- properties --------------------------------------------------------------


@examples(200)
@given(
    values=st.lists(values, max_size=5),
    shape=st.sampled_from([list, tuple, TupleSub, iter]),
    key_style=key_styles,
    cls=st.sampled_from([BaseRow, Row]),
    extra_keys=st.lists(slices, max_size=3),
)
def test_sequence_behaviour_matches_a_tuple(values, shape, key_style, cls, extra_keys):
    host = Host({})
    model = tuple(values)
    raw = shape(values) if shape is not TupleSub else TupleSub(values)
    if not LONG_MIN <= key_style <= LONG_MAX:
        with pytest.raises(OverflowError):
            cls(host, None, {}, key_style, raw)
        return
    row = cls(host, None, {}, key_style, raw)
    assert type(row._data) is tuple and all(a is b for a, b in zip(row._data, model))
    assert len(row) == len(model) and row._key_style == key_style
    assert all(a is b for a, b in zip(row, model)) and len(list(row)) == len(model)
    if cls is BaseRow:  # a Python subclass reaches the item slot through __getitem__, the subscript
        assert all(a is b for a, b in zip(reversed(row), reversed(model)))
    assert row._values_impl() == list(row._data) and row._values_impl() is not row._values_impl()
    assert outcome_of(lambda: hash(row)) == outcome_of(lambda: hash(model))
    keys = [*range(-len(model) - 1, len(model) + 1), LONG_MAX, LONG_MIN, 2**64, -(2**64), *extra_keys]
    for key in keys:
        expected, calls = model_lookup(model, host, key_style, key, True)
        assert same(outcome_of(lambda: row[key]), expected), key
    assert host.calls == []


@examples(200)
@given(values=st.lists(values, max_size=5), host=hosts, key_style=key_styles, data=st.data())
def test_lookup_matches_the_model(values, host, key_style, data):
    key_style = min(max(key_style, LONG_MIN), LONG_MAX)
    row = Row(host, None, host._keymap, key_style, values)
    held = list(host._keymap)
    key = data.draw(st.sampled_from(held) | lookup_keys if held else lookup_keys, label="key")
    entries = {
        "subscript": (lambda: row[key], subscript_is_mapping(key_style)),
        "mapping": (lambda: row._get_by_key_impl_mapping(key), subscript_is_mapping(key_style)),
        "impl": (lambda: row._get_by_key_impl(key), False),
    }
    for name, (call, mapping) in entries.items():
        expected, calls = model_lookup(values, host, key_style, key, mapping)
        host.calls.clear()
        actual = outcome_of(call)
        assert same(actual, expected), (name, actual, expected)
        assert host.calls == calls, name
    if isinstance(key, str) and not hasattr(Row, key):
        expected, calls = model_lookup(values, host, key_style, key, True)
        if expected[0] == "raise" and issubclass(expected[1], KeyError):
            expected = ("raise", AttributeError)
        host.calls.clear()
        assert same(outcome_of(lambda: getattr(row, key)), expected)
        assert host.calls == calls


@examples(200)
@given(
    values=st.lists(values, max_size=4),
    host=hosts,
    key_style=st.sampled_from([0, 1, 2, 3]),
    items=st.lists(
        st.one_of(lookup_keys, st.tuples(lookup_keys), st.just(()), st.tuples(st.integers(), st.integers())), max_size=3
    ),
)
def test_tuplegetter_on_rows_matches_item_by_item_lookup(values, host, key_style, items):
    row = BaseRow(host, None, host._keymap, key_style, values)
    mapping = subscript_is_mapping(key_style)
    expected_values, expected_calls, failure = [], [], None
    for item in items:
        if isinstance(item, tuple) and len(item) != 1:
            failure = TypeError  # the lookup method takes exactly one argument
            break
        key = item[0] if isinstance(item, tuple) else item
        outcome, calls = model_lookup(values, host, key_style, key, mapping)
        expected_calls += calls
        if outcome[0] == "raise":
            failure = outcome[1]
            break
        expected_values.append(outcome[1])
    expected = ("raise", failure) if failure else ("value", tuple(expected_values))
    host.calls.clear()
    getter = tuplegetter(*items)
    assert same(outcome_of(lambda: getter(row)), expected)
    assert host.calls == expected_calls
    assert getter.__reduce__() == (tuplegetter, tuple(items))


@pytest.mark.thread_unsafe(
    reason="its explicit example's objects are shared by the threads, whose references move their counts"
)
@examples(100)
@given(
    operand=st.one_of(
        st.lists(values, max_size=4),
        st.lists(values, max_size=4).map(tuple),
        st.lists(st.tuples(hashable_keys, values), max_size=3).map(keymap_of),
        texts,
        st.binary(max_size=3),
    ),
    items=st.lists(lookup_keys, max_size=3),
)
@example(operand=(object(), object()), items=[1, 0, -1])  # the exact-tuple path, on values whose counts move
def test_tuplegetter_on_other_operands_subscripts(operand, items):
    def model():
        return tuple(operand[item] for item in items)

    actual, expected = outcome_of(lambda: tuplegetter(*items)(operand)), outcome_of(model)
    held = [v for v in (operand if isinstance(operand, (list, tuple)) else ()) if not is_immortal(v)]
    with counts_kept(*held):
        outcome_of(lambda: tuplegetter(*items)(operand))  # its result dropped, every count is back
    assert actual[0] == expected[0]
    if actual[0] == "raise":
        assert actual[1] is expected[1]
    else:
        assert len(actual[1]) == len(items) and all(a is e or a == e for a, e in zip(actual[1], expected[1]))


class Node:
    """Refers back to the tuples that hold it: only the collector can free them."""


def holding(node, kind):
    return {"node": node, "list": [node], "tuple": ("t", node), "nested": (("n", node),)}[kind]


@examples(100)
@given(
    fillers=st.lists(st.one_of(st.integers(), texts, st.none(), st.tuples(st.integers())), max_size=4),
    position=st.integers(0, 4),
    kind=st.sampled_from(["node", "list", "tuple", "nested"]),
    processed=st.lists(st.booleans(), min_size=5, max_size=5),
    operand=st.sampled_from([Row, tuple, list]),
    how=st.sampled_from(["position", "negative", "slice", "name"]),
)
def test_cycles_through_values_and_getter_results_are_collected(fillers, position, kind, processed, operand, how):
    # Whether a tuple may leave the collector out is the collector's own
    # question; its verdict is read here: after a collection, the cycle is gone.
    node = Node()
    freed = weakref.ref(node)
    raw = list(fillers)
    position = min(position, len(raw))
    raw.insert(position, holding(node, kind))
    names = [f"c{i}" for i in range(len(raw))]
    meta = ResultMetaData(names)
    processors = [(lambda v: v) if p else None for p in processed[: len(raw)]]
    row = Row(meta, processors, meta._keymap, 3, raw)
    item = {
        "position": position,
        "negative": position - len(raw),
        "slice": slice(position, position + 1),
        "name": names[position],
    }[how]
    if how == "name" and operand is not Row:
        item = position
    target = row if operand is Row else operand(row._data)
    node.back = [row._data, tuplegetter(item)(target), tuplegetter(item, 0)(target)]
    del node, row, target, raw
    gc.collect()
    assert freed() is None


@examples(100)
@given(items=st.lists(st.one_of(lookup_keys, st.builds(ReprRaises)), max_size=3))
def test_tuplegetter_text_is_the_items_text(items):
    getter = tuplegetter(*items)
    name = "tessel.engine.util.tuplegetter"
    try:
        text = repr(tuple(items))
    except Boom:
        with pytest.raises(Boom):
            repr(getter)
        return
    assert repr(getter) == (f"{name}({text})" if len(items) == 1 else f"{name}{text}")


# Processors that change the processor list or the raw row while the row is built.
mutations = st.one_of(
    st.just(("procs", "clear")),
    st.just(("procs", "pop")),
    st.just(("procs", "append")),
    st.just(("procs", "reset")),
    st.just(("raw", "clear")),
    st.just(("raw", "pop")),
    st.just(("raw", "append")),
    st.just(("raw", "reset")),
    st.just(None),
)


def mutate(target, how):
    if how == "clear":
        target.clear()
    elif how == "pop" and target:
        target.pop()
    elif how == "append":
        target.append(None)
    elif how == "reset" and target:
        target[0] = None  # may drop the last reference to a running processor


def build_processors(plan, procs_box, raw_box):
    def make(i, step):
        def processor(value):
            if step is not None:
                where, how = step
                target = procs_box[0] if where == "procs" else raw_box[0]
                if isinstance(target, list):
                    mutate(target, how)
            return (i, value)

        return processor

    return [None if step == "none" else make(i, step) for i, step in enumerate(plan)]


@examples(200)
@given(
    plan=st.lists(st.one_of(st.just("none"), mutations), max_size=5),
    procs_shape=st.sampled_from([list, tuple]),
    raw_shape=st.sampled_from([list, tuple]),
)
def test_processors_that_mutate_what_is_being_read(plan, procs_shape, raw_shape):
    # Building gives what the processors and values held when it began would
    # give, or fails with an exception, but only when a processor really changed
    # a list being read (tuples can't change).  Reading the lists afresh is also
    # sound: a column may then get the None that a mutation put in place of its
    # processor or value, but never another column's value or result.
    raw_values = [f"v{i}" for i in range(len(plan))]
    snapshot = tuple(value if step == "none" else (i, value) for i, (step, value) in enumerate(zip(plan, raw_values)))
    shapes = {"procs": procs_shape, "raw": raw_shape}
    may_fail = any(step != "none" and step is not None and shapes[step[0]] is list for step in plan)

    procs_box, raw_box = [None], [None]
    procs = build_processors(plan, procs_box, raw_box)
    procs = procs if procs_shape is list else tuple(procs)
    raw = list(raw_values) if raw_shape is list else tuple(raw_values)
    procs_box[0], raw_box[0] = procs, raw
    actual = outcome_of(lambda: BaseRow(Host({}), procs, {}, 1, raw)._data)
    if actual[0] == "value" and not may_fail:
        assert actual[1] == snapshot
    elif actual[0] == "value":
        assert len(actual[1]) == len(plan)
        assert all(
            got in (snap, raw_values[i], None, (i, None)) for i, (got, snap) in enumerate(zip(actual[1], snapshot))
        )
    else:
        assert may_fail and actual[1] in (IndexError, RuntimeError), actual


class HostileSequence(list):
    """A sequence set through _data whose protocols raise or replace the row's data."""

    row = None
    action = None

    def _act(self):
        if self.action == "raise":
            raise Boom("sequence")
        if self.action == "replace" and self.row is not None:
            self.row._data = ("replaced",)  # drops the last reference to self

    def __len__(self):
        self._act()
        return list.__len__(self)

    def __iter__(self):
        self._act()
        return list.__iter__(self)

    def __getitem__(self, i):
        self._act()
        return list.__getitem__(self, i)

    def __hash__(self):
        self._act()
        return 7


# What each read does with a sequence set through _data: positions need a
# tuple (SystemError, no protocol of the sequence runs), a negative position
# asks the sequence its length first; everything else goes through the
# sequence's own protocols, whose failures pass through.
SEQUENCE_READS = {
    "len": (len, lambda items: len(items)),
    "iter": (list, lambda items: items),
    "hash": (hash, lambda items: 7),
    "values": (lambda r: r._values_impl(), lambda items: items),
    "slice": (lambda r: r[0:2], lambda items: tuple(items[0:2])),
    "first": (lambda r: r[0], SystemError),
    "last": (lambda r: r[-1], SystemError),
    "key": (lambda r: r["k"], SystemError),
    "getter": (tuplegetter(0, "k"), SystemError),
}


@examples(100)
@given(
    action=st.sampled_from([None, "raise", "replace"]),
    items=st.lists(st.integers(), max_size=3),
    op=st.sampled_from(sorted(SEQUENCE_READS)),
)
def test_data_sequences_with_hostile_protocols(action, items, op):
    host = Host({"k": (0,)}, fallback=(0,))
    row = BaseRow(host, None, host._keymap, 3, ())
    seq = HostileSequence(items)
    seq.row, seq.action = row, action
    row._data = seq
    del seq
    read, result = SEQUENCE_READS[op]
    runs_protocol = op not in ("first", "key", "getter")
    if action == "raise" and runs_protocol:
        expected = ("raise", Boom)
    elif isinstance(result, type):
        expected = ("raise", result)
    else:
        expected = ("value", result(list(items)))
    actual = outcome_of(lambda: read(row))
    assert actual == expected and type(actual[1]) is type(expected[1])
    if action == "replace" and runs_protocol:
        assert row._data == ("replaced",)
    else:
        assert type(row._data) is HostileSequence and list.copy(row._data) == items


@given(style=st.one_of(big_ints, big_ints.map(Index), st.just(Index(Boom)), st.booleans(), st.just(1.5), st.just("1")))
def test_key_style_conversion(style):
    def model():
        return as_long(style)

    expected = outcome_of(model)
    actual = outcome_of(lambda: BaseRow(Host({}), None, {}, style, ())._key_style)
    assert actual == expected
    row = BaseRow(Host({}), None, {}, 3, ())
    setter = outcome_of(lambda: setattr(row, "_key_style", style))
    if type(style) is not int:
        assert setter == ("raise", TypeError) and row._key_style == 3
    else:
        assert setter == (("value", None) if expected[0] == "value" else expected)
        assert row._key_style == (style if expected[0] == "value" else 3)


@given(
    name=st.one_of(texts, texts.map(StrSub), st.text(min_size=190, max_size=260)),
    fallback=st.one_of(st.just(MISSING), records),
)
def test_attribute_names_with_any_characters(name, fallback):
    host = Host({}, fallback=fallback)
    row = Row(host, None, {}, 0, (1, 2))
    if hasattr(Row, name):
        return
    expected, calls = model_lookup((1, 2), host, 0, name, True)
    try:
        value = getattr(row, name)
    except AttributeError as e:
        assert expected[0] == "raise" and issubclass(expected[1], KeyError)
        assert str(e) == f"Could not locate column in row for column '{str(name)[:200]}'"
        assert e.__context__ is None or not isinstance(e.__context__, KeyError) or e.__suppress_context__ is False
    except Exception as e:
        assert expected == ("raise", type(e))
    else:
        assert expected == ("value", value)
    assert host.calls == calls


class Reconstructed(BaseRow):
    __slots__ = ()
    fields = ("_parent", "_data", "_keymap")

    def __setstate__(self, *state):
        for name, value in zip(self.fields, state):
            setattr(self, name, value)


class NewReturnsOther(BaseRow):
    def __new__(cls, *args):
        return object()


class NewRaises(BaseRow):
    def __new__(cls, *args):
        raise Boom("new")


RECONSTRUCT_PARENT, RECONSTRUCT_DATA, RECONSTRUCT_KEYMAP = Host({}), ("a", "b"), {"a": (0,)}
STATES = {
    "three fields": (RECONSTRUCT_PARENT, RECONSTRUCT_DATA, RECONSTRUCT_KEYMAP),
    "two fields": (RECONSTRUCT_PARENT, RECONSTRUCT_DATA),
    "empty": (),
    "none": None,
    "row's dict": {
        "_parent": RECONSTRUCT_PARENT,
        "_data": RECONSTRUCT_DATA,
        "_keymap": RECONSTRUCT_KEYMAP,
        "_key_style": 2,
    },
    "partial dict": {"_parent": RECONSTRUCT_PARENT},
    "ints": (1, 2, 3),
}
# The only pairs whose __setstate__ sets parent, data and key map: a tuple state
# arrives spread into Reconstructed's arguments, a dict as Row's one argument.
REBUILT = {(Reconstructed, "three fields"), (Row, "row's dict")}


@given(
    cls=st.sampled_from([Reconstructed, NewReturnsOther, NewRaises, Row, int, tuple, (Reconstructed,), None]),
    state=st.sampled_from(sorted(STATES)),
)
def test_reconstructor_with_hostile_classes_and_states(cls, state):
    actual = outcome_of(lambda: safe_rowproxy_reconstructor(cls, STATES[state]))
    if (cls, state) not in REBUILT:
        assert actual[0] == "raise" and actual[1] in (Boom, TypeError, RuntimeError, KeyError), actual
        return
    row = actual[1]
    assert type(row) is cls
    assert row._parent is RECONSTRUCT_PARENT and row._data is RECONSTRUCT_DATA and row._keymap is RECONSTRUCT_KEYMAP
    assert row._key_style == (2 if cls is Row else 0)


@examples(100)
@given(
    values=st.lists(
        st.one_of(st.integers(), texts, st.none(), st.floats(allow_nan=False), st.binary(max_size=3)), max_size=4
    ),
    key_style=st.sampled_from([0, 1, 2, 3]),
    protocol=st.integers(0, pickle.HIGHEST_PROTOCOL),
)
def test_pickle_round_trip(values, key_style, protocol):
    parent = ResultMetaData([f"c{i}" for i in range(len(values))])
    row = Row(parent, None, parent._keymap, key_style, values)
    back = pickle.loads(pickle.dumps(row, protocol))
    assert back == row and back._key_style == key_style and back._keymap == row._keymap
    assert list(back) == values and [type(v) for v in back] == [type(v) for v in values]


@examples(100)
@given(
    values=st.lists(st.integers(), max_size=4),
    filters=st.one_of(
        st.none(),
        st.lists(st.sampled_from([None, str, operator.neg, lambda v: 1 / 0]), max_size=4),
        st.just(5),
        st.just("ab"),
        st.just({}),
    ),
)
def test_filter_on_values_matches_building_afresh(values, filters):
    host = Host({"k": (0,)})
    row = Row(host, None, host._keymap, 2, values)
    expected = outcome_of(lambda: Row(host, filters, host._keymap, 2, tuple(values))._data)
    actual = outcome_of(lambda: row._filter_on_values(filters))
    assert actual[0] == expected[0]
    if actual[0] == "value":
        assert actual[1]._data == expected[1] and actual[1]._parent is host and actual[1]._key_style == 2
    else:
        assert actual[1] is expected[1]


class LyingList(list):
    def __len__(self):
        return 5


class LyingTuple(tuple):
    def __len__(self):
        return 5


class RaisingLen(list):
    def __len__(self):
        raise Boom("len")


class FailingIterable:
    def __init__(self, fail_at):
        self.fail_at = fail_at

    def __iter__(self):
        if self.fail_at == 0:
            raise Boom("iter")
        return self

    def __next__(self):
        self.fail_at -= 1
        if self.fail_at == 0:
            raise Boom("next")
        return "v"

    def __length_hint__(self):
        raise Boom("length hint")


@pytest.mark.parametrize(
    "processors, raw, error",
    [
        (LyingList([str, str]), ("a",) * 5, IndexError),  # claims 5 processors, holds 2
        (LyingTuple((str, str)), ("a",) * 5, IndexError),
        (RaisingLen([str]), ("a",), RuntimeError),  # no length: the count mismatch
        ("ab", ("a", "b"), TypeError),  # a sequence of what can't be called
        (range(2), ("a", "b"), TypeError),
        (None, FailingIterable(0), Boom),
        (None, FailingIterable(2), Boom),
        ([None], FailingIterable(3), Boom),
    ],
)
def test_processors_and_raw_rows_whose_protocols_lie_or_raise(processors, raw, error):
    with pytest.raises(error):
        BaseRow(Host({}), processors, {}, 1, raw)


class Meddler:
    """Runs `act` on the row from inside the lookup, at the point the test picks."""

    def __init__(self, act):
        self.act = act
        self.row = None

    def __index__(self):  # as item 0 of a record
        self.act(self.row)
        return 1

    def __hash__(self):  # as the key
        self.act(self.row)
        return hash("k")

    def __eq__(self, other):
        self.act(self.row)
        return other == "k"


ACTS = {
    "new data": lambda row: setattr(row, "_data", ("x", "y")),
    "short data": lambda row: setattr(row, "_data", ("x",)),
    "list data": lambda row: setattr(row, "_data", ["x", "y"]),
    "keymap cleared": lambda row: row._keymap.clear(),
    "keymap replaced": lambda row: setattr(row, "_keymap", {}),
    "parent replaced": lambda row: setattr(row, "_parent", Host({})),
    "style changed": lambda row: setattr(row, "_key_style", 0),
    "init again": lambda row: row.__init__(Host({}), None, {}, 1, ("p", "q", "r")),
}
# The value read after `act`: the data as it then stands, at position 1.
AFTER = {"new data": "y", "short data": IndexError, "list data": SystemError, "init again": "q"}


@pytest.mark.parametrize("act", ACTS)
@pytest.mark.parametrize("where", ["record item", "key hash", "warning hook", "fallback hook"])
def test_python_code_inside_a_lookup_changes_the_row(act, where):
    meddler = Meddler(ACTS[act])

    class Meddling(Host):
        def _warn_for_nonint(self, *args):
            if where == "warning hook":
                meddler.act(meddler.row)

        def _key_fallback(self, key, err):
            if where == "fallback hook":
                meddler.act(meddler.row)
            return (1,)

    keymap = {"k": (meddler if where == "record item" else 1,)}
    host = Meddling(keymap)
    row = BaseRow(host, None, keymap, 2, ("a", "b", "c"))
    meddler.row = row
    key = {"key hash": meddler, "fallback hook": "missing"}.get(where, "k")
    expected = AFTER.get(act, "b")
    if where == "key hash" and act in ("keymap cleared", "keymap replaced"):
        expected = "b"  # the lookup holds the key map it started with
    try:
        value = row._get_by_key_impl(key)
    except Exception as e:
        assert isinstance(expected, type) and type(e) is expected
    else:
        assert value == expected
