"""immutable dictionary implementation"""

# The pure-Python twin of the native tessel.mapkit, for interpreters without
# the native module; tessel/__init__.py loads it under the native name.  The
# type's helpers live in the closure that builds it.

# What the module holds; tessel/__init__.py gives the module these names only.
__all__ = ["immutabledict"]


def __build():
    missing = object()

    def unpack_error(name, given, least, most):
        # The argument-count error of the native parser, in its words.
        if given < least:
            bound, count = ("at least " if least != most else ""), least
        else:
            bound, count = ("at most " if least != most else ""), most
        return TypeError(f"{name} expected {bound}{count} argument{'' if count == 1 else 's'}, got {given}")

    def no_keywords(method):
        return TypeError(f"immutabledict.{method}() takes no keyword arguments")

    class immutabledict:
        """immutable dictionary"""

        __slots__ = ("_d",)
        __module__ = "tessel.mapkit"
        __qualname__ = "immutabledict"

        def __new__(cls, *args, **kwargs):
            if len(args) > 1:
                raise unpack_error("ImmutableDict", len(args), 0, 1)
            if args and type(args[0]) is dict:
                d = args[0].copy()  # keywords are ignored on this path
            elif args and type(args[0]) is immutabledict and not kwargs:
                d = get(args[0]).copy()
            else:
                d = dict(*args, **kwargs)
            return wrap(d)

        def __init_subclass__(cls, **kwargs):
            raise TypeError("type 'tessel.mapkit.immutabledict' is not an acceptable base type")

        def __repr__(self):
            return f"immutabledict({get(self)!r})"

        def __len__(self):
            return len(get(self))

        def __getitem__(self, key):
            d = get(self)
            value = d.get(key, missing)
            if value is missing:
                raise KeyError(key)
            return value

        def __iter__(self):
            return iter(get(self))

        # Compared as the private dict is, under the same operator.
        def __eq__(self, other):
            return get(self) == other

        def __ne__(self, other):
            return get(self) != other

        def __lt__(self, other):
            return get(self) < other

        def __le__(self, other):
            return get(self) <= other

        def __gt__(self, other):
            return get(self) > other

        def __ge__(self, other):
            return get(self) >= other

        __hash__ = None

        def union(self, *args, **kwargs):
            """provide a union of this dictionary with the given dictionary-like arguments"""
            if len(args) > 1:
                raise unpack_error("ImmutableDict", len(args), 0, 1)
            if args and type(args[0]) is dict:
                source = args[0]  # keywords are ignored on this path
            elif args and type(args[0]) is immutabledict and not kwargs:
                source = get(args[0])
            else:
                source = dict(*args, **kwargs)
            if not source:
                return self
            merged = get(self).copy()
            merged.update(source)
            return wrap(merged)

        def merge_with(self, *args, **kwargs):
            """provide a union of this dictionary with those given"""
            if kwargs:
                raise no_keywords("merge_with")
            accumulator = None  # made at the first argument that contributes
            for arg in args:
                if arg is None:
                    continue
                if type(arg) is dict:
                    if not arg:
                        continue
                    other = arg
                elif type(arg) is immutabledict:
                    other = get(arg)  # merged even when empty, as the converted copy always was
                else:
                    other = dict(arg)  # converted arguments merge even when empty
                if accumulator is None:
                    accumulator = get(self).copy()
                accumulator.update(other)
            if accumulator is None:
                return self
            return wrap(accumulator)

        def keys(self):
            """return dictionary keys"""
            return list(get(self))

        # __contains__ is a method and not the containment slot: `in` searches
        # by iteration, comparing each key with ==, while m.__contains__(key)
        # is the dict's hashed lookup.  So the class leaves it out of its
        # namespace (which would fill the slot) and instances find it here.
        def __getattr__(self, name):
            if name == "__contains__":
                return contains.__get__(self)
            raise AttributeError(f"'tessel.mapkit.immutabledict' object has no attribute '{name}'")

        def items(self):
            """return dictionary items"""
            return list(get(self).items())

        def values(self):
            """return dictionary values"""
            return list(get(self).values())

        def get(self, *args, **kwargs):
            """get a value"""
            if kwargs:
                raise no_keywords("get")
            if not 1 <= len(args) <= 2:
                raise unpack_error("key", len(args), 1, 2)
            return get(self).get(*args)

        def __reduce__(self):
            """Pickle support method."""
            # The private dict itself goes into the pickle form; unpickling copies it.
            return (immutabledict, (get(self),))

    def contains(self, key, /):
        """test a member for containment"""
        return key in get(self)

    contains.__name__ = "__contains__"
    # Named as the native type's methods are, not by the closure that made them.
    for member in [contains, *vars(immutabledict).values()]:
        if hasattr(member, "__qualname__") and "<locals>" in member.__qualname__:
            member.__qualname__ = "immutabledict." + member.__name__

    # The private dict's slot stays reachable only through its descriptor
    # here, so instances show no attribute of it.
    slot = immutabledict.__dict__["_d"]
    del immutabledict._d
    get = slot.__get__
    store = slot.__set__
    new = object.__new__

    def wrap(d):
        self = new(immutabledict)
        store(self, d)
        return self

    return immutabledict


immutabledict = __build()
del __build
