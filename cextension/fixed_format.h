// The text of '%.Nf' % x, as the interpreter writes it, without its slow path.
//
// The interpreter formats a float at a fixed precision through its dtoa in
// the fixed mode, which is correctly rounded (half to even on the exact
// binary value) but slow: it works in big integers whatever the value.
// Column values are mostly short numbers at a few places, and for those the
// exact product x * 10**N fits in 128 bits, so rounding it is one
// multiplication and one shift.  Everything else (infinities, NaN, values
// whose scaled integer doesn't fit 64 bits, precisions past 19) goes to the
// interpreter's own formatting, so the text is always the interpreter's.
//
// Plain C++ (no 128-bit integer type, no floating-point to_chars), so it is
// the same code on every compiler and library we build with, old macOS
// deployment targets included.
#ifndef TESSEL_FIXED_FORMAT_H
#define TESSEL_FIXED_FORMAT_H

#include "compat.h"

#include <cstdint>
#include <cstring>

namespace tessel::fixed {

// The fast path's largest precision: 10**19 is the largest power of ten in 64 bits.
inline constexpr int kMaxFastPrecision = 19;
inline constexpr std::uint64_t kPowersOfTen[kMaxFastPrecision + 1] = {
    1ULL,
    10ULL,
    100ULL,
    1000ULL,
    10000ULL,
    100000ULL,
    1000000ULL,
    10000000ULL,
    100000000ULL,
    1000000000ULL,
    10000000000ULL,
    100000000000ULL,
    1000000000000ULL,
    10000000000000ULL,
    100000000000000ULL,
    1000000000000000ULL,
    10000000000000000ULL,
    100000000000000000ULL,
    1000000000000000000ULL,
    10000000000000000000ULL,
};

// An unsigned 128-bit number, as much of one as the rounding needs.
struct U128 {
    std::uint64_t high;
    std::uint64_t low;
};

inline U128 multiply(std::uint64_t a, std::uint64_t b) noexcept
{
    const std::uint64_t a_low = a & 0xffffffffULL;
    const std::uint64_t a_high = a >> 32;
    const std::uint64_t b_low = b & 0xffffffffULL;
    const std::uint64_t b_high = b >> 32;
    const std::uint64_t low_low = a_low * b_low;
    const std::uint64_t high_low = a_high * b_low;
    const std::uint64_t low_high = a_low * b_high;
    const std::uint64_t high_high = a_high * b_high;
    // The middle column's carries: each term is below 2**64 - 2**33.
    const std::uint64_t middle = (low_low >> 32) + (high_low & 0xffffffffULL) + (low_high & 0xffffffffULL);
    U128 product;
    product.low = (middle << 32) | (low_low & 0xffffffffULL);
    product.high = high_high + (high_low >> 32) + (low_high >> 32) + (middle >> 32);
    return product;
}

// v >> shift, for 0 < shift < 128.
inline U128 shift_right(U128 v, int shift) noexcept
{
    assert(0 < shift && shift < 128);
    if (shift >= 64) {
        return {0, v.high >> (shift - 64)};
    }
    return {v.high >> shift, (v.low >> shift) | (v.high << (64 - shift))};
}

// Bit `index` of v, for 0 <= index < 128.
inline bool bit(U128 v, int index) noexcept
{
    assert(0 <= index && index < 128);
    return index >= 64 ? ((v.high >> (index - 64)) & 1) != 0 : ((v.low >> index) & 1) != 0;
}

// Whether any bit of v below `count` is set, for 0 <= count < 128.
inline bool any_below(U128 v, int count) noexcept
{
    assert(0 <= count && count < 128);
    if (count >= 64) {
        return v.low != 0 || (count > 64 && (v.high << (128 - count)) != 0);
    }
    return count > 0 && (v.low << (64 - count)) != 0;
}

// x at `precision` places, as round half to even of its exact value gives it:
// the integer `scaled`, whose last `precision` digits are the fraction, or,
// for an integral x, the integer part alone with as many zeros to follow.
struct Scaled {
    std::uint64_t value;
    bool integral;
    bool negative;  // the sign of x, so -0.0 and values rounding to zero keep their '-'
};

// Fills `out` and returns true where the fast path reaches; false for
// infinities, NaN, values whose scaled integer doesn't fit 64 bits and
// precisions past 19 (the caller then asks the interpreter).
inline bool scale(double x, int precision, Scaled *out) noexcept
{
    if (precision < 0 || precision > kMaxFastPrecision) {
        return false;
    }
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int biased_exponent = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t mantissa = bits & ((1ULL << 52) - 1);
    if (biased_exponent == 0x7ff) {
        return false;  // infinities and NaN
    }
    int exponent;  // x == mantissa * 2**exponent exactly
    if (biased_exponent == 0) {
        exponent = -1074;  // subnormal, or zero
    }
    else {
        mantissa |= 1ULL << 52;
        exponent = biased_exponent - 1075;
    }
    out->negative = (bits >> 63) != 0;
    out->integral = exponent >= 0;
    if (exponent >= 0) {
        if (exponent > 11) {
            return false;  // 2**64 or more
        }
        out->value = mantissa << exponent;
        return true;
    }
    const int shift = -exponent;
    const U128 product = multiply(mantissa, kPowersOfTen[precision]);  // below 2**117
    if (shift >= 118) {
        out->value = 0;  // below half a unit of the last place
        return true;
    }
    const U128 quotient = shift_right(product, shift);
    if (quotient.high != 0) {
        return false;
    }
    out->value = quotient.low;
    // Round half to even: up past the half, or at the half when odd.
    if (bit(product, shift - 1) && (any_below(product, shift - 1) || (out->value & 1) != 0)) {
        if (out->value == UINT64_MAX) {
            return false;
        }
        ++out->value;
    }
    return true;
}

// Decimal digits of v (1 for 0).
inline int digit_count(std::uint64_t v) noexcept
{
    int count = 1;
    while (count <= kMaxFastPrecision && v >= kPowersOfTen[count]) {
        ++count;
    }
    return count;
}

// The length of the text of a scaled value at `precision` places: at least
// one digit before the point (0.05 is "0.05", not ".05").
inline int text_length(const Scaled &scaled, int precision) noexcept
{
    const int digits = digit_count(scaled.value);
    const int integer_digits = scaled.integral ? digits : (digits > precision ? digits - precision : 1);
    return (scaled.negative ? 1 : 0) + integer_digits + (precision > 0 ? 1 + precision : 0);
}

// "00" to "99": digits are written two at a time, which halves the chain
// of dependent divisions.
inline constexpr char kDigitPairs[] =
    "0001020304050607080910111213141516171819202122232425262728293031323334353637383940414243444546474849"
    "5051525354555657585960616263646566676869707172737475767778798081828384858687888990919293949596979899";

// Writes the decimal digits of v backwards, ending just before `end`, and
// returns where they start.
inline char *write_digits(std::uint64_t v, char *end) noexcept
{
    while (v >= 100) {
        const std::uint64_t rest = v / 100;
        const std::size_t pair = 2 * static_cast<std::size_t>(v - rest * 100);
        end -= 2;
        end[0] = kDigitPairs[pair];
        end[1] = kDigitPairs[pair + 1];
        v = rest;
    }
    if (v >= 10) {
        end -= 2;
        end[0] = kDigitPairs[2 * v];
        end[1] = kDigitPairs[2 * v + 1];
    }
    else {
        *--end = static_cast<char>('0' + v);
    }
    return end;
}

// Writes the text, text_length() characters, backwards from out + length:
// the fraction, the point, then the integer part and the sign.
inline void write_text(const Scaled &scaled, int precision, char *out, int length) noexcept
{
    char *p = out + length;
    std::uint64_t integer_part = scaled.value;
    if (precision > 0) {
        char *const point = p - precision - 1;
        if (scaled.integral) {
            std::memset(point + 1, '0', static_cast<std::size_t>(precision));
        }
        else {
            integer_part = scaled.value / kPowersOfTen[precision];
            char *const first = write_digits(scaled.value - integer_part * kPowersOfTen[precision], p);
            assert(first >= point + 1);  // the fraction is below 10**precision
            std::memset(point + 1, '0', static_cast<std::size_t>(first - (point + 1)));  // its leading zeros
        }
        *point = '.';
        p = point;
    }
    p = write_digits(integer_part, p);
    if (scaled.negative) {
        *--p = '-';
    }
    assert(p == out);
}

// The str '%.{precision}f' % x gives (a new reference), for any double and
// any precision % takes.  The fast path writes straight into the new str.
inline PyObject *format_str(double x, int precision) noexcept
{
    Scaled scaled;
    if (scale(x, precision, &scaled)) {
        const int length = text_length(scaled, precision);
        PyObject *text = PyUnicode_New(length, 127);
        if (text != nullptr) {
            write_text(scaled, precision, reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(text)), length);
        }
        return text;
    }
    char *digits = PyOS_double_to_string(x, 'f', precision, 0, nullptr);
    if (digits == nullptr) {
        return nullptr;
    }
    PyObject *text = PyUnicode_DecodeASCII(digits, static_cast<Py_ssize_t>(std::strlen(digits)), nullptr);
    PyMem_Free(digits);
    return text;
}

}  // namespace tessel::fixed

#endif  // TESSEL_FIXED_FORMAT_H
