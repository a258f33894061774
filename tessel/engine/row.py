"""Host layer: the result row class and its pickle support."""

from __future__ import annotations

import warnings
from typing import Any

with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)  # the GIL note on import
    from tessel.rowkit import BaseRow, safe_rowproxy_reconstructor


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
    return safe_rowproxy_reconstructor(cls, state)
