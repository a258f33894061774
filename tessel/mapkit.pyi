"""immutable dictionary implementation"""

from collections.abc import Iterable, Iterator
from typing import Any, Generic, TypeAlias, TypeVar, final, overload

from _typeshed import SupportsKeysAndGetItem

_K = TypeVar("_K")
_V = TypeVar("_V")
_K2 = TypeVar("_K2")
_V2 = TypeVar("_V2")
_K3 = TypeVar("_K3")
_V3 = TypeVar("_V3")
_K4 = TypeVar("_K4")
_V4 = TypeVar("_V4")
_T = TypeVar("_T")
_KS = TypeVar("_KS")
_VS = TypeVar("_VS")

# What merge_with takes for each argument: None is skipped.
_Source: TypeAlias = SupportsKeysAndGetItem[_KS, _VS] | Iterable[tuple[_KS, _VS]] | None

# Not a collections.abc.Mapping at run time (the type carries no mapping flag,
# and isinstance(d, Mapping) is false), so not one here either: where a Mapping
# is wanted, pass dict(d).

@final
class immutabledict(Generic[_K, _V]):
    """immutable dictionary"""

    @overload
    def __new__(cls) -> immutabledict[Any, Any]: ...
    @overload
    def __new__(cls, **kwargs: _V) -> immutabledict[str, _V]: ...
    @overload
    def __new__(cls, source: SupportsKeysAndGetItem[_K, _V], /, **kwargs: _V) -> immutabledict[_K, _V]: ...
    @overload
    def __new__(cls, source: Iterable[tuple[_K, _V]], /, **kwargs: _V) -> immutabledict[_K, _V]: ...
    # A change may bring keys and values of other types: the result's types are
    # the unions.  (With an exact dict as its source, union ignores the keywords.)
    @overload
    def union(self, /) -> immutabledict[_K, _V]:
        """provide a union of this dictionary with the given dictionary-like arguments"""
    @overload
    def union(self, /, **kwargs: _V2) -> immutabledict[_K | str, _V | _V2]: ...
    @overload
    def union(self, source: SupportsKeysAndGetItem[_K2, _V2], /) -> immutabledict[_K | _K2, _V | _V2]: ...
    @overload
    def union(
        self, source: SupportsKeysAndGetItem[_K2, _V2], /, **kwargs: _V3
    ) -> immutabledict[_K | _K2 | str, _V | _V2 | _V3]: ...
    @overload
    def union(self, source: Iterable[tuple[_K2, _V2]], /) -> immutabledict[_K | _K2, _V | _V2]: ...
    @overload
    def union(
        self, source: Iterable[tuple[_K2, _V2]], /, **kwargs: _V3
    ) -> immutabledict[_K | _K2 | str, _V | _V2 | _V3]: ...
    @overload
    def merge_with(self, /) -> immutabledict[_K, _V]:
        """provide a union of this dictionary with those given"""
    @overload
    def merge_with(self, a: _Source[_K2, _V2], /) -> immutabledict[_K | _K2, _V | _V2]: ...
    @overload
    def merge_with(
        self, a: _Source[_K2, _V2], b: _Source[_K3, _V3], /
    ) -> immutabledict[_K | _K2 | _K3, _V | _V2 | _V3]: ...
    @overload
    def merge_with(
        self, a: _Source[_K2, _V2], b: _Source[_K3, _V3], c: _Source[_K4, _V4], /
    ) -> immutabledict[_K | _K2 | _K3 | _K4, _V | _V2 | _V3 | _V4]: ...
    @overload
    def merge_with(self, /, *sources: _Source[Any, Any]) -> immutabledict[Any, Any]: ...
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
