"""The SQLite host's native readers for typed columns."""

from collections.abc import Callable
from decimal import Decimal
from typing import Any, final

@final
class NumericReader:
    """NumericReader(decimal_type, scale, otherwise)

    Reads a NUMERIC column's values: a REAL formatted at the scale, an INTEGER
    with the scale's zeros, both passed to decimal_type as text; otherwise(value)
    for anything else.
    """

    def __new__(
        cls, decimal_type: Callable[[str], Decimal], scale: int, otherwise: Callable[[Any], Any]
    ) -> NumericReader: ...
    def process(self, value: Any, /) -> Any:
        """The reading of one value."""
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
class RealReader:
    """RealReader(otherwise)

    Reads a REAL column's values: a float as it is, an INTEGER a float holds
    exactly as that float; otherwise(value) for anything else.
    """

    def __new__(cls, otherwise: Callable[[Any], Any]) -> RealReader: ...
    def process(self, value: Any, /) -> Any:
        """The reading of one value."""
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
class BooleanReader:
    """BooleanReader(otherwise)

    Reads a BOOLEAN column's values: 0 and 1 (or 0.0 and 1.0) as False and
    True; otherwise(value) for anything else.
    """

    def __new__(cls, otherwise: Callable[[Any], Any]) -> BooleanReader: ...
    def process(self, value: Any, /) -> Any:
        """The reading of one value."""
    def __reduce__(self) -> tuple[Any, ...]: ...
