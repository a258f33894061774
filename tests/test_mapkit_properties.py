"""immutabledict against a plain dict model, with hostile keys and arguments."""

import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st
from support import counts_kept

from tessel.mapkit import immutabledict

keys = st.one_of(
    st.integers(min_value=-(2**70), max_value=2**70),
    st.text(max_size=8),  # NULs, surrogates and non-ASCII included
    st.binary(max_size=4),
    st.tuples(st.integers(), st.text(max_size=2)),
    st.none(),
    st.floats(allow_nan=False),
)
dicts = st.dictionaries(keys, st.integers(), max_size=8)


class Boom(Exception):
    pass


class StrSub(str):
    pass


class DictSub(dict):
    pass


@given(dicts, keys)
def test_reads_match_dict(d, key):
    m = immutabledict(d)
    assert len(m) == len(d) and list(m) == list(d)
    assert m.keys() == list(d) and m.values() == list(d.values()) and m.items() == list(d.items())
    assert m == d and d == m and not (m != d)
    assert m.__contains__(key) == (key in d)
    default = object()  # its count moves, unlike a literal's
    with counts_kept(default):
        assert m.get(key, default) is d.get(key, default)
    if key in d:
        assert m[key] == d[key]
    else:
        with pytest.raises(KeyError) as caught:
            m[key]
        assert caught.value.args == (key,)
    assert repr(m) == f"immutabledict({d!r})"
    assert pickle.loads(pickle.dumps(m)) == m


@given(
    dicts, st.lists(st.one_of(st.none(), dicts, dicts.map(DictSub), dicts.map(lambda d: list(d.items()))), max_size=4)
)
def test_merge_with_matches_dict_updates(base, sources):
    m = immutabledict(base)
    expected = dict(base)
    for s in sources:
        if s is not None:
            expected.update(s)
    result = m.merge_with(*sources)
    assert type(result) is immutabledict and result == expected and list(result) == list(expected)
    # The receiver itself comes back exactly when every argument is None or an
    # empty plain dict; anything else (even an empty list) makes a new mapping.
    assert (result is m) == all(s is None or s == {} and type(s) is dict for s in sources)
    assert m == base


@given(dicts, st.one_of(dicts, dicts.map(DictSub)), st.dictionaries(st.text(max_size=3), st.integers(), max_size=3))
def test_union_matches_dict_rules(base, source, kwargs):
    m = immutabledict(base)
    merge = dict(source) if type(source) is dict else dict(source, **kwargs)
    expected = dict(base)
    expected.update(merge)
    result = m.union(source, **kwargs)
    assert result == expected and list(result) == list(expected)
    assert (result is m) == (not merge)


class Hostile:
    """A key whose hash or equality raises, or mutates a dict it was given."""

    def __init__(self, victim=None, raise_in=None):
        self.victim = victim
        self.raise_in = raise_in

    def __hash__(self):
        if self.raise_in == "hash":
            raise Boom("hash")
        return 1

    def __eq__(self, other):
        if self.victim is not None:
            self.victim.clear()
        if self.raise_in == "eq":
            raise Boom("eq")
        return self is other


@pytest.mark.parametrize("raise_in", ["hash", "eq"])
def test_raising_keys(raise_in):
    # Every Hostile hashes alike, so a lookup compares the probe with the stored key.
    stored = Hostile(raise_in="eq" if raise_in == "eq" else None)
    m = immutabledict({stored: 1})
    probe = Hostile(raise_in="hash" if raise_in == "hash" else None)
    for op in (
        lambda: m[probe],
        lambda: m.get(probe),
        lambda: m.__contains__(probe),
        lambda: m.union({probe: 2}),
        lambda: m.merge_with({probe: 2}),
    ):
        with pytest.raises(Boom):
            op()
    assert len(m) == 1 and m.keys() == [stored]


def test_key_that_mutates_the_source_during_a_merge():
    source = {}
    source[Hostile()] = 1
    source[Hostile(victim=source)] = 2  # clears the source when compared
    own = Hostile()
    m = immutabledict({own: 0})
    given = {id(k): v for k, v in source.items()}
    for op in (lambda: m.union(source), lambda: m.merge_with(source), lambda: m.merge_with(DictSub(source))):
        try:
            result = op()
        except RuntimeError:
            continue  # "dict mutated during update" is an honest answer
        # Whatever got merged before the source emptied: the receiver's entry and source entries as given.
        assert type(result) is immutabledict and len(result) == len(list(result))
        assert result.items()[0] == (own, 0)
        assert all(given[id(k)] == v for k, v in result.items()[1:])
    assert m.items() == [(own, 0)]


def test_sources_with_hostile_protocols():
    class BadIter:
        def __iter__(self):
            raise Boom("iter")

    class BadKeys:
        def keys(self):
            raise Boom("keys")

        def __getitem__(self, key):
            raise Boom("getitem")

    m = immutabledict(a=1)
    for bad in (BadKeys(), BadIter()):
        for op in (lambda: immutabledict(bad), lambda: m.union(bad), lambda: m.merge_with(bad)):
            with pytest.raises(Boom):
                op()
        assert m == {"a": 1}


def test_str_subclass_keys_and_huge_ints():
    m = immutabledict({StrSub("a"): 1, 2**100: 2, -(2**63): 3})
    assert m["a"] == 1 and m[2**100] == 2 and m[-(2**63)] == 3
    with pytest.raises(KeyError) as caught:
        m[StrSub("zz\x00")]
    assert caught.value.args == ("zz\x00",)
