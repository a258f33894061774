"""The SQLite host's native readers for typed columns."""

# The pure-Python twin of the native tessel.engine.readers, for interpreters
# without the native module; tessel/__init__.py loads it under the native name.

# What the module holds; tessel/__init__.py gives the module these names only.
__all__ = ["NumericReader", "RealReader", "BooleanReader"]

import operator as _operator


def _final(cls):
    # The native types can't be subclassed, and say so in these words.
    def __init_subclass__(sub, **kwargs):
        raise TypeError(f"type '{cls.__module__}.{cls.__qualname__}' is not an acceptable base type")

    cls.__init_subclass__ = classmethod(__init_subclass__)
    return cls


@_final
class NumericReader:
    """NumericReader(decimal_type, scale, otherwise)

    Reads a NUMERIC column's values: a REAL formatted at the scale, an INTEGER
    with the scale's zeros, both passed to decimal_type as text; otherwise(value)
    for anything else.
    """

    __slots__ = ("__decimal_type", "__scale", "__otherwise")
    __module__ = "tessel.engine.readers"

    def __new__(cls, decimal_type, scale, otherwise):
        scale = _operator.index(scale)
        if scale < 0:
            raise ValueError("scale must be 0 or more")
        self = object.__new__(cls)
        self.__decimal_type, self.__scale, self.__otherwise = decimal_type, scale, otherwise
        return self

    def process(self, value, /):
        """The reading of one value."""
        if value is None:
            return None
        kind = type(value)
        if kind is float:
            return self.__decimal_type("%.*f" % (self.__scale, value))
        if kind is int:
            # Never through a double: 2**53 + 1 stays itself.
            return self.__decimal_type(f"{value}.{'0' * self.__scale}" if self.__scale else str(value))
        return self.__otherwise(value)

    def __reduce__(self):
        return (type(self), (self.__decimal_type, self.__scale, self.__otherwise))


class _OtherwiseReader:
    # What RealReader and BooleanReader are made of: `otherwise` alone.
    __slots__ = ("_otherwise",)

    def __new__(cls, otherwise):
        self = object.__new__(cls)
        self._otherwise = otherwise
        return self

    def __reduce__(self):
        return (type(self), (self._otherwise,))


@_final
class RealReader(_OtherwiseReader):
    """RealReader(otherwise)

    Reads a REAL column's values: a float as it is, an INTEGER a float holds
    exactly as that float; otherwise(value) for anything else.
    """

    __slots__ = ()
    __module__ = "tessel.engine.readers"

    def process(self, value, /):
        """The reading of one value."""
        if value is None or type(value) is float:
            return value
        if type(value) is int and -(2**63) <= value < 2**63 and float(value) == value:
            return float(value)
        return self._otherwise(value)


@_final
class BooleanReader(_OtherwiseReader):
    """BooleanReader(otherwise)

    Reads a BOOLEAN column's values: 0 and 1 (or 0.0 and 1.0) as False and
    True; otherwise(value) for anything else.
    """

    __slots__ = ()
    __module__ = "tessel.engine.readers"

    def process(self, value, /):
        """The reading of one value."""
        if value is None:
            return None
        if (type(value) is int or type(value) is float) and (value == 0 or value == 1):
            return value == 1
        return self._otherwise(value)
