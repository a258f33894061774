"""Module containing C versions of data processing functions."""

# The pure-Python twin of the native tessel.convkit, for interpreters without
# the native module; tessel/__init__.py loads it under the native name.

# What the module holds; tessel/__init__.py gives the module these names only.
__all__ = [
    "int_to_boolean",
    "to_str",
    "to_float",
    "str_to_datetime",
    "str_to_time",
    "str_to_date",
    "UnicodeResultProcessor",
    "DecimalResultProcessor",
]

import re as _re
import sys as _sys

try:
    import datetime as _datetime
except ImportError:
    # The native module's words, from the interpreter's capsule import.
    raise ImportError('PyCapsule_Import could not import module "datetime"') from None

_HEAPTYPE = 1 << 9


def int_to_boolean(value, /):
    """Convert an integer to a boolean."""
    if value is None:
        return None
    return True if value else False


def to_str(value, /):
    """Convert any value to its string representation."""
    if value is None:
        return None
    return str(value)


def to_float(value, /):
    """Convert any value to its floating point representation."""
    if value is None:
        return None
    return float(value)


# ---------------------------------------------------------------------------
# ISO date and time parsers
#
# The accepted text is what the C library's sscanf accepts with the patterns
# "%4u-%2u-%2u %2u:%2u:%2u.%6u" and friends: a number skips leading
# whitespace (the C locale's six characters) and may carry a sign, counted in
# its width; other pattern characters must match exactly; a space matches any
# run of whitespace; the text ends at its first NUL; and the count of fields
# converted decides.  The digits after the point are the leading digits of
# the fraction of a second (".5" is half a second), as the native module
# reads them.
#
# Each pattern is one regular expression of nested optional groups, one per
# field.  A field's digits are taken greedily up to its width and what follows
# is never a digit, so no backtracking finds another split: the groups that
# matched are exactly the fields sscanf converts.

_SPACE = "[ \t\n\v\f\r]"


def _field(width):
    return f"{_SPACE}*([+-][0-9]{{1,{width - 1}}}|[0-9]{{1,{width}}})"


def _compile(fields):
    pattern = ""
    for literal, width in reversed(fields):
        separator = f"{_SPACE}*" if literal == " " else _re.escape(literal)
        pattern = f"(?:{separator}{_field(width)}{pattern})?"
    return _re.compile(pattern).match


_scan_datetime = _compile([("", 4), ("-", 2), ("-", 2), (" ", 2), (":", 2), (":", 2), (".", 6)])
_scan_time = _compile([("", 2), (":", 2), (":", 2), (".", 6)])
_scan_date = _compile([("", 4), ("-", 2), ("-", 2)])


# The shape databases write, "YYYY-MM-DD HH:MM:SS[.f...]", matched first in
# one step.  Whatever it matches, the scan reads alike (a point it leaves
# unmatched would be a field the scan reads after skipping whitespace, so a
# point must start its fraction); anything else takes the scan.
_canonical_datetime = _re.compile(
    r"([0-9]{4})-([0-9]{2})-([0-9]{2}) ([0-9]{2}):([0-9]{2}):([0-9]{2})"
    r"(?:\.([0-9]{1,6})|(?!\.))"
).match


def _fraction(text):
    # Microseconds from the fraction's digits (its sign kept).
    return int(text) * _SCALE[len(text) - (text[0] in "+-")]


_SCALE = [10**6, 10**5, 10**4, 1000, 100, 10, 1]


def _fail(message, value):
    # ValueError(message % the ASCII repr, read as C text: up to 200
    # characters, ending at a NUL); a repr holding non-ASCII text raises that
    # encoding's error instead.
    text = repr(value)
    text.encode("ascii")
    return ValueError(message % text[:200].partition("\0")[0])


def _text_of(value):
    # The text up to its first NUL, or None for what isn't an ASCII str.
    if not isinstance(value, str) or not value.isascii():
        return None
    nul = value.find("\0")
    return value if nul < 0 else value[:nul]


def str_to_datetime(value, /):
    """Convert an ISO string to a datetime.datetime object."""
    if value is None:
        return None
    if type(value) is str and value.isascii():
        canonical = _canonical_datetime(value)
        if canonical is not None:
            y, mo, d, h, mi, s, fraction = canonical.groups()
            return _datetime.datetime(
                int(y),
                int(mo),
                int(d),
                int(h),
                int(mi),
                int(s),
                0 if fraction is None else int(fraction) * _SCALE[len(fraction)],
            )
    text = _text_of(value)
    if text is None:
        raise _fail("Couldn't parse datetime string '%s' - value is not a string.", value)
    f = _scan_datetime(text).groups()
    if f[5] is None:
        raise _fail("Couldn't parse datetime string: %s", value)
    return _datetime.datetime(
        int(f[0]), int(f[1]), int(f[2]), int(f[3]), int(f[4]), int(f[5]), 0 if f[6] is None else _fraction(f[6])
    )


def str_to_time(value, /):
    """Convert an ISO string to a datetime.time object."""
    if value is None:
        return None
    text = _text_of(value)
    if text is None:
        raise _fail("Couldn't parse time string '%s' - value is not a string.", value)
    f = _scan_time(text).groups()
    if f[2] is None:
        raise _fail("Couldn't parse time string: %s", value)
    return _datetime.time(int(f[0]), int(f[1]), int(f[2]), 0 if f[3] is None else _fraction(f[3]))


def str_to_date(value, /):
    """Convert an ISO string to a datetime.date object."""
    if value is None:
        return None
    text = _text_of(value)
    if text is None:
        raise _fail("Couldn't parse date string '%s' - value is not a string.", value)
    f = _scan_date(text).groups()
    if f[2] is None:
        raise _fail("Couldn't parse date string: %s", value)
    return _datetime.date(int(f[0]), int(f[1]), int(f[2]))


# ---------------------------------------------------------------------------
# Processors


def _type_name(cls):
    # The name the interpreter prints: a class made in Python by its own
    # name, the twins of the native types by their dotted path.
    if cls is UnicodeResultProcessor:
        return "tessel.convkit.UnicodeResultProcessor"
    if cls is DecimalResultProcessor:
        return "tessel.DecimalResultProcessor"
    if cls.__flags__ & _HEAPTYPE or cls.__module__ == "builtins":
        return cls.__name__
    return f"{cls.__module__}.{cls.__name__}"


def _uninitialised(self):
    return RuntimeError(f"{_type_name(type(self))[:200]} object is not initialised: __init__ was never called")


def _ascii_name(name):
    # The codec machinery reads a name as a C string, so one holding a NUL
    # would quietly name something else: refused, as Python's own lookups do.
    name.encode("ascii")
    if "\0" in name:
        raise ValueError("embedded null character")
    return str(name)


_MISSING = object()


def _str_argument(value, position, keyword):
    if not isinstance(value, str):
        where = position if keyword is None else f"'{keyword}'"
        raise TypeError(f"__init__() argument {where} must be str, not {_type_name(type(value))}")
    return value


class UnicodeResultProcessor:
    """UnicodeResultProcessor objects"""

    __slots__ = ("_UnicodeResultProcessor__encoding", "_UnicodeResultProcessor__errors")
    __module__ = "tessel.convkit"

    def __init__(self, *args, **kwargs):
        # The native "U|U:__init__" parse, with its messages.
        if len(args) + len(kwargs) > 2:
            raise TypeError(f"__init__() takes at most 2 arguments ({len(args) + len(kwargs)} given)")
        names = ("encoding", "errors")
        given = list(args) + [_MISSING] * (2 - len(args))
        for key, value in kwargs.items():
            if key not in names:
                if _sys.version_info >= (3, 13):
                    raise TypeError(f"__init__() got an unexpected keyword argument '{key}'")
                raise TypeError(f"'{key}' is an invalid keyword argument for __init__()")
            position = names.index(key)
            if position < len(args):
                raise TypeError(f"argument for __init__() given by name ('{key}') and position ({position + 1})")
            given[position] = value
        if given[0] is _MISSING:
            raise TypeError("__init__() missing required argument 'encoding' (pos 1)")
        encoding = _str_argument(given[0], 1, None if len(args) > 0 else "encoding")
        errors = given[1]
        if errors is not _MISSING:
            errors = _str_argument(errors, 2, None if len(args) > 1 else "errors")
        encoding = _ascii_name(encoding)
        # A failing handler name leaves the new encoding in place.
        self.__encoding = encoding
        self.__errors = "strict" if errors is _MISSING else _ascii_name(errors)

    def __decode(self, value):
        try:
            encoding, errors = self.__encoding, self.__errors
        except AttributeError:
            raise _uninitialised(self) from None
        if not isinstance(value, bytes):
            raise TypeError(f"expected bytes, {_type_name(type(value))[:200]} found")
        if not value:
            return ""  # the decoder's answer before it looks at the codec
        return bytes.decode(value, encoding, errors)

    def process(self, value, /):
        """The value processor itself."""
        if value is None:
            return None
        return self.__decode(value)

    def conditional_process(self, value, /):
        """Conditional version of the value processor."""
        if value is None:
            return None
        if isinstance(value, str):
            return value  # str subclasses come back as they are
        return self.__decode(value)


class DecimalResultProcessor:
    """DecimalResultProcessor objects"""

    __slots__ = ("_DecimalResultProcessor__type", "_DecimalResultProcessor__format")
    __module__ = "tessel"

    def __init__(self, *args, **kwargs):
        # The native "OU" parse: both by position, keywords not looked at.
        if len(args) != 2:
            raise TypeError(f"function takes exactly 2 arguments ({len(args)} given)")
        if not isinstance(args[1], str):
            raise TypeError(f"argument 2 must be str, not {_type_name(type(args[1]))}")
        self.__type, self.__format = args

    def process(self, value, /):
        """The value processor itself."""
        if value is None:
            return None
        try:
            type_, format_ = self.__type, self.__format
        except AttributeError:
            raise _uninitialised(self) from None
        # Always one value, so a tuple or a mapping is formatted as itself.
        return type_(format_ % (value,))
