"""rowkit against its models: rows against a plain tuple (sequence behaviour)
and the Python model of the key lookup (subscript, both methods, attributes,
with every hook), tuplegetter against item-by-item lookups, pickles against
the row they came from, _filter_on_values against building afresh."""

import pickle

from common import main
from provider import Data

# isort: split
# Found on the path common sets.
import test_rowkit_properties as props

from tessel.engine.row import Row
from tessel.rowkit import BaseRow

NAMES = ["a", "b", "dup", "_parent", "x\x00", "\u00e9", ""]
RECORDS = [
    (0,),
    (1, "b"),
    (2,),
    (None, "dup"),
    (None,),
    (),
    [0],
    "0",
    0,
    (-1,),
    (2**63,),
    (True,),
    (props.Index(1),),
    props.TupleSub((1,)),
    (1.0,),
]
STYLES = [0, 1, 2, 3, 6, -1, -3, props.LONG_MAX, props.LONG_MIN]
SLICES = [slice(None), slice(1, None), slice(None, None, -1), slice(-1, None), slice(0, 2**70), slice(None, None, 0)]


def value(d):
    return d.pick(
        [
            lambda: d.number(),
            lambda: d.pick(NAMES),
            lambda: None,
            lambda: b"\xff",
            lambda: props.HashRaises(),
            lambda: [1],
            lambda: props.ReprRaises(),
            lambda: object(),
        ]
    )()


def key(d, held):
    return d.pick(
        [
            lambda: d.int(-8, 8),
            lambda: d.pick(STYLES),
            lambda: d.pick(SLICES),
            lambda: d.pick(NAMES),
            lambda: props.StrSub(d.pick(NAMES)),
            lambda: (d.pick(NAMES),),
            lambda: (),
            lambda: None,
            lambda: True,
            lambda: 1.5,
            lambda: [0],
            lambda: props.HashRaises(),
            lambda: props.EqRaises(),
            lambda: d.pick(held) if held else 0,
        ]
    )()


def host(d):
    pairs = [(d.pick(NAMES + [0, slice(None), (0,)]), d.pick(RECORDS)) for _ in range(d.int(0, 5))]
    return props.Host(props.keymap_of(pairs), d.pick([props.MISSING] + RECORDS), d.flag(), d.flag())


def lookups(d):
    values, h, style = [value(d) for _ in range(d.int(0, 4))], host(d), d.pick(STYLES)
    row = d.pick([Row, BaseRow])(h, None, h._keymap, style, values)
    held = list(h._keymap)
    for _ in range(d.int(1, 4)):
        k = key(d, held)
        entries = [
            (lambda: row[k], props.subscript_is_mapping(style)),
            (lambda: row._get_by_key_impl_mapping(k), props.subscript_is_mapping(style)),
            (lambda: row._get_by_key_impl(k), False),
        ]
        for call, mapping in entries:
            expected, calls = props.model_lookup(values, h, style, k, mapping)
            h.calls.clear()
            actual = props.outcome_of(call)
            assert props.same(actual, expected), (k, style, actual, expected)
            assert h.calls == calls
        if isinstance(k, str) and not hasattr(Row, k):
            expected, calls = props.model_lookup(values, h, style, k, True)
            if expected[0] == "raise" and issubclass(expected[1], KeyError):
                expected = ("raise", AttributeError)
            h.calls.clear()
            assert props.same(props.outcome_of(lambda: getattr(row, k)), expected), (k, style)
            assert h.calls == calls


def sequence(d):
    values = [value(d) for _ in range(d.int(0, 5))]
    props.test_sequence_behaviour_matches_a_tuple.hypothesis.inner_test(
        values=values,
        shape=d.pick([list, tuple, props.TupleSub, iter]),
        key_style=d.pick(STYLES),
        cls=d.pick([BaseRow, Row]),
        extra_keys=[d.pick(SLICES) for _ in range(d.int(0, 2))],
    )


def getter(d):
    values, h = [value(d) for _ in range(d.int(0, 4))], host(d)
    held = list(h._keymap)
    items = [
        d.pick([lambda: key(d, held), lambda: (key(d, held),), lambda: (), lambda: (1, 2)])()
        for _ in range(d.int(0, 3))
    ]
    props.test_tuplegetter_on_rows_matches_item_by_item_lookup.hypothesis.inner_test(
        values=values, host=h, key_style=d.pick([0, 1, 2, 3]), items=items
    )


def pickles(d):
    values = [
        d.pick([lambda: d.number(), lambda: d.pick(NAMES), lambda: None, lambda: b"\x00"])() for _ in range(d.int(0, 4))
    ]
    values = [v for v in values if v == v]  # the property compares rows, which NaNs never equal
    props.test_pickle_round_trip.hypothesis.inner_test(
        values=values, key_style=d.pick([0, 1, 2, 3]), protocol=d.int(0, pickle.HIGHEST_PROTOCOL)
    )


def filters(d):
    values = [d.int(-5, 5) for _ in range(d.int(0, 4))]
    chosen = d.pick([None, 5, "ab", {}, [d.pick([None, str, abs, lambda v: 1 / 0]) for _ in range(d.int(0, 4))]])
    props.test_filter_on_values_matches_building_afresh.hypothesis.inner_test(values=values, filters=chosen)


def other_operands(d):
    operand = d.pick(
        [
            lambda: [value(d) for _ in range(d.int(0, 4))],
            lambda: tuple(value(d) for _ in range(d.int(0, 4))),
            lambda: props.keymap_of([(d.pick(NAMES), value(d)) for _ in range(d.int(0, 3))]),
            lambda: d.text("ab", 3),
            lambda: d.bytes(3),
        ]
    )()
    items = [key(d, []) for _ in range(d.int(0, 3))]
    props.test_tuplegetter_on_other_operands_subscripts.hypothesis.inner_test(operand=operand, items=items)
    getter = props.tuplegetter(*items)
    props.outcome_of(lambda: repr(getter))  # items' own repr may raise
    assert getter.__reduce__() == (props.tuplegetter, tuple(items)) or items != items


def data_and_fields(d):
    props.test_data_sequences_with_hostile_protocols.hypothesis.inner_test(
        action=d.pick([None, "raise", "replace"]),
        items=[d.int(-3, 3) for _ in range(d.int(0, 3))],
        op=d.pick(sorted(props.SEQUENCE_READS)),
    )
    props.test_key_style_conversion.hypothesis.inner_test(
        style=d.pick(
            [
                lambda: d.pick(STYLES),
                lambda: props.Index(d.pick(STYLES)),
                lambda: True,
                lambda: 1.5,
                lambda: "1",
                lambda: 2**64,
            ]
        )()
    )
    props.test_reconstructor_with_hostile_classes_and_states.hypothesis.inner_test(
        cls=d.pick([props.Reconstructed, props.NewReturnsOther, props.NewRaises, Row, int, tuple, None]),
        state=d.pick(sorted(props.STATES)),
    )


def one_input(data):
    d = Data(data)
    d.pick([lookups, sequence, getter, pickles, filters, other_operands, data_and_fields])(d)


if __name__ == "__main__":
    main(one_input)
