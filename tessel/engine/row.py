"""Host layer: the result row class and its pickle support."""

from __future__ import annotations

from enum import IntEnum
from typing import Any

from tessel.engine import rowkit

BaseRow = rowkit.BaseRow


class KeyStyle(IntEnum):
    """What a row's subscript accepts; the row module reads the same numbers."""

    KEY_INTEGER_ONLY = 0  # row[int]; columns by attribute only
    KEY_OBJECTS_ONLY = 1  # row[key]; integers are refused
    KEY_OBJECTS_BUT_WARN = 2  # both, warning on keys
    KEY_OBJECTS_NO_WARN = 3  # both; any other number reads like this one


KEY_INTEGER_ONLY = KeyStyle.KEY_INTEGER_ONLY
KEY_OBJECTS_ONLY = KeyStyle.KEY_OBJECTS_ONLY
KEY_OBJECTS_BUT_WARN = KeyStyle.KEY_OBJECTS_BUT_WARN
KEY_OBJECTS_NO_WARN = KeyStyle.KEY_OBJECTS_NO_WARN


class Row(BaseRow):
    """One result row: a tuple of values, also readable by column key and name."""

    __slots__ = ()

    def __getstate__(self) -> dict[str, Any]:
        return {
            "_parent": self._parent,
            "_data": self._data,
            "_keymap": self._keymap,
            "_key_style": self._key_style,
        }

    def __setstate__(self, state: dict[str, Any]) -> None:
        self._parent = state["_parent"]
        self._data = state["_data"]
        self._keymap = state["_keymap"]
        self._key_style = state["_key_style"]

    @property
    def _fields(self) -> tuple[str, ...]:
        """The result's column names, in column order, as namedtuple's ``_fields``."""
        keys: tuple[str, ...] = self._parent.keys
        return keys

    def _asdict(self) -> dict[str, Any]:
        """A new dict of column name to value, in column order, as namedtuple's ``_asdict()``.

        A name that several columns share has no one value, as ``row[name]``
        has none: it raises AmbiguousColumnError rather than keep one of them.
        """
        keys: tuple[str, ...] = self._parent.keys
        as_dict = dict(zip(keys, self._data))
        if len(as_dict) != len(keys):
            parent = self._parent
            shared = next(name for position, name in enumerate(keys) if name in keys[:position])
            parent._raise_for_ambiguous_column_name(parent._keymap[shared])
        return as_dict

    def __repr__(self) -> str:
        return repr(tuple(self))

    def __eq__(self, other: object) -> bool:
        if isinstance(other, BaseRow):
            other = tuple(other)
        return tuple(self) == other

    def __ne__(self, other: object) -> bool:
        return not self == other

    __hash__ = BaseRow.__hash__


def rowproxy_reconstructor(cls: type[Row], state: Any) -> Row:
    """Rebuild a pickled row of class ``cls`` from its ``__getstate__`` state."""
    return rowkit.safe_rowproxy_reconstructor(cls, state)
