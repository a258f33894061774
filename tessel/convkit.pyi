"""Module containing C versions of data processing functions."""

import datetime
from collections.abc import Callable
from typing import Any, Generic, TypeVar, overload

from typing_extensions import disjoint_base

_T = TypeVar("_T")

@overload
def int_to_boolean(value: None, /) -> None:
    """Convert an integer to a boolean."""

@overload
def int_to_boolean(value: object, /) -> bool: ...
@overload
def to_str(value: None, /) -> None:
    """Convert any value to its string representation."""

@overload
def to_str(value: object, /) -> str: ...
@overload
def to_float(value: None, /) -> None:
    """Convert any value to its floating point representation."""

@overload
def to_float(value: Any, /) -> float: ...
@overload
def str_to_datetime(value: None, /) -> None:
    """Convert an ISO string to a datetime.datetime object."""

@overload
def str_to_datetime(value: str, /) -> datetime.datetime: ...
@overload
def str_to_time(value: None, /) -> None:
    """Convert an ISO string to a datetime.time object."""

@overload
def str_to_time(value: str, /) -> datetime.time: ...
@overload
def str_to_date(value: None, /) -> None:
    """Convert an ISO string to a datetime.date object."""

@overload
def str_to_date(value: str, /) -> datetime.date: ...

@disjoint_base
class UnicodeResultProcessor:
    """UnicodeResultProcessor objects"""

    def __init__(self, encoding: str, errors: str = "strict") -> None: ...
    @overload
    def process(self, value: None, /) -> None:
        """The value processor itself."""
    @overload
    def process(self, value: bytes, /) -> str: ...
    @overload
    def conditional_process(self, value: None, /) -> None:
        """Conditional version of the value processor."""
    @overload
    def conditional_process(self, value: str | bytes, /) -> str: ...

@disjoint_base
class DecimalResultProcessor(Generic[_T]):
    """DecimalResultProcessor objects"""

    def __init__(self, type: Callable[[str], _T], format: str, /) -> None: ...
    @overload
    def process(self, value: None, /) -> None:
        """The value processor itself."""
    @overload
    def process(self, value: object, /) -> _T: ...
