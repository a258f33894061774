import datetime
import subprocess
import sys
from decimal import Decimal

import pytest

from tessel import convkit
from tessel.convkit import DecimalResultProcessor, UnicodeResultProcessor

D = datetime.datetime
PARSERS = [(convkit.str_to_datetime, "datetime"), (convkit.str_to_time, "time"), (convkit.str_to_date, "date")]


def test_module_surface():
    assert convkit.__doc__ == "Module containing C versions of data processing functions."
    assert convkit.str_to_time.__doc__ == "Convert an ISO string to a datetime.time object."
    assert DecimalResultProcessor.__module__ == "tessel"
    assert UnicodeResultProcessor.__module__ == "tessel.convkit"
    assert repr(DecimalResultProcessor(int, "%d")).startswith("<tessel.DecimalResultProcessor object at ")


@pytest.mark.parametrize(
    "convert",
    [convkit.int_to_boolean, convkit.to_str, convkit.to_float, convkit.str_to_datetime, convkit.str_to_time,
     convkit.str_to_date, UnicodeResultProcessor("utf-8").process, UnicodeResultProcessor("utf-8").conditional_process,
     DecimalResultProcessor(Decimal, "%.2f").process, UnicodeResultProcessor.__new__(UnicodeResultProcessor).process],
)
def test_none_passes_through(convert):
    assert convert(None) is None


@pytest.mark.parametrize(
    "convert, value, expected",
    [(convkit.int_to_boolean, 0, False), (convkit.int_to_boolean, -1, True), (convkit.int_to_boolean, "0", True),
     (convkit.int_to_boolean, [], False), (convkit.to_str, 12, "12"), (convkit.to_str, b"ab", "b'ab'"),
     (convkit.to_float, " 1.5 ", 1.5), (convkit.to_float, b"1.5", 1.5), (convkit.to_float, True, 1.0)],
)
def test_scalar_converters(convert, value, expected):
    result = convert(value)
    assert result == expected and type(result) is type(expected)


class Unthinkable:
    def __bool__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize(
    "convert, value, error",
    [(convkit.int_to_boolean, Unthinkable(), ZeroDivisionError), (convkit.to_float, "abc", ValueError),
     (convkit.to_float, [], TypeError)],
)
def test_scalar_converter_errors_pass_through(convert, value, error):
    with pytest.raises(error):
        convert(value)


@pytest.mark.parametrize(
    "text, expected",
    [("2024-03-05 14:30:15.123456", D(2024, 3, 5, 14, 30, 15, 123456)),
     ("2024-03-05 14:30:15", D(2024, 3, 5, 14, 30, 15)),
     ("2024-03-05 14:30:15+02:00", D(2024, 3, 5, 14, 30, 15)),
     ("2024-3-5 1:2:3", D(2024, 3, 5, 1, 2, 3)),
     (" \t2024-03-05 \n 14:30:15", D(2024, 3, 5, 14, 30, 15)),
     ("2024-03-0514:30:15", D(2024, 3, 5, 14, 30, 15)),
     ("2024- +3-05 14:30:15", D(2024, 3, 5, 14, 30, 15)),
     ("2024-03-05 14:30:15\x00.5", D(2024, 3, 5, 14, 30, 15)),
     # Fractions are the leading digits of the second.
     ("2024-03-05 14:30:15.5", D(2024, 3, 5, 14, 30, 15, 500000)),
     ("2024-03-05 14:30:15.123", D(2024, 3, 5, 14, 30, 15, 123000)),
     ("2024-03-05 14:30:15.000001", D(2024, 3, 5, 14, 30, 15, 1)),
     ("2024-03-05 14:30:15.1234567", D(2024, 3, 5, 14, 30, 15, 123456)),
     ("2024-03-05 14:30:15.", D(2024, 3, 5, 14, 30, 15)),
     ("2024-03-05 14:30:15.+12345", D(2024, 3, 5, 14, 30, 15, 123450))],
)
def test_str_to_datetime(text, expected):
    result = convkit.str_to_datetime(text)
    assert result == expected and type(result) is D and result.tzinfo is None


@pytest.mark.parametrize(
    "convert, text, expected",
    [(convkit.str_to_time, "14:30:15", datetime.time(14, 30, 15)),
     (convkit.str_to_time, "14:30:15.05", datetime.time(14, 30, 15, 50000)),
     (convkit.str_to_time, "14:30:15.000001", datetime.time(14, 30, 15, 1)),
     (convkit.str_to_time, "14:30:15+05:00", datetime.time(14, 30, 15)),
     (convkit.str_to_date, "2024-03-05", datetime.date(2024, 3, 5)),
     (convkit.str_to_date, "2024-03-05T14:30:15", datetime.date(2024, 3, 5)),
     (convkit.str_to_date, "24-03-05", datetime.date(24, 3, 5))],
)
def test_str_to_time_and_date(convert, text, expected):
    result = convert(text)
    assert result == expected and type(result) is type(expected)


class Text(str):
    pass


@pytest.mark.parametrize(
    "convert, text",
    [(convkit.str_to_datetime, "2024-03-05T14:30:15"), (convkit.str_to_datetime, "2024-03-05"),
     (convkit.str_to_datetime, "2024-03-05 14:30"), (convkit.str_to_datetime, "12024-03-05 00:00:00"),
     (convkit.str_to_time, "14:30"), (convkit.str_to_time, "2024-03-05 14:30:15"),
     (convkit.str_to_date, "2024-03"), (convkit.str_to_date, "20240305"), (convkit.str_to_date, "2024/03/05"),
     (convkit.str_to_date, "-2024-03-05"), (convkit.str_to_date, "abc"), (convkit.str_to_time, "+:1:1"),
     (convkit.str_to_date, Text("2024-03")), (convkit.str_to_date, "2024\x00-03-05"),
     (convkit.str_to_datetime, ""), (convkit.str_to_time, " \t\n")],
)
def test_scan_failures(convert, text):
    word = convert.__name__.removeprefix("str_to_")
    with pytest.raises(ValueError) as info:
        convert(text)
    assert str(info.value) == f"Couldn't parse {word} string: {text!r}"


@pytest.mark.parametrize("convert, word", PARSERS)
def test_scan_failure_message_is_cut_at_200(convert, word):
    text = "x" * 300
    with pytest.raises(ValueError) as info:
        convert(text)
    assert str(info.value) == f"Couldn't parse {word} string: {text!r:.200}"


@pytest.mark.parametrize("convert, word", PARSERS)
@pytest.mark.parametrize("value", [12, b"2024-03-05", D(2024, 3, 5), "\u2028", "2024-03-05\u00a0" + "x" * 300])
def test_not_a_string(convert, word, value):
    with pytest.raises(ValueError) as info:
        convert(value)
    assert str(info.value) == f"Couldn't parse {word} string '{ascii(value):.200}' - value is not a string."


@pytest.mark.parametrize("convert, word", PARSERS)
def test_non_ascii_representation_raises_encoding_error(convert, word):
    with pytest.raises(UnicodeEncodeError):
        convert("2024-03-05 14:30:15 caf\u00e9")


@pytest.mark.parametrize(
    "convert, text, message",
    [(convkit.str_to_datetime, "2024-13-01 00:00:00", "month must be in 1..12"),
     (convkit.str_to_datetime, "2024-04-31 00:00:00", "day 31 must be in range"),
     (convkit.str_to_time, "24:00:00", "hour must be in 0..23"),
     (convkit.str_to_time, "00:00:00.-5", "microsecond must be in 0..999999"),
     (convkit.str_to_date, "0-01-01", "year must be in 1..9999")],
)
def test_out_of_range_fields_raise_constructor_error(convert, text, message):
    with pytest.raises(ValueError, match=message):
        convert(text)


@pytest.mark.parametrize("args", [(), ("a", "b")])
def test_functions_take_exactly_one_argument(args):
    with pytest.raises(TypeError):
        convkit.str_to_date(*args)


def test_unicode_processor_decodes():
    word = "caf\u00e9"
    strict = UnicodeResultProcessor("utf-8")
    assert strict.process(word.encode()) == word
    assert strict.process(b"a\x00b") == "a\x00b"
    assert strict.process(b"") == ""
    with pytest.raises(UnicodeDecodeError):
        strict.process(b"\xff")
    assert UnicodeResultProcessor(encoding="utf-8", errors="ignore").process(b"a\xffb") == "ab"
    assert UnicodeResultProcessor("latin-1", "strict").conditional_process(b"\xe9") == "\u00e9"


def test_unicode_processor_value_types():
    processor = UnicodeResultProcessor("utf-8")
    word, subclassed = "word", Text("word")
    assert processor.conditional_process(word) is word
    assert processor.conditional_process(subclassed) is subclassed
    for method, value in [(processor.process, "word"), (processor.process, bytearray(b"x")),
                          (processor.conditional_process, bytearray(b"x")), (processor.process, 5)]:
        with pytest.raises(TypeError):
            method(value)


def test_unicode_processor_unknown_codec_fails_on_use():
    processor = UnicodeResultProcessor("no-such-codec")
    assert processor.process(b"") == ""
    with pytest.raises(LookupError):
        processor.process(b"x")


@pytest.mark.parametrize(
    "args, kwargs, error",
    [((), {}, TypeError), ((b"utf-8",), {}, TypeError), (("utf-8", b"strict"), {}, TypeError),
     (("utf-\u00f8",), {}, UnicodeEncodeError), (("utf-8", "str\u00edct"), {}, UnicodeEncodeError)],
)
def test_unicode_processor_arguments(args, kwargs, error):
    with pytest.raises(error):
        UnicodeResultProcessor(*args, **kwargs)


def test_unicode_processor_reinitialised_uses_new_names():
    processor = UnicodeResultProcessor("utf-8")
    processor.__init__("latin-1", errors="strict")
    assert processor.process(b"\xe9") == "\u00e9"


def test_decimal_processor():
    assert DecimalResultProcessor(Decimal, "%.3f").process(1.5) == Decimal("1.500")
    assert DecimalResultProcessor(str, "%s").process((1, 2)) == "(1, 2)"
    assert DecimalResultProcessor(str, "%s").process({"a": 1}) == "{'a': 1}"
    assert DecimalResultProcessor(int, "%d", extra=1).process(7.9) == 7


@pytest.mark.parametrize(
    "type_, fmt, value, error",
    [(Decimal, "%s %s", 1, TypeError), (Decimal, "none", 1, TypeError), (Decimal, "%d", "x", TypeError),
     (5, "%s", 1, TypeError), (Decimal, "%s", "x", Exception)],
)
def test_decimal_processor_failures(type_, fmt, value, error):
    processor = DecimalResultProcessor(type_, fmt)
    with pytest.raises(error):
        processor.process(value)


@pytest.mark.parametrize("args, kwargs", [((), {"type": Decimal, "format": "%s"}), ((Decimal, b"%s"), {}), ((Decimal,), {})])
def test_decimal_processor_arguments(args, kwargs):
    with pytest.raises(TypeError):
        DecimalResultProcessor(*args, **kwargs)


def test_decimal_processor_survives_reinit_while_formatting():
    processor = DecimalResultProcessor(Decimal, "%.1f")

    class Sneaky:
        def __float__(self):
            processor.__init__(int, "%d")
            return 2.25

    assert processor.process(Sneaky()) == Decimal("2.2")
    assert processor.process(3.5) == 3


@pytest.mark.parametrize(
    "kind, method",
    [(UnicodeResultProcessor, "process"), (UnicodeResultProcessor, "conditional_process"),
     (DecimalResultProcessor, "process")],
)
def test_uninitialised_processor_raises(kind, method):
    subclass = type("Sub", (kind,), {})
    for cls in (kind, subclass):
        processor = cls.__new__(cls)
        with pytest.raises(RuntimeError, match="not initialised"):
            getattr(processor, method)(b"x")


def test_import_fails_without_datetime():
    code = "import sys; sys.modules['datetime'] = None; import tessel.convkit"
    proc = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
    assert proc.returncode != 0 and "ImportError" in proc.stderr
