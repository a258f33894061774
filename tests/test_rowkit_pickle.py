"""Rows and getters through pickle and copy; rows rebuilt and filtered."""

import copy
import pickle

import pytest

from tessel.engine.result import ResultMetaData
from tessel.engine.row import Row, rowproxy_reconstructor
from tessel.engine.util import tuplegetter
from tessel.rowkit import BaseRow, safe_rowproxy_reconstructor

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def make_row(key_style=1, values=(1, "two", 3.0), keys=("a", "b", "c")):
    parent = ResultMetaData(keys)
    return Row(parent, None, parent._keymap, key_style, values)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("key_style", [0, 1, 2, 3])
def test_row_round_trip(protocol, key_style):
    row = make_row(key_style, keys=("a", "b", "b"))
    back = pickle.loads(pickle.dumps(row, protocol))
    assert type(back) is Row and back == row and back._key_style == key_style
    assert back._parent.keys == row._parent.keys and back._keymap == row._keymap
    assert back._keymap is back._parent._keymap  # still one key map, shared
    assert back.a == 1


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_row_copies(copier):
    row = make_row()
    clone = copier(row)
    assert type(clone) is Row and clone == row and clone.b == "two"


def test_reduce_form():
    row = make_row()
    reconstructor, (cls, state) = row.__reduce__()
    assert reconstructor is rowproxy_reconstructor and cls is Row and state == row.__getstate__()


def test_reduce_passes_on_getstate_errors():
    class Failing(Row):
        __slots__ = ()

        def __getstate__(self):
            raise ValueError("no state")

    parent = ResultMetaData(["a"])
    with pytest.raises(ValueError, match="no state"):
        pickle.dumps(Failing(parent, None, parent._keymap, 1, (1,)))


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_tuplegetter_round_trip(protocol):
    getter = tuplegetter(2, "a", (1,))
    back = pickle.loads(pickle.dumps(getter, protocol))
    assert repr(back) == repr(getter)
    row = make_row(3)
    assert back(row) == getter(row) == (3.0, 1, "two")
    cls, items = getter.__reduce__()
    assert cls is tuplegetter and items is getter.__reduce__()[1] and items == (2, "a", (1,))
    assert repr(copy.copy(getter)) == repr(copy.deepcopy(getter)) == repr(getter)


# --- safe_rowproxy_reconstructor -----------------------------------------


class Recording(BaseRow):
    new_calls = 0

    def __new__(cls, *args):
        Recording.new_calls += 1
        return super().__new__(cls)

    def __setstate__(self, *args):
        self.received = args
        parent = ResultMetaData(["a"])
        self._parent, self._data = parent, (1,)
        if args != ("skip keymap",):
            self._keymap = parent._keymap


@pytest.mark.parametrize(
    "state, received",
    [((1, 2), (1, 2)), ((1,), (1,)), ({"k": 1}, ({"k": 1},)), ("x", ("x",))],
)
def test_state_arrives_as_call_arguments(state, received):
    row = safe_rowproxy_reconstructor(Recording, state)
    assert type(row) is Recording and row.received == received and row.a == 1


def test_state_that_leaves_fields_unset():
    with pytest.raises(
        RuntimeError, match="^__setstate__ for BaseRow subclasses must set values for parent, row, and keymap$"
    ):
        safe_rowproxy_reconstructor(Recording, "skip keymap")


@pytest.mark.parametrize("args", [(Recording,), (Recording, 1, 2)])
def test_reconstructor_argument_count(args):
    before = Recording.new_calls
    with pytest.raises(TypeError):
        safe_rowproxy_reconstructor(*args)
    assert Recording.new_calls == before


def test_reconstructor_refuses_a_non_row():
    class NotARow:
        def __setstate__(self, state):
            raise AssertionError("never reached")

    with pytest.raises(TypeError, match="not a BaseRow"):
        safe_rowproxy_reconstructor(NotARow, {})


# --- _filter_on_values ----------------------------------------------------


def test_filter_on_values():
    row = make_row(2)
    same = row._filter_on_values(None)
    assert type(same) is Row and all(a is b for a, b in zip(same, row))
    assert same._parent is row._parent and same._keymap is row._keymap and same._key_style == 2
    assert tuple(row._filter_on_values([str, None, int])) == ("1", "two", 3)
    with pytest.raises(RuntimeError, match=r"number of values in row \(3\) differ .* \(2\)"):
        row._filter_on_values([None, None])
