"""immutable dictionary implementation"""

from collections.abc import Iterable, Iterator, Mapping
from typing import Any, Generic, NoReturn, TypeVar, final, overload

_K = TypeVar("_K")
_V = TypeVar("_V")
_T = TypeVar("_T")

@final
class immutabledict(Generic[_K, _V]):
    """immutable dictionary"""

    @overload
    def __new__(cls) -> immutabledict[Any, Any]: ...
    @overload
    def __new__(cls, **kwargs: _V) -> immutabledict[str, _V]: ...
    @overload
    def __new__(cls, source: Mapping[_K, _V], /, **kwargs: _V) -> immutabledict[_K, _V]: ...
    @overload
    def __new__(cls, source: Iterable[tuple[_K, _V]], /, **kwargs: _V) -> immutabledict[_K, _V]: ...
    def union(self, source: Mapping[_K, _V] | Iterable[tuple[_K, _V]] = ..., /, **kwargs: _V) -> immutabledict[_K, _V]:
        """provide a union of this dictionary with the given dictionary-like arguments"""
    def merge_with(self, *sources: Mapping[_K, _V] | Iterable[tuple[_K, _V]] | None) -> immutabledict[_K, _V]:
        """provide a union of this dictionary with those given"""
    def keys(self) -> list[_K]:
        """return dictionary keys"""
    def __contains__(self, key: object, /) -> bool:
        """test a member for containment"""
    def items(self) -> list[tuple[_K, _V]]:
        """return dictionary items"""
    def values(self) -> list[_V]:
        """return dictionary values"""
    @overload
    def get(self, key: _K, /) -> _V | None:
        """get a value"""
    @overload
    def get(self, key: _K, default: _T, /) -> _V | _T: ...
    def __reduce__(self) -> tuple[type[immutabledict[_K, _V]], tuple[dict[_K, _V]]]:
        """Pickle support method."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: _K, /) -> _V: ...
    def __iter__(self) -> Iterator[_K]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]
