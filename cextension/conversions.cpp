// tessel.convkit: per-value converters for what a database hands back.
//
// Everything here sits on the per-value path of result processing, so each
// converter does the None test first and then as little as it can: the date
// and time parsers read the str's own ASCII buffer with a scanner made for
// their three patterns and build the result through the datetime C API.
#include "fixed_format.h"
#include "pyref.h"
#include "restart.h"
#include "shared_fields.h"

#include <datetime.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

using tessel::Ref;

namespace {

// ---------------------------------------------------------------------------
// Scalar converters

PyObject *convkit_int_to_boolean(PyObject *, PyObject *value)
{
    if (value == Py_None) {
        return Py_NewRef(Py_None);
    }
    int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        return nullptr;
    }
    return Py_NewRef(truth ? Py_True : Py_False);
}

PyObject *convkit_to_str(PyObject *, PyObject *value)
{
    if (value == Py_None) {
        return Py_NewRef(Py_None);
    }
    return PyObject_Str(value);
}

PyObject *convkit_to_float(PyObject *, PyObject *value)
{
    if (value == Py_None) {
        return Py_NewRef(Py_None);
    }
    return PyNumber_Float(value);
}

// ---------------------------------------------------------------------------
// ISO date and time parsers
//
// The accepted text is defined by what sscanf does with the patterns below
// ("%4u-%2u-%2u" and friends): numbers skip leading whitespace and may carry
// a sign counted in their width, other pattern characters must match
// exactly, a space matches any run of whitespace, the text ends at its first
// NUL, and the count of converted fields decides.  The scanner reproduces
// exactly that, without interpreting a format per call or copying the text.
// One deliberate difference: the digits after the point are the leading
// digits of the fraction of a second (".5" is half a second), which is how
// databases write them.

// One "%Nu" of a pattern and the pattern character in front of it.
struct Field {
    char literal;   // 0: none; ' ': any run of whitespace; else that character
    uint8_t width;  // most characters the number may take, its sign counted
};

constexpr int kMaxFields = 7;

struct Pattern {
    Field fields[kMaxFields];
    int count;
};

// Not constexpr: reaching it while compiling a pattern stops the build.
inline void pattern_error(const char *) {}

// Turns a pattern of "%Nu" fields, each with at most one character in front
// of it, into its field table; anything else fails to compile.
consteval Pattern compile_pattern(const char *text)
{
    Pattern pattern{};
    char literal = 0;
    while (*text != '\0') {
        if (*text != '%') {
            if (literal != 0) {
                pattern_error("one pattern character per field");
            }
            literal = *text++;
            continue;
        }
        ++text;
        int width = 0;
        while (*text >= '0' && *text <= '9') {
            width = width * 10 + (*text++ - '0');
        }
        if (*text++ != 'u' || width < 1 || width > 9 || pattern.count == kMaxFields) {
            pattern_error("only %Nu fields are supported");
        }
        pattern.fields[pattern.count++] = Field{literal, static_cast<uint8_t>(width)};
        literal = 0;
    }
    if (literal != 0) {
        pattern_error("a pattern ends with a field");
    }
    return pattern;
}

// The C library's isspace() in the C locale, and the only ASCII it counts.
constexpr bool is_space(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

constexpr bool is_digit(unsigned char c)
{
    return static_cast<unsigned char>(c - '0') < 10;
}

PyObject *build_datetime(const int *f)
{
    return PyDateTimeAPI->DateTime_FromDateAndTime(f[0], f[1], f[2], f[3], f[4], f[5], f[6], Py_None,
                                                   PyDateTimeAPI->DateTimeType);
}

PyObject *build_time(const int *f)
{
    return PyDateTimeAPI->Time_FromTime(f[0], f[1], f[2], f[3], Py_None, PyDateTimeAPI->TimeType);
}

PyObject *build_date(const int *f)
{
    return PyDateTimeAPI->Date_FromDate(f[0], f[1], f[2], PyDateTimeAPI->DateType);
}

// One member of the parser family.
struct IsoParser {
    Pattern pattern;
    int min_fields;  // accepted when at least this many fields were converted
    int fraction;    // index of the fraction-of-a-second field, or -1
    PyObject *(*build)(const int *fields);
    const char *scan_failure;  // ValueError formats; "%.200s" takes the repr
    const char *not_a_string;
};

constexpr IsoParser kDatetimeParser = {
    .pattern = compile_pattern("%4u-%2u-%2u %2u:%2u:%2u.%6u"),
    .min_fields = 6,
    .fraction = 6,
    .build = build_datetime,
    .scan_failure = "Couldn't parse datetime string: %.200s",
    .not_a_string = "Couldn't parse datetime string '%.200s' - value is not a string.",
};

constexpr IsoParser kTimeParser = {
    .pattern = compile_pattern("%2u:%2u:%2u.%6u"),
    .min_fields = 3,
    .fraction = 3,
    .build = build_time,
    .scan_failure = "Couldn't parse time string: %.200s",
    .not_a_string = "Couldn't parse time string '%.200s' - value is not a string.",
};

constexpr IsoParser kDateParser = {
    .pattern = compile_pattern("%4u-%2u-%2u"),
    .min_fields = 3,
    .fraction = -1,
    .build = build_date,
    .scan_failure = "Couldn't parse date string: %.200s",
    .not_a_string = "Couldn't parse date string '%.200s' - value is not a string.",
};

constexpr int kFractionDigits = 6;
constexpr uint32_t kFractionScale[kFractionDigits + 1] = {1000000, 100000, 10000, 1000, 100, 10, 1};

// Where a scan stands: the next character to read and the fields so far.
struct ScanState {
    const unsigned char *p;
    int converted;
    int result;  // set when the scan stops early: what sscanf would return
};

// Reads field `i` of the parser's pattern; false when the scan stops there.
// Instantiated per field, so widths and pattern characters are constants.
template <const IsoParser &parser, int i>
TESSEL_ALWAYS_INLINE bool scan_field(ScanState &state, int *out)
{
    constexpr Field field = parser.pattern.fields[i];
    static_assert(i < parser.pattern.count && parser.pattern.count <= kMaxFields);
    static_assert(1 <= field.width && field.width <= 9);
    assert(state.converted == i);  // the fields before it, each converted
    const unsigned char *p = state.p;
    // Running out of text before the first field is sscanf's -1.
    const int ended = state.converted == 0 ? -1 : state.converted;
    if constexpr (field.literal == ' ') {
        while (is_space(*p)) {
            ++p;
        }
    }
    else if constexpr (field.literal != 0) {
        if (*p != static_cast<unsigned char>(field.literal)) {
            state.result = *p == 0 ? ended : state.converted;
            return false;
        }
        ++p;
    }
    while (is_space(*p)) {
        ++p;
    }
    if (*p == 0) {
        state.result = ended;
        return false;
    }
    int width = field.width;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        --width;
        ++p;
    }
    const unsigned char *digits_start = p;
    uint32_t value = 0;
    while (width > 0 && is_digit(*p)) {
        value = value * 10 + (*p - '0');
        --width;
        ++p;
    }
    const int digits = static_cast<int>(p - digits_start);
    if (digits == 0) {
        state.result = state.converted;  // a sign alone is no number either
        return false;
    }
    if constexpr (i == parser.fraction) {
        static_assert(field.width <= kFractionDigits);
        value *= kFractionScale[digits];
    }
    // Unsigned as scanned, then read as signed: "-5" arrives as -5.
    out[i] = static_cast<int>(negative ? 0u - value : value);
    ++state.converted;
    state.p = p;
    return true;
}

// Scans `text`, which ends at its first NUL (the terminator CPython keeps
// after every str and bytes buffer, or an earlier one), into `out` in field
// order and returns what sscanf would: the number of fields converted, or -1
// when the text ran out before the first one.
template <const IsoParser &parser>
inline int scan(const char *text, int *out)
{
    static_assert(1 <= parser.min_fields && parser.min_fields <= parser.pattern.count);
    static_assert(parser.fraction == -1 || (0 <= parser.fraction && parser.fraction < parser.pattern.count));
    ScanState state{reinterpret_cast<const unsigned char *>(text), 0, 0};
    bool complete = [&]<int... i>(std::integer_sequence<int, i...>) {
        return (scan_field<parser, i>(state, out) && ...);
    }(std::make_integer_sequence<int, parser.pattern.count>{});
    const int result = complete ? state.converted : state.result;
    assert(complete ? result == parser.pattern.count : -1 <= result && result <= state.converted);
    return result;
}

// The layout databases write, read at fixed places: each field's pattern
// character exactly once and exactly `width` digits, up to the fraction; then
// either a point and 1 to 6 digits, or no point at all.  On such text sscanf
// converts exactly these fields (no whitespace or sign to skip, every number
// ending where the next character is expected), so the scan can be skipped.
// Returns the fields converted, or 0 for any other text, which the scanner
// then reads.
template <const IsoParser &parser>
TESSEL_ALWAYS_INLINE int scan_canonical(const unsigned char *p, int *out)
{
    constexpr int whole_fields = parser.fraction < 0 ? parser.pattern.count : parser.fraction;
    static_assert(whole_fields >= parser.min_fields);
    bool canonical = true;
    [&]<int... i>(std::integer_sequence<int, i...>) {
        ((canonical = canonical &&
                      [&] {
                          constexpr Field field = parser.pattern.fields[i];
                          if constexpr (field.literal != 0) {
                              if (*p++ != static_cast<unsigned char>(field.literal)) {
                                  return false;
                              }
                          }
                          uint32_t value = 0;
                          for (int d = 0; d < field.width; ++d, ++p) {
                              if (!is_digit(*p)) {
                                  return false;
                              }
                              value = value * 10 + (*p - '0');
                          }
                          out[i] = static_cast<int>(value);
                          return true;
                      }()),
         ...);
    }(std::make_integer_sequence<int, whole_fields>{});
    if (!canonical) {
        return 0;
    }
    if constexpr (parser.fraction >= 0) {
        constexpr Field field = parser.pattern.fields[parser.fraction];
        static_assert(field.width == kFractionDigits && field.literal != 0 && field.literal != ' ');
        if (*p != static_cast<unsigned char>(field.literal)) {
            // The scan stops at that character, with the whole fields converted.
            return whole_fields;
        }
        ++p;
        const unsigned char *digits_start = p;
        uint32_t value = 0;
        while (p - digits_start < kFractionDigits && is_digit(*p)) {
            value = value * 10 + (*p - '0');
            ++p;
        }
        const int digits = static_cast<int>(p - digits_start);
        if (digits == 0) {
            return 0;  // whitespace or a sign may follow the point: the scanner decides
        }
        out[parser.fraction] = static_cast<int>(value * kFractionScale[digits]);
        return whole_fields + 1;
    }
    return whole_fields;
}

// Raises ValueError(format % ascii(repr(value))); only error paths get here.
TESSEL_NOINLINE TESSEL_COLD PyObject *raise_with_repr(const char *format, PyObject *value)
{
    Ref repr(PyObject_Repr(value));
    if (!repr) {
        return nullptr;
    }
    // A repr holding non-ASCII text raises this encoding's error instead.
    Ref ascii(PyUnicode_AsASCIIString(repr.get()));
    if (!ascii) {
        return nullptr;
    }
    PyErr_Format(PyExc_ValueError, format, PyBytes_AS_STRING(ascii.get()));
    return nullptr;
}

template <const IsoParser &parser>
PyObject *convkit_parse_iso(PyObject *, PyObject *value)
{
    if (value == Py_None) {
        return Py_NewRef(Py_None);
    }
    int fields[kMaxFields] = {};  // the fraction stays 0 when the text has none
    int converted;
    if (PyUnicode_Check(value) && PyUnicode_IS_ASCII(value)) {
        const char *text = static_cast<const char *>(PyUnicode_DATA(value));
        converted = scan_canonical<parser>(reinterpret_cast<const unsigned char *>(text), fields);
        if (converted == 0) {
            converted = scan<parser>(text, fields);
        }
        else {
            // The same fields as the scanner's, read the quick way.
            assert([&] {
                int scanned[kMaxFields] = {};
                if (scan<parser>(text, scanned) != converted) {
                    return false;
                }
                for (int i = 0; i < converted; ++i) {
                    if (scanned[i] != fields[i]) {
                        return false;
                    }
                }
                return true;
            }());
        }
    }
    else {
        // Not a str, or a str not marked ASCII: let the codec decide, as the
        // mark is only a shortcut.
        Ref ascii(PyUnicode_AsASCIIString(value));
        if (!ascii) {
            PyErr_Clear();
            return raise_with_repr(parser.not_a_string, value);
        }
        converted = scan<parser>(PyBytes_AS_STRING(ascii.get()), fields);
    }
    if (converted < parser.min_fields) {
        return raise_with_repr(parser.scan_failure, value);
    }
    return parser.build(fields);  // range checks are the constructor's
}

// ---------------------------------------------------------------------------
// UnicodeResultProcessor

// How process decodes, settled from the two names whenever they change.  For
// some codec spellings PyUnicode_Decode skips the codec registry and calls
// that codec's own decoder (compat.h); a processor calls the same decoder
// with the same handler name directly.  The error handlers that the
// interpreter registers at start-up are taken the same way, with their own
// static names, so such a route holds no reference: process reads it as one
// word without the object's lock.  Every other pair keeps going through
// PyUnicode_Decode by name.
enum class Decoder : std::uint32_t {
    kUnset,   // __init__ has not completed
    kByName,  // PyUnicode_Decode with the stored names
    kUtf8,
    kUtf16,
    kUtf32,
    kAscii,
    kLatin1,
};

// The interpreter's own handler names; a route keeps an index into them.
// Strict is passed as null, the decoders' default: the same handler, but the
// UTF-8 decoder then sizes its result up front, as it does for b.decode().
constexpr const char *kHandlers[] = {
    nullptr,         "ignore",           "replace",           "surrogateescape",
    "surrogatepass", "backslashreplace", "xmlcharrefreplace", "namereplace",
};

// A route is one 32-bit word, the decoder in its low bits and the handler's
// index above them, so it is stored and loaded whole.
using Route = std::uint32_t;
constexpr unsigned kDecoderBits = 4;
static_assert(static_cast<Route>(Decoder::kLatin1) < 1u << kDecoderBits);
static_assert(std::size(kHandlers) <= Route{1} << (32 - kDecoderBits));

constexpr Route make_route(Decoder decoder, std::size_t handler) noexcept
{
    assert(handler < std::size(kHandlers));
    return static_cast<Route>(decoder) | static_cast<Route>(handler) << kDecoderBits;
}

constexpr Decoder route_decoder(Route route) noexcept
{
    return static_cast<Decoder>(route & ((1u << kDecoderBits) - 1));
}

constexpr std::size_t route_handler(Route route) noexcept
{
    return route >> kDecoderBits;
}

constexpr Route kUnsetRoute = make_route(Decoder::kUnset, 0);
constexpr Route kByNameRoute = make_route(Decoder::kByName, 0);

// False for the two routes that carry no decoder of their own, whose handler
// index is always 0; the compiler makes one comparison of the two.
constexpr bool has_dedicated_decoder(Route route) noexcept
{
    return route != kUnsetRoute && route != kByNameRoute;
}

constexpr Decoder decoder_for(tessel::compat::DecodeShortcut codec) noexcept
{
    using tessel::compat::DecodeShortcut;
    switch (codec) {
    case DecodeShortcut::kUtf8:
        return Decoder::kUtf8;
    case DecodeShortcut::kUtf16:
        return Decoder::kUtf16;
    case DecodeShortcut::kUtf32:
        return Decoder::kUtf32;
    case DecodeShortcut::kAscii:
        return Decoder::kAscii;
    case DecodeShortcut::kLatin1:
        return Decoder::kLatin1;
    case DecodeShortcut::kNone:
        break;
    }
    return Decoder::kByName;
}

// The route for a pair of names (bytes, or null while unset).
Route route_for(PyObject *encoding, PyObject *errors) noexcept
{
    if (encoding == nullptr || errors == nullptr) {
        return kUnsetRoute;
    }
    const Decoder decoder = decoder_for(tessel::compat::decode_shortcut(PyBytes_AS_STRING(encoding)));
    if (decoder == Decoder::kByName) {
        return kByNameRoute;
    }
    // Handler names are compared exactly, as the decoders and the registry do.
    for (std::size_t i = 0; i < std::size(kHandlers); ++i) {
        if (std::strcmp(PyBytes_AS_STRING(errors), kHandlers[i] != nullptr ? kHandlers[i] : "strict") == 0) {
            return make_route(decoder, i);
        }
    }
    return kByNameRoute;
}

struct UnicodeResultProcessorObject {
    PyObject_HEAD
    PyObject *encoding;  // bytes, ASCII name of the codec; null until __init__
    PyObject *errors;    // bytes, ASCII name of the error handler; null until __init__
    Route route;         // route_for(encoding, errors); written under the lock, read without
};

inline UnicodeResultProcessorObject *as_unicode_processor(PyObject *self) noexcept
{
    return reinterpret_cast<UnicodeResultProcessorObject *>(self);
}

// Called under the object's critical section: the names are bytes or unset
// and the route is the one they give.
[[maybe_unused]] bool route_matches_names(const UnicodeResultProcessorObject *processor) noexcept
{
    TESSEL_ASSERT_OBJECT_LOCKED(processor);
    return (processor->encoding == nullptr || PyBytes_CheckExact(processor->encoding)) &&
           (processor->errors == nullptr || PyBytes_CheckExact(processor->errors)) &&
           processor->route == route_for(processor->encoding, processor->errors);
}

TESSEL_NOINLINE TESSEL_COLD PyObject *raise_uninitialised(PyObject *self)
{
    PyErr_Format(PyExc_RuntimeError, "%.200s object is not initialised: __init__ was never called",
                 Py_TYPE(self)->tp_name);
    return nullptr;
}

// The ASCII bytes of a codec or error handler name.  The codec machinery
// reads the name as a C string, so one holding a NUL would quietly name
// something else; refuse it as Python's own lookups by name do.
PyObject *ascii_name(PyObject *name) noexcept
{
    Ref bytes(PyUnicode_AsASCIIString(name));
    if (!bytes) {
        return nullptr;
    }
    if (std::strlen(PyBytes_AS_STRING(bytes.get())) != static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return nullptr;
    }
    return bytes.release();
}

// May run again on a processor in use: the pattern for such objects at the
// top of "Objects whose __init__ may run again" in shared_fields.h.
int unicodeprocessor_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kKeywords[] = {"encoding", "errors", nullptr};
    PyObject *encoding;          // borrowed from args/kwargs
    PyObject *errors = nullptr;  // borrowed from args/kwargs
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|U:__init__", tessel::compat::keyword_list(kKeywords), &encoding,
                                     &errors)) {
        return -1;
    }
    UnicodeResultProcessorObject *processor = as_unicode_processor(self);
    Ref encoding_bytes(ascii_name(encoding));
    if (!encoding_bytes) {
        return -1;
    }
    Ref errors_bytes(errors != nullptr ? ascii_name(errors) : PyBytes_FromString("strict"));
    const bool failed = !errors_bytes;  // the encoding is replaced all the same
    // Swapped under the object's lock with the route they give, so a
    // concurrent process takes the old names or the new ones; the old ones
    // are released after it, as their release may run Python code.
    Ref old_encoding;
    Ref old_errors;
    Py_BEGIN_CRITICAL_SECTION(self);
    assert(route_matches_names(processor));
    old_encoding.reset(tessel::shared::swap_field(self, &processor->encoding, encoding_bytes.release()));
    if (!failed) {
        old_errors.reset(tessel::shared::swap_field(self, &processor->errors, errors_bytes.release()));
    }
    tessel::shared::store_relaxed(&processor->route, route_for(processor->encoding, processor->errors));
    assert(route_matches_names(processor));
    Py_END_CRITICAL_SECTION();
    return failed ? -1 : 0;
}

// PyUnicode_Decode by the stored names, held for the call: a codec or error
// handler written in Python, or another thread, could run __init__ again.
TESSEL_NOINLINE PyObject *decode_by_name(PyObject *self, PyObject *value)
{
    UnicodeResultProcessorObject *processor = as_unicode_processor(self);
    Ref encoding;
    Ref errors;
    Py_BEGIN_CRITICAL_SECTION(self);
    assert(route_matches_names(processor));
    encoding = Ref::newref(processor->encoding);
    errors = Ref::newref(processor->errors);
    Py_END_CRITICAL_SECTION();
    if (!encoding || !errors) {
        return raise_uninitialised(self);
    }
    char *buffer;
    Py_ssize_t length;
    if (PyBytes_AsStringAndSize(value, &buffer, &length) < 0) {
        return nullptr;
    }
    return PyUnicode_Decode(buffer, length, PyBytes_AS_STRING(encoding.get()), PyBytes_AS_STRING(errors.get()));
}

inline PyObject *decode(PyObject *self, PyObject *value)
{
    const Route route = tessel::shared::load_relaxed(&as_unicode_processor(self)->route);
    if (!has_dedicated_decoder(route) || !PyBytes_Check(value)) [[unlikely]] {
        return decode_by_name(self, value);  // also raises for an unset processor or a non-bytes value
    }
    const char *buffer = PyBytes_AS_STRING(value);
    const Py_ssize_t length = PyBytes_GET_SIZE(value);
    if (length == 0) {
        return PyUnicode_New(0, 0);  // PyUnicode_Decode's answer before it looks at the codec
    }
    assert(route_handler(route) < std::size(kHandlers));
    const char *errors = kHandlers[route_handler(route)];
    // The calls PyUnicode_Decode makes for these codecs.
    switch (route_decoder(route)) {
    case Decoder::kUtf8:
        return PyUnicode_DecodeUTF8Stateful(buffer, length, errors, nullptr);
    case Decoder::kUtf16:
        return PyUnicode_DecodeUTF16(buffer, length, errors, nullptr);
    case Decoder::kUtf32:
        return PyUnicode_DecodeUTF32(buffer, length, errors, nullptr);
    case Decoder::kAscii:
        return PyUnicode_DecodeASCII(buffer, length, errors);
    default:
        assert(route_decoder(route) == Decoder::kLatin1);
        return PyUnicode_DecodeLatin1(buffer, length, errors);
    }
}

PyObject *unicodeprocessor_process(PyObject *self, PyObject *value)
{
    if (value == Py_None) {
        return Py_NewRef(Py_None);
    }
    return decode(self, value);
}

PyObject *unicodeprocessor_conditional_process(PyObject *self, PyObject *value)
{
    if (value == Py_None) {
        return Py_NewRef(Py_None);
    }
    if (PyUnicode_Check(value)) {
        return Py_NewRef(value);  // str subclasses come back as they are
    }
    return decode(self, value);
}

void unicodeprocessor_dealloc(PyObject *self)
{
    UnicodeResultProcessorObject *processor = as_unicode_processor(self);
    Py_CLEAR(processor->encoding);
    Py_CLEAR(processor->errors);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef unicodeprocessor_methods[] = {
    {"process", unicodeprocessor_process, METH_O, "The value processor itself."},
    {"conditional_process", unicodeprocessor_conditional_process, METH_O,
     "Conditional version of the value processor."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject UnicodeResultProcessorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tessel.convkit.UnicodeResultProcessor",
    .tp_basicsize = sizeof(UnicodeResultProcessorObject),
    .tp_itemsize = 0,
    .tp_dealloc = unicodeprocessor_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "UnicodeResultProcessor objects",
    .tp_methods = unicodeprocessor_methods,
    .tp_init = unicodeprocessor_init,
    .tp_new = PyType_GenericNew,
};

// ---------------------------------------------------------------------------
// DecimalResultProcessor

struct DecimalResultProcessorObject {
    PyObject_HEAD
    PyObject *type;    // any callable, given the formatted text; null until __init__
    PyObject *format;  // str, a %-format taking one value; null until __init__
    int precision;     // N when format is exactly "%.Nf" (N one or two digits), else -1
    bool star;         // format has a '*', a width or precision taken from the values
    // All four are set together by __init__, and read together, under the lock.
};

inline DecimalResultProcessorObject *as_decimal_processor(PyObject *self) noexcept
{
    return reinterpret_cast<DecimalResultProcessorObject *>(self);
}

// N for a format that is exactly "%.Nf", or -1.  Such a format turns a float
// into the text of PyOS_double_to_string(x, 'f', N, 0): no width, flag or
// other text can change it.
int plain_precision(PyObject *format) noexcept
{
    const Py_ssize_t length = PyUnicode_GET_LENGTH(format);
    if (length < 4 || length > 5) {
        return -1;
    }
    const int kind = PyUnicode_KIND(format);
    const void *data = PyUnicode_DATA(format);
    if (PyUnicode_READ(kind, data, 0) != '%' || PyUnicode_READ(kind, data, 1) != '.' ||
        PyUnicode_READ(kind, data, length - 1) != 'f') {
        return -1;
    }
    int precision = 0;
    for (Py_ssize_t i = 2; i < length - 1; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < '0' || c > '9') {
            return -1;
        }
        precision = precision * 10 + static_cast<int>(c - '0');
    }
    assert(0 <= precision && precision <= 99);
    return precision;
}

// Called under the object's critical section: type and format both set or
// both unset, and the precision and the star are what the format gives (-1 or
// 0 to 99; a fresh object's zeroes before __init__).
[[maybe_unused]] bool settings_agree(const DecimalResultProcessorObject *processor) noexcept
{
    TESSEL_ASSERT_OBJECT_LOCKED(processor);
    if (processor->format == nullptr) {
        return processor->type == nullptr && processor->precision == 0 && !processor->star;
    }
    if (processor->type == nullptr || !PyUnicode_Check(processor->format)) {
        return false;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(processor->format);
    return processor->precision == plain_precision(processor->format) &&
           processor->star == (PyUnicode_FindChar(processor->format, '*', 0, length, 1) >= 0);
}

// May run again on a processor in use: the pattern for such objects at the
// top of "Objects whose __init__ may run again" in shared_fields.h.
int decimalprocessor_init(PyObject *self, PyObject *args, PyObject *)
{
    PyObject *type;    // borrowed from args
    PyObject *format;  // borrowed from args
    // Keywords are not looked at: both values come by position.
    if (!PyArg_ParseTuple(args, "OU", &type, &format)) {
        return -1;
    }
    DecimalResultProcessorObject *processor = as_decimal_processor(self);
    const int precision = plain_precision(format);
    const Py_ssize_t star = PyUnicode_FindChar(format, '*', 0, PyUnicode_GET_LENGTH(format), 1);
    if (star == -2) {
        return -1;
    }
    Ref new_type = Ref::newref(type);
    Ref new_format = Ref::newref(format);
    // Swapped as a pair under the object's lock with what the format gives;
    // the old values are released after it, as their release may run Python
    // code.
    Ref old_type;
    Ref old_format;
    Py_BEGIN_CRITICAL_SECTION(self);
    assert(settings_agree(processor));
    old_type.reset(tessel::shared::swap_field(self, &processor->type, new_type.release()));
    old_format.reset(tessel::shared::swap_field(self, &processor->format, new_format.release()));
    processor->precision = precision;
    processor->star = star >= 0;
    assert(settings_agree(processor));
    Py_END_CRITICAL_SECTION();
    return 0;
}

// fmt % value for a format "%.Nf" and an exact float or int, without parsing
// the format: the float conversion % does, then the same text as the
// interpreter's float formatting with the same arguments (fixed_format.h).
TESSEL_ALWAYS_INLINE PyObject *format_fixed(PyObject *value, int precision)
{
    // PyFloat_AsDouble would reach an exact int through int.__float__, which is this.
    const double x = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyLong_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) {
        return nullptr;
    }
    return tessel::fixed::format_str(x, precision);
}

// fmt % (value,): always one value, so a tuple or a mapping is formatted as itself.
PyObject *format_packed(PyObject *format, PyObject *value)
{
    Ref args(PyTuple_Pack(1, value));
    if (!args) {
        return nullptr;
    }
    return PyUnicode_Format(format, args.get());
}

// The same after a shortcut failed, with its error pending, which this
// replaces.  The format is the one the shortcut used: the held one, or, for
// the fixed-point shortcut, which holds none, "%.Nf" of its precision, which
// formats as the processor's own format does.
TESSEL_NOINLINE TESSEL_COLD PyObject *format_packed_again(PyObject *format, int precision, PyObject *value)
{
    assert(PyErr_Occurred() && (format != nullptr) == (precision < 0));
    PyErr_Clear();
    Ref fixed;
    if (format == nullptr) {
        fixed.reset(PyUnicode_FromFormat("%%.%df", precision));
        if (!fixed) {
            return nullptr;
        }
        format = fixed.get();
    }
    return format_packed(format, value);
}

PyObject *decimalprocessor_process(PyObject *self, PyObject *value)
{
    if (value == Py_None) {
        return Py_NewRef(Py_None);
    }
    DecimalResultProcessorObject *processor = as_decimal_processor(self);
    // An exact float or int is neither a tuple nor a mapping, so % reads it
    // as the one value without packing it in a tuple first; except where a
    // '*' asks for a second value, which newer interpreters report
    // differently for a lone value.
    const bool number = PyFloat_CheckExact(value) || PyLong_CheckExact(value);
    // Held for the call: formatting and the type may run Python code that
    // re-initialises this processor, and so may another thread.  The format
    // itself is only needed when its precision alone can't do.
    Ref type;
    Ref format;
    int precision;
    bool alone;
    bool initialised;
    Py_BEGIN_CRITICAL_SECTION(self);
    assert(settings_agree(processor));
    initialised = processor->type != nullptr && processor->format != nullptr;
    type = Ref::newref(processor->type);
    precision = number ? processor->precision : -1;
    alone = number && !processor->star;
    if (precision < 0) {
        format = Ref::newref(processor->format);
    }
    Py_END_CRITICAL_SECTION();
    if (!initialised) {
        return raise_uninitialised(self);
    }
    Ref text;
    if (precision >= 0) {
        text.reset(format_fixed(value, precision));
    }
    else if (alone) {
        text.reset(PyUnicode_Format(format.get(), value));
    }
    else {
        text.reset(format_packed(format.get(), value));
    }
    if (!text) {
        if (precision < 0 && !alone) {
            return nullptr;  // already the packed form's own error
        }
        // A shortcut failed: the error is the one fmt % (value,) raises, which
        // interpreters word differently for a lone value ("format argument 1"
        // on 3.15), so that form runs again to raise it.
        text.reset(format_packed_again(format.get(), precision, value));
        if (!text) {
            return nullptr;
        }
    }
    return tessel::call_one_arg(type.get(), text.get());
}

void decimalprocessor_dealloc(PyObject *self)
{
    DecimalResultProcessorObject *processor = as_decimal_processor(self);
    Py_CLEAR(processor->type);
    Py_CLEAR(processor->format);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef decimalprocessor_methods[] = {
    {"process", decimalprocessor_process, METH_O, "The value processor itself."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject DecimalResultProcessorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tessel.DecimalResultProcessor",
    .tp_basicsize = sizeof(DecimalResultProcessorObject),
    .tp_itemsize = 0,
    .tp_dealloc = decimalprocessor_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "DecimalResultProcessor objects",
    .tp_methods = decimalprocessor_methods,
    .tp_init = decimalprocessor_init,
    .tp_new = PyType_GenericNew,
};

// ---------------------------------------------------------------------------
// Module

PyMethodDef convkit_functions[] = {
    {"int_to_boolean", convkit_int_to_boolean, METH_O, "Convert an integer to a boolean."},
    {"to_str", convkit_to_str, METH_O, "Convert any value to its string representation."},
    {"to_float", convkit_to_float, METH_O, "Convert any value to its floating point representation."},
    {"str_to_datetime", convkit_parse_iso<kDatetimeParser>, METH_O,
     "Convert an ISO string to a datetime.datetime object."},
    {"str_to_time", convkit_parse_iso<kTimeParser>, METH_O, "Convert an ISO string to a datetime.time object."},
    {"str_to_date", convkit_parse_iso<kDateParser>, METH_O, "Convert an ISO string to a datetime.date object."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef convkit_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "convkit",
    .m_doc = "Module containing C versions of data processing functions.",
    .m_size = -1,
    .m_methods = convkit_functions,
};

}  // namespace

namespace {

tessel::StaticTypes<2> convkit_types{{&UnicodeResultProcessorType, &DecimalResultProcessorType}, {}, false, false};

// The end of the interpreter the types were readied for (restart.h).
void forget_interpreter()
{
    tessel::restore_types(convkit_types);
}

}  // namespace

PyMODINIT_FUNC PyInit_convkit(void)
{
    if (tessel::ready_types(convkit_types, forget_interpreter) < 0) {
        return nullptr;
    }
    Ref module(PyModule_Create2(&convkit_module, PYTHON_API_VERSION));
    if (!module || tessel::compat::declare_gil_use(module.get()) < 0) {
        return nullptr;
    }
    // The parsers build through this table; the module never exists without it.
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) {
        return nullptr;
    }
    if (tessel::add_type(module.get(), "UnicodeResultProcessor", &UnicodeResultProcessorType) < 0 ||
        tessel::add_type(module.get(), "DecimalResultProcessor", &DecimalResultProcessorType) < 0) {
        return nullptr;
    }
    return module.release();
}
