"""convkit against its references: the parsers against the C library's sscanf
with each parser's own pattern and against fromisoformat on the ISO shape
they share; the converters against bool, str and float; the processors
against bytes.decode and the type applied to fmt % (value,), errors word for word."""

import datetime
import re
from decimal import Decimal

from common import main
from provider import Data

# isort: split
# Found on the path common sets.
import test_convkit_properties as props

from tessel import convkit

PARSERS = [(convkit.str_to_datetime, "datetime"), (convkit.str_to_time, "time"), (convkit.str_to_date, "date")]
SCAN_CHARS = list("0123456789-:. +T\t\n") + list(props.odd_chars)
# The shape both sides read alike; hour 24 and a fraction of other than six
# digits are read differently on purpose (fromisoformat's own extensions).
ISO = {
    "datetime": (re.compile(r"\d{4}-\d{2}-\d{2} (?!24)\d{2}:\d{2}:\d{2}(\.\d{6})?"), datetime.datetime.fromisoformat),
    "time": (re.compile(r"(?!24)\d{2}:\d{2}:\d{2}(\.\d{6})?"), datetime.time.fromisoformat),
    "date": (re.compile(r"\d{4}-\d{2}-\d{2}"), datetime.date.fromisoformat),
}
SCALARS = [" 1.5 ", "1_000.5", "inf", "-nan", "1e400", "\u0661.5", "\x001", "", "0", "abc", b" 2.5", b"", [], (), True]
FORMAT_PARTS = [
    "%",
    "%",
    "%",
    ".",
    "*",
    "-",
    "+",
    " ",
    "#",
    "0",
    "1",
    "2",
    "9",
    "d",
    "f",
    "F",
    "e",
    "g",
    "x",
    "X",
    "o",
    "c",
    "s",
    "r",
    "a",
    "i",
    "u",
    "%%",
    "(a)",
    "z",
    "\x00",
    "\u00e9",
]
KINDS = [Decimal, str, float, int, repr]


def outcome(call):
    try:
        return ("value", call())
    except Exception as e:
        return ("raise", type(e), str(e))


def parsers(d):
    parse, word = d.pick(PARSERS)
    text = d.text(SCAN_CHARS, 40)
    value = props.StrSub(text) if d.flag() else text
    props.test_parsers_on_any_value.hypothesis.inner_test(value=value, member=(parse, word))
    shape, fromisoformat = ISO[word]
    if shape.fullmatch(text) and text.isascii():
        ours, theirs = outcome(lambda: parse(text)), outcome(lambda: fromisoformat(text))
        assert ours[0] == theirs[0] and (ours[0] == "raise" or ours[1] == theirs[1]), (text, ours, theirs)


def scalars(d):
    value = d.pick([d.number, lambda: d.pick(SCALARS), lambda: d.text(SCAN_CHARS, 8), lambda: d.bytes(6)])()
    props.test_scalar_converters_match_builtins.hypothesis.inner_test(value=value)


def unicode_processor(d):
    value = d.bytes(16)
    value = d.pick([value, props.BytesSub(value), value.decode("latin-1"), bytearray(value), None])
    errors = d.pick([None] + props.ERRORS)
    props.test_unicode_processor_matches_bytes_decode.hypothesis.inner_test(
        value=value, encoding=d.pick(props.ENCODINGS), errors=errors
    )


def decimal_processor(d):
    fmt = "".join(d.pick(FORMAT_PARTS) for _ in range(d.int(0, 6)))
    value = d.pick(
        [
            d.number,
            lambda: Decimal(d.pick(["1.25", "-0", "NaN", "1E+400", "0.005"])),
            lambda: d.text(SCAN_CHARS, 4),
            lambda: (d.number(),),
            lambda: {"a": d.number()},
        ]
    )()
    props.test_decimal_processor_matches_formatting_then_the_type.hypothesis.inner_test(
        value=value, fmt=fmt, kind=d.pick(KINDS)
    )


def one_input(data):
    d = Data(data)
    d.pick([parsers, scalars, unicode_processor, decimal_processor])(d)


if __name__ == "__main__":
    main(one_input)
