"""Module containing C versions of core ResultProxy classes."""

from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, TypeVar, final

from typing_extensions import disjoint_base

_Processors = Sequence[Callable[[Any], Any] | None] | None
_R = TypeVar("_R", bound=BaseRow)

@disjoint_base
class BaseRow:
    """BaseRow is a abstract base class for Row"""

    def __init__(
        self,
        parent: Any,
        processors: _Processors,
        keymap: dict[Any, tuple[Any, ...]],
        key_style: int,
        row: Iterable[Any],
        /,
    ) -> None: ...
    _parent: Any
    """ResultMetaData"""
    _data: Sequence[Any]
    """processed data list"""
    _keymap: dict[Any, tuple[Any, ...]]
    """Key to (obj, index) dict"""
    _key_style: int
    """Return the key style"""
    def _values_impl(self) -> list[Any]:
        """Return the values represented by this BaseRow as a list."""
    def __reduce__(self) -> tuple[Callable[..., Any], tuple[type[BaseRow], Any]]:
        """Pickle support method."""
    def _get_by_key_impl(self, key: Any, /) -> Any:
        """implement mapping-like getitem as well as sequence getitem"""
    def _get_by_key_impl_mapping(self, key: Any, /) -> Any:
        """implement mapping-like getitem as well as sequence getitem"""
    def _filter_on_values(self, filters: _Processors, /) -> Any:
        """return a new Row with per-value filters applied to columns"""
    def __init_subclass__(cls, **kwargs: Any) -> None:
        """Give the subclass BaseRow's fast construction while it keeps BaseRow's __new__ and __init__."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: Any, /) -> Any: ...
    def __iter__(self) -> Iterator[Any]: ...
    def __hash__(self) -> int: ...
    def __getattribute__(self, name: str, /) -> Any: ...
    # Columns read as attributes (row.name) go through __getattribute__ at run
    # time; this declaration is how a type checker learns that they exist.
    def __getattr__(self, name: str, /) -> Any: ...

@final
class tuplegetter:
    """tuplegetter(item, ...) --> tuplegetter object

    Return a callable object that fetches the given item(s) from its operand
    and returns them as a tuple.
    """

    def __new__(cls, *items: Any) -> tuplegetter: ...
    def __call__(self, obj: Any, /, *args: Any, **kwargs: Any) -> tuple[Any, ...]: ...
    def __reduce__(self) -> tuple[type[tuplegetter], tuple[Any, ...]]:
        """Return state information for pickling"""

def safe_rowproxy_reconstructor(cls: type[_R], state: Any, /) -> _R:
    """reconstruct a Row instance from its pickled form."""
