import copy
import ctypes
import pickle

import pytest
from support import counts_kept, fresh_values

import tessel
from tessel import mapkit
from tessel.mapkit import immutabledict


class SubDict(dict):
    pass


class TestConstruction:
    @pytest.mark.parametrize(
        "args, kwargs, expected",
        [
            ((), {}, {}),
            ((), {"a": 1}, {"a": 1}),
            (({"a": 1},), {"b": 2}, {"a": 1}),  # exact dict: keywords dropped
            ((SubDict(a=1),), {"b": 2}, {"a": 1, "b": 2}),
            (([("a", 1)],), {}, {"a": 1}),
            ((immutabledict(a=1),), {"a": 2}, {"a": 2}),
            ((immutabledict(a=1),), {}, {"a": 1}),
        ],
    )
    def test_contents(self, args, kwargs, expected):
        m = immutabledict(*args, **kwargs)
        assert dict(m.items()) == expected
        assert type(m) is immutabledict

    @pytest.mark.parametrize("arg", [None, 5, [1, 2]])
    def test_refused_by_dict(self, arg):
        with pytest.raises(TypeError):
            immutabledict(arg)

    def test_too_many_positional(self):
        with pytest.raises(TypeError, match="ImmutableDict expected at most 1 argument, got 2"):
            immutabledict({}, {})

    def test_source_is_copied(self):
        d = {"a": 1}
        m = immutabledict(d)
        d["b"] = 2
        assert m == {"a": 1}

    def test_init_changes_nothing(self):
        m = immutabledict(a=1)
        m.__init__({"b": 2}, c=3)
        assert m == {"a": 1}

    @pytest.mark.parametrize("count", [1, 15, 16, 17, 100])
    def test_many_released_at_once_then_made_again(self, count):
        # Released instances may be kept for reuse: more of them than are
        # kept, and new ones made from them, each read back as its own dict.
        for _ in range(3):
            made = [immutabledict({i: str(i)}) for i in range(count)]
            assert [dict(m) for m in made] == [{i: str(i)} for i in range(count)]
            del made
            again = [immutabledict(k=i).union(j=-i) for i in range(count)]
            assert [dict(m) for m in again] == [{"k": i, "j": -i} for i in range(count)]

    def test_not_subclassable_nor_weakrefable(self):
        import weakref

        with pytest.raises(TypeError):
            type("Sub", (immutabledict,), {})
        with pytest.raises(TypeError):
            weakref.ref(immutabledict())


class TestReads:
    def test_subscript_and_get(self):
        m = immutabledict(a=1)
        assert m["a"] == 1
        assert m.get("a") == 1
        assert m.get("x") is None
        assert m.get("x", 0) == 0

    def test_reads_and_merges_keep_the_counts_of_keys_values_and_defaults(self):
        # Fresh objects: a lost or extra reference to a literal would go unseen.
        key, value, other, default = fresh_values(4)

        def use():
            m = immutabledict({key: value})
            assert m.get(other, default) is default and m.get(key, default) is value and m.get(other) is None
            assert m[key] is value and m.__contains__(key) and key in m
            assert m.keys()[0] is key and m.values()[0] is value and m.items()[0][1] is value
            assert m.union({other: default})[other] is default and m.union(x=default)["x"] is default
            assert m.merge_with(None, {}, {other: value}, [(other, default)])[other] is default
            assert pickle.loads(pickle.dumps(m)) == m and repr(m)
            with pytest.raises(KeyError):
                m[other]

        with counts_kept(key, value, other, default):
            use()

    @pytest.mark.parametrize("key", ["x", "x\x00y", 5, (1, 2), "\udc80", 2.5, None])
    def test_missing_key_error_is_dicts(self, key):
        with pytest.raises(KeyError) as ours:
            immutabledict(a=1)[key]
        with pytest.raises(KeyError) as theirs:
            {"a": 1}[key]
        assert ours.value.args == theirs.value.args == (key,)

    def test_unhashable_key(self):
        m = immutabledict(a=1)
        for op in (lambda: m[[1]], lambda: m.get([1]), lambda: m.__contains__([1])):
            with pytest.raises(TypeError, match="unhashable"):
                op()

    def test_in_searches_by_iteration(self):
        m = immutabledict(a=1)
        # No containment slot: `in` walks the keys, so an unhashable operand is merely absent.
        assert ([1] in m) is False
        assert "a" in m and "b" not in m
        assert m.__contains__("a") is True and m.__contains__("b") is False

    def test_get_argument_count(self):
        m = immutabledict()
        with pytest.raises(TypeError, match="key expected at least 1 argument, got 0"):
            m.get()
        with pytest.raises(TypeError, match="key expected at most 2 arguments, got 3"):
            m.get(1, 2, 3)

    @pytest.mark.parametrize(
        "call",
        [
            lambda m: m.get("a", default=1),
            lambda m: m.merge_with(x={}),
            lambda m: m.keys(x=1),
            lambda m: m.__contains__(key="a"),
        ],
    )
    def test_keywords_refused(self, call):
        with pytest.raises(TypeError):
            call(immutabledict(a=1))

    def test_list_snapshots(self):
        d = {"b": 2, "a": 1}
        m = immutabledict(d)
        assert m.keys() == list(d.keys()) and type(m.keys()) is list
        assert m.items() == list(d.items())
        assert m.values() == list(d.values())
        assert list(m) == ["b", "a"]

    def test_length_and_truth(self):
        assert len(immutabledict()) == 0 and not immutabledict()
        m = immutabledict(a=1, b=2)
        assert len(m) == 2 and m
        if tessel.implementation != "native":
            return  # the exported function is the native module's
        length = ctypes.PyDLL(mapkit.__file__).ImmutableDict_length
        length.restype = ctypes.c_ssize_t
        length.argtypes = [ctypes.py_object]
        assert length(m) == 2

    def test_repr_and_str(self):
        m = immutabledict({"a": 1})
        assert repr(m) == str(m) == "immutabledict({'a': 1})"

    def test_comparison(self):
        m = immutabledict({"a": 1})
        assert m == {"a": 1} and {"a": 1} == m and m == immutabledict({"a": 1})
        assert m != {"a": 2} and m != immutabledict() and m != 5
        with pytest.raises(TypeError):
            m < m

    def test_read_only(self):
        m = immutabledict(a=1)
        with pytest.raises(TypeError):
            hash(m)
        with pytest.raises(TypeError):
            m["a"] = 2
        with pytest.raises(TypeError):
            del m["a"]
        with pytest.raises(TypeError):
            m | m
        for name in ("update", "copy", "pop", "setdefault", "clear", "__setitem__"):
            assert not hasattr(m, name)
        assert m == {"a": 1}

    def test_module_surface(self):
        assert mapkit.__doc__ == "immutable dictionary implementation"
        assert immutabledict.__doc__ == "immutable dictionary"
        assert immutabledict.__module__ == "tessel.mapkit"
        assert [n for n in vars(mapkit) if not n.startswith("__")] == ["immutabledict"]


class TestPickling:
    def test_reduce_hands_out_the_private_dict(self):
        m = immutabledict(a=1)
        cls, (d1,) = m.__reduce__()
        _, (d2,) = m.__reduce__()
        assert cls is immutabledict and d1 is d2 and d1 == {"a": 1}

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_round_trip(self, protocol):
        m = immutabledict({"a": 1, "b": [1, 2]})
        back = pickle.loads(pickle.dumps(m, protocol))
        assert back == m and type(back) is immutabledict
        assert back.__reduce__()[1][0] is not m.__reduce__()[1][0]

    def test_copies(self):
        m = immutabledict(a=[1])
        assert copy.copy(m) == m
        deep = copy.deepcopy(m)
        assert deep == m and deep["a"] is not m["a"]


class TestUnionAndMerge:
    def test_union_returns_self_when_nothing_merges(self):
        m = immutabledict(a=1)
        assert m.union() is m
        assert m.union({}) is m
        assert m.union([]) is m
        assert m.union(immutabledict()) is m

    @pytest.mark.parametrize(
        "args, kwargs, expected",
        [
            ((), {"b": 2}, {"a": 1, "b": 2}),
            (({"b": 2},), {"c": 3}, {"a": 1, "b": 2}),
            ((SubDict(b=2),), {"c": 3}, {"a": 1, "b": 2, "c": 3}),
            (([("b", 2)],), {}, {"a": 1, "b": 2}),
            ((immutabledict(b=2),), {}, {"a": 1, "b": 2}),
            ((immutabledict(b=2),), {"c": 3}, {"a": 1, "b": 2, "c": 3}),  # keywords kept
            (({"a": 1},), {}, {"a": 1}),
        ],
    )
    def test_union(self, args, kwargs, expected):
        m = immutabledict(a=1)
        result = m.union(*args, **kwargs)
        assert result is not m and result == expected and type(result) is immutabledict
        assert m == {"a": 1}

    def test_union_order_and_precedence(self):
        m = immutabledict({"a": 1, "b": 2})
        for source in ({"c": 3, "a": 9}, immutabledict({"c": 3, "a": 9})):
            for result in (m.union(source), m.merge_with(source)):
                assert list(result.items()) == [("a", 9), ("b", 2), ("c", 3)]

    def test_union_errors(self):
        m = immutabledict(a=1)
        with pytest.raises(TypeError):
            m.union(None)
        with pytest.raises(TypeError, match="ImmutableDict expected at most 1 argument, got 2"):
            m.union({}, {})

    def test_merge_with_returns_self_when_nothing_merges(self):
        m = immutabledict(a=1)
        assert m.merge_with() is m
        assert m.merge_with(None, {}, None) is m

    @pytest.mark.parametrize(
        "args, expected",
        [
            (([],), {"a": 1}),  # a converted argument merges even when empty
            ((immutabledict(),), {"a": 1}),
            (({"a": 1},), {"a": 1}),
            (({"a": 5}, None, {"a": 2}), {"a": 2}),
            ((SubDict(b=1), [("c", 2)]), {"a": 1, "b": 1, "c": 2}),
        ],
    )
    def test_merge_with(self, args, expected):
        m = immutabledict(a=1)
        result = m.merge_with(*args)
        assert result is not m and result == expected

    def test_merge_with_failure_leaves_everything(self):
        m = immutabledict(a=1)
        first = {"b": 1}
        with pytest.raises(TypeError):
            m.merge_with(first, 5)
        assert m == {"a": 1} and first == {"b": 1}

    def test_results_own_their_dict(self):
        m = immutabledict(a=1)
        source = {"b": 2}
        for result in (m.union(source), m.merge_with(source)):
            source["b"] = 3
            assert result["b"] == 2
            source["b"] = 2
        other = immutabledict(b=2)
        other_dict = other.__reduce__()[1][0]  # the only way to reach its private dict
        for result in (m.union(other), m.merge_with(other), immutabledict(other)):
            other_dict["b"] = 3
            assert result["b"] == 2
            other_dict["b"] = 2

    def test_failing_hash_during_merge(self):
        class BadHash:
            def __hash__(self):
                raise ValueError("no hash")

        m = immutabledict(a=1)
        with pytest.raises(ValueError, match="no hash"):
            m.union([(BadHash(), 1)])
        with pytest.raises(ValueError, match="no hash"):
            m.merge_with([(BadHash(), 1)])
