"""Host layer: result metadata, the object that rows consult for keys they can't resolve."""

from __future__ import annotations

import os
import sys
import threading
import warnings
from collections.abc import Iterable
from typing import Any

import tessel


class NoSuchColumnError(KeyError):
    """A key names no column of the result."""

    # The message itself, not KeyError's quoted repr of it.
    __str__ = Exception.__str__


class AmbiguousColumnError(LookupError):
    """A name is shared by several columns of the result, so it picks none."""


class RowKeyDeprecationWarning(DeprecationWarning):
    """A row was indexed by column key where only positions are meant to be used."""


# Column names handed to sys.intern so far, each mapped to itself.  Names in
# code are interned, so a key-map key interned too is found by identity
# (row.name, row["name"]) instead of by comparing text.  Each stays as long as
# the process: on 3.12 every interned string is immortal, and elsewhere (3.11,
# and 3.13 on, where sys.intern returns strings freed once unused) this table
# holds it.  So only so many names, and only identifiers, are interned; names
# beyond that stay as they are and are merely found a little slower.
_interned_names: dict[str, str] = {}
_INTERNED_NAMES_MAX = 4096
# Held from the size check to the insertion, so threads building metadata at
# once can't each see room for one more and overshoot the bound together.
_interned_names_lock = threading.Lock()


def _new_interning_lock() -> None:
    # A fork copies the lock as it is: if another thread held it at that
    # moment, the child's copy stays held for good, and its first new name
    # would wait forever.  The child has only the forking thread, so a fresh
    # lock is right; the names table itself is never half-changed, as each
    # dict operation is atomic.
    global _interned_names_lock
    _interned_names_lock = threading.Lock()


if hasattr(os, "register_at_fork"):  # not on Windows, which has no fork
    os.register_at_fork(after_in_child=_new_interning_lock)


def _shared_name(key: Any) -> Any:
    if type(key) is not str:
        return key
    shared = _interned_names.get(key)
    if shared is not None:
        return shared
    if not key.isidentifier():
        return key
    with _interned_names_lock:
        shared = _interned_names.get(key)
        if shared is not None:
            return shared
        if len(_interned_names) >= _INTERNED_NAMES_MAX:
            return key
        shared = sys.intern(key)
        _interned_names[shared] = shared
    return shared


class ResultMetaData:
    """Column layout of a result: the names and the key map that rows look keys up in.

    Each key-map record is a tuple ``(position, name)``; the position is ``None``
    for a name that several columns share.
    """

    def __init__(self, keys: Iterable[str]) -> None:
        self.keys = tuple(_shared_name(key) for key in keys)
        keymap: dict[Any, tuple[int | None, Any]] = {}
        for position, name in enumerate(self.keys):
            keymap[name] = (None, name) if name in keymap else (position, name)
        self._keymap = keymap

    def __repr__(self) -> str:
        return f"{type(self).__name__}({list(self.keys)!r})"

    def _key_fallback(self, key: Any, err: BaseException | None = None) -> tuple[int | None, Any]:
        raise NoSuchColumnError(f"Could not locate column in row for column {key!r}") from err

    def _raise_for_ambiguous_column_name(self, record: tuple[Any, ...]) -> None:
        name = record[1] if len(record) > 1 else record
        raise AmbiguousColumnError(f"Ambiguous column name {name!r} in result set column descriptions")

    def _raise_for_nonint(self, key: Any) -> None:
        raise TypeError(f"row indices must be integers or slices, not {type(key).__name__}")

    def _warn_for_nonint(self, *key_parts: Any) -> None:
        # The row passes a tuple key spread into separate arguments.
        key = key_parts[0] if len(key_parts) == 1 else key_parts
        warnings.warn(
            f"Retrieving a row value by the non-integer key {key!r} is deprecated; "
            "use its position or attribute access by column name",
            RowKeyDeprecationWarning,
            stacklevel=_reader_stacklevel(),
        )


# Frames of the pure-Python twin of the row module (tessel/_pure/).
_TWIN_FILES = os.path.join(os.path.dirname(tessel.__file__), "_pure", "")


def _reader_stacklevel() -> int:
    """The stack level, for a hook's warnings.warn, of the code that read the row.

    The native row calls a hook straight from that code's frame; the
    pure-Python twin's row has frames of its own in between, passed over.
    """
    level, frame = 2, sys._getframe(2)
    while frame.f_code.co_filename.startswith(_TWIN_FILES) and frame.f_back is not None:
        level, frame = level + 1, frame.f_back
    return level
