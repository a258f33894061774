import codecs
import datetime
import encodings
import subprocess
import sys
from decimal import Decimal

import pytest
from support import counts_kept, outcome_of

from tessel import convkit
from tessel.convkit import DecimalResultProcessor, UnicodeResultProcessor

D = datetime.datetime
PARSERS = [(convkit.str_to_datetime, "datetime"), (convkit.str_to_time, "time"), (convkit.str_to_date, "date")]


class Text(str):
    pass


def test_type_names():
    assert DecimalResultProcessor.__module__ == "tessel"
    assert UnicodeResultProcessor.__module__ == "tessel.convkit"


@pytest.mark.parametrize(
    "convert",
    [
        convkit.int_to_boolean,
        convkit.to_str,
        convkit.to_float,
        convkit.str_to_datetime,
        convkit.str_to_time,
        convkit.str_to_date,
        UnicodeResultProcessor("utf-8").process,
        UnicodeResultProcessor("utf-8").conditional_process,
        DecimalResultProcessor(Decimal, "%.2f").process,
        UnicodeResultProcessor.__new__(UnicodeResultProcessor).process,
    ],
)
def test_none_passes_through(convert):
    assert convert(None) is None


@pytest.mark.parametrize(
    "convert, value, expected",
    [
        (convkit.int_to_boolean, 0, False),
        (convkit.int_to_boolean, "0", True),
        (convkit.int_to_boolean, [], False),
        (convkit.to_str, b"ab", "b'ab'"),
        (convkit.to_float, b" 1.5 ", 1.5),
        (convkit.to_float, True, 1.0),
        (convkit.to_float, "abc", ValueError),
        (convkit.to_float, [], TypeError),
    ],
)
def test_scalar_converters(convert, value, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            convert(value)
    else:
        result = convert(value)
        assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "convert, text, expected",
    [
        (convkit.str_to_datetime, "2024-03-05 14:30:15.123456", D(2024, 3, 5, 14, 30, 15, 123456)),
        (convkit.str_to_datetime, "2024-03-05 14:30:15+02:00", D(2024, 3, 5, 14, 30, 15)),
        (convkit.str_to_datetime, Text("2024-3-5\n1:2:3"), D(2024, 3, 5, 1, 2, 3)),
        # The digits after the point lead the fraction of a second.
        (convkit.str_to_datetime, "2024-03-05 14:30:15.5", D(2024, 3, 5, 14, 30, 15, 500000)),
        (convkit.str_to_datetime, "2024-03-05 14:30:15.1234567", D(2024, 3, 5, 14, 30, 15, 123456)),
        (convkit.str_to_datetime, "2024-03-05 14:30:15.", D(2024, 3, 5, 14, 30, 15)),
        (convkit.str_to_time, "14:30:15.123", datetime.time(14, 30, 15, 123000)),
        (convkit.str_to_time, "14:30:15.000001", datetime.time(14, 30, 15, 1)),
        (convkit.str_to_date, "2024-03-05T14:30:15", datetime.date(2024, 3, 5)),
        (convkit.str_to_date, "24-03-05", datetime.date(24, 3, 5)),
    ],
)
def test_parsers(convert, text, expected):
    result = convert(text)
    assert result == expected and type(result) is type(expected)
    assert getattr(result, "tzinfo", None) is None


@pytest.mark.parametrize("convert, word", PARSERS)
@pytest.mark.parametrize("text", ["2024-03T05", "", "x" * 300])
def test_scan_failure_message(convert, word, text):
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


def test_unicode_processor_decodes():
    strict = UnicodeResultProcessor("utf-8")
    assert strict.process("caf\u00e9".encode()) == "caf\u00e9"
    assert strict.process(b"a\x00b") == "a\x00b"
    with pytest.raises(UnicodeDecodeError):
        strict.process(b"\xff")
    assert UnicodeResultProcessor(encoding="utf-8", errors="ignore").process(b"a\xffb") == "ab"
    strict.__init__("latin-1")
    assert strict.conditional_process(b"\xe9") == "\u00e9"


# Near misses beside the spellings that the interpreter decodes without the codec registry.
SPELLINGS = [
    "utf-8",
    "UTF8",
    "utf_8",
    " -Utf 8- ",
    "utf.8",
    "utf-8-sig",
    "u8",
    "utf",
    "utf-16",
    "UTF_32",
    "utf-16-le",
    "US-ASCII",
    "us ascii",
    "ascii8",
    "646",
    "latin-1",
    "Latin1",
    "ISO-8859-1",
    "iso8859_1",
    "iso--8859--1_",
    "iso-8859-15",
    "latin-10",
    "l1",
    "iso_8859_1_x",
    "cp1252",
]


def test_unicode_processor_takes_the_interpreters_shortcuts_only(monkeypatch):
    """Every codec lookup that reaches the registry answers with a marker, so a
    spelling or handler that the processor takes straight to a decoder while
    bytes.decode asks the registry shows, as does any difference in errors."""

    def outcome(call):
        try:
            return call()
        except Exception as e:
            return type(e), e.args

    def forget_lookups():
        search = lambda name: None  # noqa: E731
        codecs.register(search)
        codecs.unregister(search)  # empties the interpreter's lookup cache

    marker = codecs.CodecInfo(None, lambda data, errors="strict": (f"registry:{errors}", len(data)))

    class Everything(dict):
        def get(self, name, default=None):
            return marker

    data = b"\xff\xfe caf\xc3\xa9 \x80"
    switched = UnicodeResultProcessor("utf-8")
    monkeypatch.setattr(encodings, "_cache", Everything())
    forget_lookups()
    try:
        for encoding in SPELLINGS:
            for errors in ["strict", "replace", "Strict", "strict ", "xmlcharrefreplace"]:
                expected = outcome(lambda: data.decode(encoding, errors))
                switched.__init__(encoding, errors)
                assert outcome(lambda: switched.process(data)) == expected, (encoding, errors)
                assert outcome(lambda: UnicodeResultProcessor(encoding, errors).process(data)) == expected
    finally:
        monkeypatch.undo()
        forget_lookups()


def test_unicode_processor_value_types():
    processor = UnicodeResultProcessor("utf-8")
    word = "".join(["wo", "rd"])  # built, so its count moves (a literal's doesn't)
    subclassed = Text(word)
    with counts_kept(word, subclassed):
        assert processor.conditional_process(word) is word
        assert processor.conditional_process(subclassed) is subclassed
    for method, value in [(processor.process, "word"), (processor.conditional_process, bytearray(b"x"))]:
        with pytest.raises(TypeError):
            method(value)


def test_converters_keep_the_counts_of_what_they_are_given():
    text = "".join(["2024-03-05 ", "14:30:15.5"])
    number, big, data = float(text[:4]), int(text[:4] * 8), text.encode()
    word = Text(text)
    decimals = DecimalResultProcessor(Decimal, "%.1f")
    with counts_kept(text, number, big, data, word):
        assert convkit.to_str(text) is text and type(convkit.to_str(word)) is str
        assert convkit.to_float(number) is number and convkit.int_to_boolean(big) is True
        assert convkit.str_to_datetime(text) == datetime.datetime(2024, 3, 5, 14, 30, 15, 500000)
        assert convkit.str_to_date(word) == datetime.date(2024, 3, 5)
        assert UnicodeResultProcessor("utf-8").process(data) == text
        assert decimals.process(number) == Decimal("2024.0")
        with pytest.raises(ValueError):
            convkit.str_to_time(text)
        with pytest.raises(ValueError):
            convkit.str_to_date(data)


def test_unicode_processor_unknown_codec_fails_on_use():
    processor = UnicodeResultProcessor("no-such-codec")
    # Debug and -X dev interpreters check the names even for empty input, as bytes.decode does there.
    if hasattr(sys, "gettotalrefcount") or sys.flags.dev_mode:
        with pytest.raises(LookupError):
            processor.process(b"")
    else:
        assert processor.process(b"") == ""
    with pytest.raises(LookupError):
        processor.process(b"x")


@pytest.mark.parametrize(
    "args, error",
    [
        ((), TypeError),
        ((b"utf-8",), TypeError),
        (("utf-\u00f8",), UnicodeEncodeError),
        (("utf-8", "str\u00edct"), UnicodeEncodeError),
    ],
)
def test_unicode_processor_arguments(args, error):
    with pytest.raises(error):
        UnicodeResultProcessor(*args)


def test_decimal_processor():
    # Type and text: a float 1.5 would equal Decimal("1.500") too.
    def typed(value):
        return type(value), str(value)

    assert typed(DecimalResultProcessor(Decimal, "%.3f").process(1.5)) == (Decimal, "1.500")
    assert typed(DecimalResultProcessor(str, "%s").process((1, 2))) == (str, "(1, 2)")
    assert typed(DecimalResultProcessor(int, "%d", extra=1).process(7.9)) == (int, "7")
    # Fixed-point formats of floats and ints skip the format parser: still exactly what % gives.
    for fmt, value in [
        ("%.2F", float("inf")),
        ("%.2f", float("-nan")),
        ("%.1f", -0.0),
        ("%.2f", 0.125),
        ("%.0f", 2.5),
        ("%.20f", 0.1),
        ("%.2f", 10**22),
        ("%.2f", 2**1024),
        ("%.2f", True),
    ]:
        assert outcome_of(lambda: DecimalResultProcessor(str, fmt).process(value)) == outcome_of(lambda: fmt % value)
    with pytest.raises(TypeError):
        DecimalResultProcessor(type=Decimal, format="%s")


@pytest.mark.parametrize(
    "type_, fmt, value", [(Decimal, "%s %s", 1), (Decimal, "none", 1.5), (Decimal, "%d", "x"), (5, "%s", 1)]
)
def test_decimal_processor_failures(type_, fmt, value):
    processor = DecimalResultProcessor(type_, fmt)
    with pytest.raises(TypeError):
        processor.process(value)


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
    [
        (UnicodeResultProcessor, "process"),
        (UnicodeResultProcessor, "conditional_process"),
        (DecimalResultProcessor, "process"),
    ],
)
def test_uninitialised_processor_raises(kind, method):
    for cls in (kind, type("Sub", (kind,), {})):
        with pytest.raises(RuntimeError, match="not initialised"):
            getattr(cls.__new__(cls), method)(b"x")


@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_import_fails_without_datetime():
    code = "import sys; sys.modules['datetime'] = None; import tessel.convkit"
    proc = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
    assert proc.returncode != 0 and "ImportError" in proc.stderr
