"""convkit against Python's own conversions, with hostile values, str subclasses and odd characters.

The C library comparison of the date scanners is in test_convkit_scan.py;
here the parsers meet what isn't plain ASCII text: subclasses with their own
repr, surrogates, NULs, characters outside ASCII and values of other types.
"""

import codecs
import datetime
import math
import os
import random
import sys
from array import array
from decimal import Decimal

import pytest
from hypothesis import example, given
from hypothesis import strategies as st
from support import examples, outcome_of
from test_convkit_scan import reference

from tessel import convkit
from tessel.convkit import DecimalResultProcessor, UnicodeResultProcessor


class Boom(Exception):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class IntSub(int):
    pass


class OwnRepr(str):
    """A str whose repr is whatever it was given: non-ASCII, with NULs, long, or raising."""

    def __new__(cls, text, shown):
        self = super().__new__(cls, text)
        self.shown = shown
        return self

    def __repr__(self):
        if isinstance(self.shown, type):
            raise self.shown("repr")
        return self.shown


class Hostile:
    """Every conversion protocol raises or answers with the wrong type, as told."""

    def __init__(self, how):
        self.how = how

    def _answer(self, good):
        if self.how == "raise":
            raise Boom(self.how)
        return good if self.how == "good" else object()

    def __bool__(self):
        return self._answer(True)

    def __str__(self):
        return self._answer("text")

    def __repr__(self):
        return self._answer("Hostile()")

    def __float__(self):
        return self._answer(2.5)

    def __index__(self):
        return self._answer(3)


def same(actual, expected):
    """Same exception type, or equal values of the same type (NaNs by their text)."""
    if actual[0] != expected[0]:
        return False
    if actual[0] == "raise":
        return actual[1] is expected[1]
    a, e = actual[1], expected[1]
    return type(a) is type(e) and (repr(a) == repr(e) or a == e)


odd_chars = "\x00\u00e9\ud800\udfff\u0663\uff11\u2028\U0001f600"
scan_chars = "0123456789-:. +T\t\n" + odd_chars


def stamp(parts):
    return "{}-{}-{} {}:{}:{}.{}".format(*parts)


datetime_like = st.builds(
    lambda parts, cut, insert, at: (lambda s: s[:at] + insert + s[at:])(stamp(parts)[:cut]),
    st.tuples(*[st.integers(0, 9999).map(str)] * 7),
    st.integers(0, 40),
    st.text(st.sampled_from(scan_chars), max_size=2),
    st.integers(0, 40),
)
texts = st.one_of(
    datetime_like,
    st.text(st.sampled_from(scan_chars), max_size=25),
    st.text(max_size=12),
    st.text(min_size=195, max_size=230),
)
values = st.one_of(
    st.none(),
    texts,
    texts.map(StrSub),
    st.builds(OwnRepr, texts, st.one_of(st.text(max_size=220), st.just(Boom), st.just("x\x00y"))),
    st.integers(),
    st.floats(),
    st.binary(max_size=12),
    st.binary(max_size=12).map(bytearray),
    st.builds(Hostile, st.sampled_from(["good", "raise", "wrong"])),
    st.just(datetime.datetime(2024, 3, 5)),
)

PARSERS = [(convkit.str_to_datetime, "datetime"), (convkit.str_to_time, "time"), (convkit.str_to_date, "date")]


def expected_parse(word, value):
    """('value', v) or ('raise', type, message or None), from the C library's scan of the plain text."""
    if value is None:
        return ("value", None, None)
    if isinstance(value, str) and value.isascii():
        # The C library's scan of the plain text decides; only the message's
        # representation is the value's own (a subclass may have its own repr).
        scanned = reference(word, str.__str__(value))
        if scanned[0] == "value":
            return ("value", scanned[1], None)
        if not scanned[2].startswith("Couldn't parse"):
            return ("raise", ValueError, scanned[2])  # the constructor's range check
        message = "Couldn't parse {} string: {:.200}"
    else:
        message = "Couldn't parse {} string '{:.200}' - value is not a string."
    try:
        shown = repr(value)
    except Exception as e:
        return ("raise", type(e), None)
    if not shown.isascii():
        return ("raise", UnicodeEncodeError, None)
    return ("raise", ValueError, message.format(word, shown.split("\x00")[0]))


@examples(300)
@given(value=values, member=st.sampled_from(PARSERS))
def test_parsers_on_any_value(value, member):
    parse, word = member
    expected = expected_parse(word, value)
    try:
        result = parse(value)
    except Exception as e:
        assert expected[0] == "raise" and type(e) is expected[1], (e, expected)
        if expected[2] is not None:
            assert str(e) == expected[2]
    else:
        assert expected[0] == "value" and type(result) is type(expected[1]) and result == expected[1]
        assert getattr(result, "tzinfo", None) is None


scalar_values = st.one_of(
    st.none(),
    st.integers(),
    st.floats(),
    st.text(max_size=8),
    st.text(max_size=8).map(StrSub),
    st.sampled_from([" 1.5 ", "1_000.5", "inf", "-nan", "1e400", "\u0661.5", "\x001", "1.5\x00"]),
    st.binary(max_size=6),
    st.binary(max_size=6).map(BytesSub),
    st.just(bytearray(b" 2.5")),
    st.lists(st.integers(), max_size=2),
    st.builds(Hostile, st.sampled_from(["good", "raise", "wrong"])),
    st.just(Decimal("1.25")),
    st.booleans(),
)


@examples(300)
@given(value=scalar_values)
def test_scalar_converters_match_builtins(value):
    for convert, model in [(convkit.int_to_boolean, bool), (convkit.to_str, str), (convkit.to_float, float)]:
        expected = ("value", None) if value is None else outcome_of(lambda: model(value))
        actual = outcome_of(lambda: convert(value))
        assert same(actual, expected), (convert, actual, expected)
        if convert is convkit.int_to_boolean and actual[0] == "value" and value is not None:
            assert actual[1] is expected[1]


ENCODINGS = ["utf-8", "UTF8", "latin-1", "ascii", "utf-16", "utf-32-le", "cp1252", "shift_jis", "idna", "no-such-codec"]
ERRORS = ["strict", "ignore", "replace", "surrogateescape", "backslashreplace", "no-such-handler"]


def expected_decode(value, encoding, errors, conditional):
    if value is None:
        return ("value", None)
    if conditional and isinstance(value, str):
        return ("value", value)
    if not isinstance(value, bytes):
        return ("raise", TypeError)
    return outcome_of(lambda: bytes(value).decode(encoding, errors))


@examples(300)
@given(
    value=st.one_of(
        st.none(),
        st.binary(max_size=12),
        st.binary(max_size=12).map(BytesSub),
        st.text(max_size=4),
        st.text(max_size=4).map(StrSub),
        st.binary(max_size=4).map(bytearray),
        st.binary(max_size=4).map(memoryview),
        st.integers(),
    ),
    encoding=st.sampled_from(ENCODINGS),
    errors=st.one_of(st.none(), st.sampled_from(ERRORS)),
)
def test_unicode_processor_matches_bytes_decode(value, encoding, errors):
    processor = UnicodeResultProcessor(encoding) if errors is None else UnicodeResultProcessor(encoding, errors=errors)
    errors = errors or "strict"
    for method, conditional in [(processor.process, False), (processor.conditional_process, True)]:
        expected = expected_decode(value, encoding, errors, conditional)
        actual = outcome_of(lambda: method(value))
        assert same(actual, expected), (method, actual, expected)
        if conditional and isinstance(value, str):
            assert actual[1] is value


name_texts = st.one_of(
    st.sampled_from(["utf-8", "latin-1"]),
    st.text(max_size=8),
    st.text(max_size=8).map(StrSub),
    st.sampled_from(["utf-8\x00", "utf-8\x00garbage", "strict\x00ignore"]),
    st.binary(max_size=4),
    st.integers(),
)


def expected_name(name):
    if not name.isascii():
        return UnicodeEncodeError
    if "\x00" in name:
        return ValueError  # as every codec lookup by name refuses it
    return None


@given(encoding=name_texts, errors=name_texts)
def test_unicode_processor_names(encoding, errors):
    if not (isinstance(encoding, str) and isinstance(errors, str)):
        failure = TypeError  # argument parsing comes first
    else:
        failure = expected_name(encoding) or expected_name(errors)
    try:
        processor = UnicodeResultProcessor(encoding, errors)
    except Exception as e:
        assert type(e) is failure
        return
    assert failure is None
    expected = outcome_of(lambda: b"caf\xc3\xa9 \xff".decode(encoding, errors))
    assert same(outcome_of(lambda: processor.process(b"caf\xc3\xa9 \xff")), expected)


@pytest.mark.parametrize("args", [("utf-8\x00ignored",), ("utf-8", "strict\x00ignore")])
def test_names_with_nul_are_refused(args):
    # Cut at the NUL, the name would silently pick another codec or handler.
    with pytest.raises(ValueError, match="embedded null character"):
        UnicodeResultProcessor(*args)
    processor = UnicodeResultProcessor("latin-1")
    with pytest.raises(ValueError, match="embedded null character"):
        processor.__init__(*args)
    if "\x00" in args[0]:
        assert processor.process(b"\xe9") == "\u00e9"  # nothing was replaced
    else:
        with pytest.raises(UnicodeDecodeError):  # the encoding was, as with any failing error name
            processor.process(b"\xe9")


FORMATS = [
    "%.2f",
    "%.10f",
    "%.0f",
    "%.99f",
    "%.100f",
    "%.f",
    "%.2F",
    "%d",
    "%i",
    "%s",
    "%r",
    "%a",
    "%x",
    "%o",
    "%e",
    "%g",
    "%c",
    "%5.1f%%",
    "%(a)s",
    "%s %s",
    "abc",
    "",
    "%*d",
    "%%",
    "%s\x00",
    "\u00e9%s\ud800",
    "%z",
]
TYPES = [Decimal, str, float, int, repr, len, 5, lambda text: (_ for _ in ()).throw(Boom(text))]
# Fixed ones: generating decimals keeps growing a cache of hypothesis' own, which leak runs would flag.
decimals = st.sampled_from(
    [
        Decimal(text)
        for text in [
            "1.25",
            "-0",
            "NaN",
            "-sNaN1",
            "Infinity",
            "1E+400",
            "-1E-400",
            "123456789.123456789",
            "0.005",
            "-2.5",
        ]
    ]
)
decimal_values = st.one_of(
    st.integers(),
    st.integers(-(2**200), 2**200),
    st.floats(),
    decimals,
    st.booleans(),
    st.text(max_size=5),
    st.binary(max_size=3),
    st.tuples(st.integers()),
    st.tuples(st.integers(), st.integers()),
    st.just(()),
    st.just({"a": 1}),
    st.builds(Hostile, st.sampled_from(["good", "raise", "wrong"])),
    st.integers().map(IntSub),
)


@examples(300)
@given(
    value=decimal_values,
    fmt=st.one_of(st.sampled_from(FORMATS), st.sampled_from(FORMATS).map(StrSub)),
    kind=st.sampled_from(TYPES),
)
@example(value=2**63, fmt="%*d", kind=Decimal)  # a width too big: some interpreters check the count first
@example(value=1.5, fmt="%x", kind=Decimal)  # worded with the argument's number on some interpreters
@example(value=2**1024, fmt="%.2f", kind=Decimal)  # the fixed-point shortcut failing
def test_decimal_processor_matches_formatting_then_the_type(value, fmt, kind):
    processor = DecimalResultProcessor(kind, fmt)

    def worded(call):
        # An error's words too: the processor's shortcuts raise what the tuple form raises.
        try:
            return ("value", call())
        except Exception as e:
            return ("raise", type(e), str(e))

    expected = worded(lambda: kind(fmt % (value,)))
    actual = worded(lambda: processor.process(value))
    assert actual == expected if expected[0] == "raise" else same(actual, expected)
    assert processor.process(None) is None


def doubles_for_fixed_formatting(precision, count, rng):
    """Doubles where '%.Nf' is easy to get wrong at this precision, then any bit patterns."""
    xs = [
        0.0,
        -0.0,
        5e-324,
        -5e-324,
        sys.float_info.min,
        sys.float_info.max,
        -sys.float_info.max,
        math.inf,
        -math.inf,
        math.nan,
        0.5,
        1.5,
        2.5,
        -2.5,
        0.125,
        0.375,
        1e22,
        1e23,
        123456.785,
    ]
    for k in range(-2048, 2049, 64):  # integers either side of 2**53 and 2**64, where the fast path ends
        xs += [2.0**53 + k, 2.0**64 + k * 2048, -(2.0**63 + k * 1024), 2.0**54 + 2 * k]
    for _ in range(count // 8):
        # Exact ties at the last place are odd multiples of 2**-(N+1); then one ulp either side.
        tie = math.ldexp(rng.getrandbits(rng.randint(1, 53)) | 1, -(precision + 1))
        xs += [tie, -tie, math.nextafter(tie, math.inf), math.nextafter(tie, -math.inf)]
        # Prices and measures as stored: a few places, near the rounding boundary.
        cents = rng.randrange(10 ** rng.randint(1, 17)) / 10 ** rng.randint(0, 9)
        xs += [
            cents,
            math.nextafter(cents, math.inf),
            math.nextafter(cents, -math.inf),
            math.ldexp(rng.getrandbits(52), -1074),
        ]  # a subnormal
    bits = array("d", rng.randbytes(8 * (count // 2)))  # every kind of double, NaN payloads included
    return xs + list(bits)


# Many values and every precision: the quick path for short values must give
# the interpreter's text for all of them, the rest is the interpreter's own.
FIXED_COUNT = 60_000 if os.environ.get("TESSEL_HYPOTHESIS_PROFILE", "default") == "default" else 2_000


@pytest.mark.parametrize("precision", [*range(18), 19, 20, 25, 99])
def test_decimal_processor_formats_floats_as_percent_does(precision):
    rng = random.Random(precision)
    xs = doubles_for_fixed_formatting(precision, FIXED_COUNT if precision <= 20 else FIXED_COUNT // 20, rng)
    fmt = f"%.{precision}f"
    processor = DecimalResultProcessor(str, fmt)
    got, want = list(map(processor.process, xs)), [fmt % x for x in xs]
    if got != want:
        wrong = [(x.hex(), g, w) for x, g, w in zip(xs, got, want) if g != w]
        pytest.fail(f"{len(wrong)} of {len(xs)} differ from {fmt!r} % x, e.g. {wrong[:3]}")
    for n in (2**53 + 1, -(2**64) - 1, 10**30, 0, -7):  # ints go through the float conversion % makes
        assert processor.process(n) == fmt % n
    with pytest.raises(OverflowError):
        processor.process(10**400)


@given(args=st.lists(st.one_of(st.sampled_from([Decimal, "%s", StrSub("%d"), b"%s", None, 5])), max_size=3))
def test_decimal_processor_arguments(args):
    ok = len(args) == 2 and isinstance(args[1], str)
    try:
        processor = DecimalResultProcessor(*args)
    except TypeError:
        assert not ok
        return
    assert ok and processor.process(None) is None


# --- processors whose Python callbacks re-initialise them -------------------


@pytest.mark.thread_unsafe(reason="registers a codec in the process-wide registry")
def test_codec_that_reinitialises_its_processor():
    processor = UnicodeResultProcessor("tessel-test-reinit")

    def decode(data, errors="strict"):
        processor.__init__("latin-1", "ignore")  # drops the names the call is using
        return bytes(data).decode("utf-8", errors), len(data)

    def search(name):
        if name in ("tessel_test_reinit", "tessel-test-reinit"):  # 3.15 keeps the hyphens
            return codecs.CodecInfo(encode=None, decode=decode, name="tessel-test-reinit")
        return None

    codecs.register(search)
    try:
        assert processor.process("caf\u00e9".encode()) == "caf\u00e9"
        assert processor.process(b"\xe9") == "\u00e9"  # now latin-1
    finally:
        codecs.unregister(search)


def test_error_handler_that_reinitialises_its_processor():
    processor = UnicodeResultProcessor("utf-8", "tessel_test_reinit")

    def handler(error):
        processor.__init__("ascii", "strict")
        return ("?", error.end)

    codecs.register_error("tessel_test_reinit", handler)
    assert processor.process(b"a\xffb") == "a?b"
    with pytest.raises(UnicodeDecodeError):
        processor.process(b"a\xffb")


def test_processor_subclasses_that_skip_initialisation():
    class Lazy(UnicodeResultProcessor):
        def __init__(self, *args):
            pass

    class LazyDecimal(DecimalResultProcessor):
        def __init__(self, *args):
            pass

    for method in (Lazy("utf-8").process, Lazy("utf-8").conditional_process, LazyDecimal(Decimal, "%s").process):
        assert method(None) is None
        with pytest.raises(RuntimeError):
            method(b"x")
