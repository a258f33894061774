"""Shared test helpers: how many examples a property runs, outcomes of calls, and reference counts.

A property may ask for more examples than hypothesis' default in the plain
run; leak and sanitizer runs repeat every test under the "repeat" profile,
whose own small count then applies.
"""

import contextlib
import ctypes
import gc
import itertools
import os
import sys

from hypothesis import settings

# A C long's range, to which the modules convert positions and key styles:
# 64 bits on Linux and macOS, 32 on Windows.
LONG_MAX = 2 ** (8 * ctypes.sizeof(ctypes.c_long) - 1) - 1
LONG_MIN = -LONG_MAX - 1

_incref = ctypes.PYFUNCTYPE(None, ctypes.py_object)(("Py_IncRef", ctypes.pythonapi))
_fresh_ids = itertools.count()


def examples(n):
    if os.environ.get("TESSEL_HYPOTHESIS_PROFILE", "default") == "default":
        return settings(max_examples=n)
    return settings()


def outcome_of(call):
    """("value", result) or ("raise", exception type): what a call did, for comparing with a model."""
    try:
        return ("value", call())
    except Exception as e:
        return ("raise", type(e))


def is_immortal(obj):
    """True for an object whose reference count says nothing about the code under test.

    From 3.12 on those are the immortal objects.  3.11 has none, but shares its
    singletons, small ints and one-character strings with all the code running,
    whose own references move their counts.
    """
    check = getattr(sys, "_is_immortal", None)
    if check:
        return check(obj)
    if sys.version_info >= (3, 12):
        return sys.getrefcount(obj) >= 2**30
    return (
        obj is None
        or obj is Ellipsis
        or obj is NotImplemented
        or type(obj) is bool
        or (type(obj) is int and -5 <= obj <= 256)
        or (type(obj) in (str, bytes) and len(obj) <= 1)
    )


def fresh_values(n):
    """n distinct values whose reference counts move.

    Literals won't do: small ints, interned strings and (on 3.14t) every
    constant of a code object are immortal, so a lost or extra reference to
    them changes nothing anyone can see.
    """
    out = []
    for k in range(n):  # the same kinds at the same places on every call: an int, a str, an object, ...
        i = next(_fresh_ids)
        out.append([int("9" * 30) + i, "-".join(["value", str(i)]), object()][k % 3])
    return out


def restore_lost(obj, count):
    """Gives back `count` references that a faulty call took from obj, so the
    failure is reported instead of the object being freed while still in use."""
    for _ in range(count):
        _incref(obj)


@contextlib.contextmanager
def counts_kept(*objs):
    """Fails if the block changed the reference count of any of objs (a leak or a lost reference)."""
    movable = [obj for obj in objs if not is_immortal(obj)]
    assert movable == list(objs), "counts of immortal values never move: use fresh_values()"
    # No collection inside the block: one may free earlier garbage that held
    # these objects, which would read as a reference lost by the code under test.
    collecting = gc.isenabled()
    gc.disable()
    try:
        before = [sys.getrefcount(obj) for obj in objs]
        yield
        after = [sys.getrefcount(obj) for obj in objs]
    finally:
        if collecting:
            gc.enable()
    for obj, b, a in zip(objs, before, after):
        restore_lost(obj, b - a)
    changed = [(obj, b, a) for obj, b, a in zip(objs, before, after) if a != b]
    assert not changed, "reference counts moved (object, before, after): " + ", ".join(
        f"({type(o).__name__}, {b}, {a})" for o, b, a in changed
    )
