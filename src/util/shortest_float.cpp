#include "util/shortest_float.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

namespace gridlet::shortest_float {
namespace {

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The eight decimal digits of v < 10^8 as eight ASCII bytes in memory order, found with a few
// multiplications on lanes of one word instead of a chain of divisions.
[[gnu::always_inline]] inline std::uint64_t eight_digits(std::uint32_t v) {
    const std::uint64_t merged = std::uint64_t(v / 10000) | (std::uint64_t(v % 10000) << 32);
    const std::uint64_t hundreds = ((merged * 10486ull) >> 20) & ((0x7Full << 32) | 0x7Full);
    const std::uint64_t pairs = ((merged - 100ull * hundreds) << 16) + hundreds;
    std::uint64_t tens = ((pairs * 103ull) >> 10) & ((0xFull << 48) | (0xFull << 32) | (0xFull << 16) | 0xFull);
    tens += (pairs - 10ull * tens) << 8;
    return tens + 0x3030303030303030ull;
}

char* put(char* p, const char* s, int n) {
    std::memcpy(p, s, std::size_t(n));
    return p + n;
}

// Digits copied as a fixed 24 bytes (one move, no call) of which the first `n` count: the
// Decimal's text and every output buffer have that much room past them.
char* put_digits(char* p, const char* s, int n) {
    std::memcpy(p, s, 24);
    return p + n;
}

char* zeros(char* p, int n) {
    std::memset(p, '0', std::size_t(n));
    return p + n;
}

// d[.ddd]e±XX: at least two exponent digits.
char* scientific(char* p, const Decimal& dec) {
    const char* digits = dec.digits();
    *p++ = digits[0];
    if (dec.count > 1) {
        *p++ = '.';
        p = put_digits(p, digits + 1, dec.count - 1);
    }
    int e = dec.point - 1;
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    if (e < 0) e = -e;
    if (e >= 100) {
        *p++ = char('0' + e / 100);
        e %= 100;
    }
    return put(p, kPairs + 2 * e, 2);
}

// Positional with a fraction: "0.000ddd" or "dd.ddd".
char* fraction(char* p, const Decimal& dec) {
    const char* digits = dec.digits();
    if (dec.point <= 0) {
        *p++ = '0';
        *p++ = '.';
        p = zeros(p, -dec.point);
        return put_digits(p, digits, dec.count);
    }
    p = put_digits(p, digits, dec.point);
    *p++ = '.';
    return put_digits(p, digits + dec.point, dec.count - dec.point);
}

// The digits of a whole number and their zeros, with ".0".
char* whole(char* p, const Decimal& dec) {
    p = put_digits(p, dec.digits(), dec.count);
    p = zeros(p, dec.point - dec.count);
    return put(p, ".0", 2);
}

// A whole number below 10^22 with all its digits (std::to_chars's fixed form writes the exact
// value, not the shortest digits padded with zeros), with ".0".
char* exact_whole(char* p, double v) {
    const auto n = static_cast<unsigned __int128>(v);
    const std::uint64_t high = std::uint64_t(n / 10000000000000000000ull);
    const std::uint64_t low = std::uint64_t(n % 10000000000000000000ull);
    if (high) {
        p = std::to_chars(p, p + 8, high).ptr;
        char tail[20];
        const char* end = std::to_chars(tail, tail + sizeof tail, low).ptr;
        const int len = int(end - tail);
        p = zeros(p, 19 - len);
        p = put(p, tail, len);
    } else {
        p = std::to_chars(p, p + 20, low).ptr;
    }
    return put(p, ".0", 2);
}

}  // namespace

Decimal decompose(double d) {
    Decimal dec;
    dec.negative = std::signbit(d);
    dec.value = std::fabs(d);
    if (d == 0) {
        dec.text[0] = '0';
        dec.count = 1;
        dec.point = 1;
        return dec;
    }
    // Dragonbox (libfmt's): the shortest digits, the closest when several are as short, ties to
    // even; trailing zeros removed. At most 17 digits: one, then two groups of eight.
    const auto r = fmt::detail::dragonbox::to_decimal(dec.value);
    const std::uint64_t sig = r.significand;
    const std::uint64_t top = sig / 10000000000000000ull;
    const std::uint64_t rest = sig % 10000000000000000ull;
    dec.text[0] = char('0' + top);
    const std::uint64_t a = eight_digits(std::uint32_t(rest / 100000000)),
                        b = eight_digits(std::uint32_t(rest % 100000000));
    std::memcpy(dec.text + 1, &a, 8);
    std::memcpy(dec.text + 9, &b, 8);
    int lead = 0;
    if (!top) {
        // Leading zeros: the '0' bytes before the first other digit of the sixteen.
        const std::uint64_t za = a ^ 0x3030303030303030ull, zb = b ^ 0x3030303030303030ull;
        lead = 1 + (za ? __builtin_ctzll(za) / 8 : 8 + __builtin_ctzll(zb) / 8);
    }
    dec.start = lead;
    dec.count = 17 - lead;
    dec.point = r.exponent + dec.count;
    return dec;
}

// float_repr_style "short": exponent form when the point is at most -4 or beyond 16 digits,
// otherwise positional with at least one decimal.
char* write_repr(char* p, const Decimal& dec) {
    if (dec.negative) *p++ = '-';
    if (dec.point <= -4 || dec.point > 16) return scientific(p, dec);
    return dec.point >= dec.count ? whole(p, dec) : fraction(p, dec);
}

// std::to_chars's plain format: the fixed form unless the scientific one is shorter; a whole
// number then gets ".0", so that the reader keeps it a float.
char* write_json(char* p, const Decimal& dec) {
    if (dec.negative) *p++ = '-';
    if (dec.point > 0 && dec.point < dec.count) return fraction(p, dec);  // the usual case
    const int e = dec.point - 1;
    const int sci = dec.count + (dec.count > 1) + 2 + (e >= 100 || e <= -100 ? 3 : 2);
    const int fix = dec.point <= 0 ? 2 - dec.point + dec.count : dec.point;
    if (sci < fix) return scientific(p, dec);
    if (dec.point <= 0) return fraction(p, dec);
    // Below 2^53 the shortest digits padded with zeros are the exact value.
    return dec.point <= 15 ? whole(p, dec) : exact_whole(p, dec.value);
}

char* repr(char* p, double d) {
    if (std::isnan(d)) return put(p, "nan", 3);
    if (std::isinf(d)) return d > 0 ? put(p, "inf", 3) : put(p, "-inf", 4);
    return write_repr(p, decompose(d));
}

char* json(char* p, double d) {
    if (!std::isfinite(d)) return put(p, "null", 4);
    return write_json(p, decompose(d));
}

}  // namespace gridlet::shortest_float
