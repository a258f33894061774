"""immutabledict against dict: construction, reads, membership, text and
pickles, then merge_with and union against dict updates."""

from common import main
from provider import Data

# isort: split
# Found on the path common sets.
import test_mapkit_properties as props
from support import outcome_of

from tessel.mapkit import immutabledict

KEYS = ["a", "b", "", "\x00", "\u00e9", b"a", 0, 1, -1, 2**70, 1.5, -0.0, None, (1, "a"), True]


def key(d):
    return d.pick([lambda: d.pick(KEYS), lambda: d.int(-3, 3), lambda: d.text("ab\x00\u00e9", 3)])()


def mapping(d):
    return {key(d): d.int(-2, 2) for _ in range(d.int(0, 6))}


def alike(actual, expected):
    """The same exception type, or a mapping with the dict's items in the dict's order."""
    if actual[0] != expected[0] or actual[0] == "raise":
        return actual == expected
    return type(actual[1]) is immutabledict and list(actual[1].items()) == list(expected[1].items())


def construction(d, base):
    source = d.pick(
        [
            lambda: base,
            lambda: immutabledict(base),
            lambda: list(base.items()),
            lambda: props.DictSub(base),
            lambda: 5,
            lambda: [(1,)],
            lambda: None,
        ]
    )()
    args = d.pick([(), (source,), (source, source)])
    kwargs = {d.text("ab", 2): d.int(0, 3) for _ in range(d.int(0, 2))}
    # An exact dict is copied as it is, its keywords dropped (the one path that reads no keywords).
    model = (lambda: dict(source)) if args == (source,) and type(source) is dict else (lambda: dict(*args, **kwargs))
    assert alike(outcome_of(lambda: immutabledict(*args, **kwargs)), outcome_of(model))
    m, k = immutabledict(base), key(d)
    get = d.pick([(), (k,), (k, 0), (k, 0, 1)])
    assert outcome_of(lambda: m.get(*get)) == outcome_of(lambda: base.get(*get))
    other = mapping(d)
    expected = dict(base, **{repr(k): v for k, v in other.items()})
    assert list(m.union(immutabledict({repr(k): v for k, v in other.items()})).items()) == list(expected.items())
    merged = m.merge_with(immutabledict(other), None)
    assert list(merged.items()) == list({**base, **other}.items())


def one_input(data):
    d = Data(data)
    base = mapping(d)
    step = d.int(0, 3)
    if step == 3:
        construction(d, base)
        return
    if step == 0:
        props.test_reads_match_dict.hypothesis.inner_test(d=base, key=key(d))
    elif step == 1:
        sources = [
            d.pick([None, mapping(d), props.DictSub(mapping(d)), list(mapping(d).items())]) for _ in range(d.int(0, 4))
        ]
        props.test_merge_with_matches_dict_updates.hypothesis.inner_test(base=base, sources=sources)
    else:
        source = mapping(d)
        kwargs = {d.text("ab", 2): d.int(0, 3) for _ in range(d.int(0, 2))}
        props.test_union_matches_dict_rules.hypothesis.inner_test(
            base=base, source=props.DictSub(source) if d.flag() else source, kwargs=kwargs
        )


if __name__ == "__main__":
    main(one_input)
