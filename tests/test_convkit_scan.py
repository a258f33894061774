"""The date and time parsers against the C library's own sscanf.

For each generated text the reference is sscanf with the parser's pattern,
plus %n markers around the fraction so the fraction's digits can be scaled as
we read them (leading digits of the second).  The outcome must agree: the
same value, the same constructor error, or the same scan-failure message.
"""

import ctypes
import ctypes.util
import datetime

from hypothesis import example, given
from hypothesis import strategies as st
from support import examples

from tessel import convkit

libc = ctypes.CDLL(ctypes.util.find_library("c"))
libc.sscanf.restype = ctypes.c_int

# parser, word, pattern with %n around the fraction, fields, threshold, result type
MEMBERS = {
    "datetime": (convkit.str_to_datetime, b"%4u-%2u-%2u %2u:%2u:%2u.%n%6u%n", 7, 6, datetime.datetime),
    "time": (convkit.str_to_time, b"%2u:%2u:%2u.%n%6u%n", 4, 3, datetime.time),
    "date": (convkit.str_to_date, b"%4u-%2u-%2u", 3, 3, datetime.date),
}


def reference(member, text):
    """What the parser should do with `text`: ('value', v) or ('error', type, message)."""
    parse, pattern, nfields, threshold, result_type = MEMBERS[member]
    fields = [ctypes.c_int(0) for _ in range(nfields)]
    marks = [ctypes.c_int(-1), ctypes.c_int(-1)]
    refs = [ctypes.byref(f) for f in fields]
    if nfields > 3:
        refs[nfields - 1 : nfields - 1] = [ctypes.byref(marks[0])]
        refs.append(ctypes.byref(marks[1]))
    raw = text.encode("ascii")
    count = libc.sscanf(raw, pattern, *refs)
    if count < threshold:
        return ("error", ValueError, f"Couldn't parse {member} string: {text!r:.200}")
    values = [f.value for f in fields]
    if count == nfields and nfields > 3:
        taken = raw[marks[0].value : marks[1].value]
        digits = sum(ch in b"0123456789" for ch in taken)
        values[-1] *= 10 ** (6 - digits)
    try:
        return ("value", result_type(*values))
    except ValueError as exc:
        return ("error", ValueError, str(exc))


def outcome(member, text):
    try:
        return ("value", MEMBERS[member][0](text))
    except ValueError as exc:
        return ("error", type(exc), str(exc))


PIECES = st.one_of(
    st.text(alphabet="0123456789", min_size=1, max_size=8),
    st.sampled_from(["-", ":", ".", " ", "  ", "\t", "\n", "\r", "\v", "\f", "+", "-0", "T", "Z", "\x00", "/", "a"]),
)
CANONICAL = ["2024-03-05 14:30:15.123456", "14:30:15.123456", "2024-03-05", "1999-12-31 23:59:59", "0:0:0.5"]


@st.composite
def mutated(draw):
    text = draw(st.sampled_from(CANONICAL))
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(text)))
        action = draw(st.sampled_from(["insert", "replace", "truncate", "delete"]))
        if action == "truncate":
            text = text[:at]
        elif action == "delete":
            text = text[:at] + text[at + 1 :]
        else:
            piece = draw(PIECES)
            text = text[:at] + piece + text[at + (action == "replace") :]
    return text


LAYOUTS = {
    "datetime": ([4, 2, 2, 2, 2, 2, 6], ["-", "-", " ", ":", ":", "."]),
    "time": ([2, 2, 2, 6], [":", ":", "."]),
    "date": ([4, 2, 2], ["-", "-"]),
}


@st.composite
def fieldwise(draw, member):
    """Fields of about the right width with mostly the right separators."""

    def often():
        return draw(st.integers(0, 9)) > 0

    layout = LAYOUTS[member if often() else draw(st.sampled_from(sorted(LAYOUTS)))]
    text = ""
    for width, sep in zip(layout[0], layout[1] + [""]):
        text += "" if often() else draw(st.sampled_from([" ", "\t", "\n ", "\v\f\r", "+", "-", " -"]))
        if often():
            text += draw(st.text(alphabet="0123456789", min_size=1, max_size=width))
        else:
            text += draw(st.text(alphabet="0123456789", max_size=8))
        text += sep if often() else draw(PIECES)
    return text


def near_iso(member):
    return st.one_of(fieldwise(member), mutated(), st.lists(PIECES, max_size=16).map("".join))


# Not flatmap: it makes strategies per draw, which hypothesis keeps, and leak runs would flag.
CASES = st.one_of(*(st.tuples(st.just(m), near_iso(m)) for m in sorted(MEMBERS)))


@examples(4000)
@given(case=CASES)
@example(case=("datetime", ""))
@example(case=("time", " \t"))
@example(case=("date", "-"))
@example(case=("datetime", "2024-03-05 14:30:15.-12345"))
@example(case=("datetime", "2024-03-05 14:30:15. +5"))
@example(case=("datetime", "2024-03-05\x0014:30:15"))
@example(case=("time", "+1:+1:+1.+1"))
def test_parser_agrees_with_sscanf(case):
    member, text = case
    assert outcome(member, text) == reference(member, text)
