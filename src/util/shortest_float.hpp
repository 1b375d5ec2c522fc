#pragma once
// A double's shortest round-trip decimal digits, found once and laid out as each of the kernel's
// two texts writes a float: Python's repr ("0.1", "1e+16", "1e-05", "100.0", "-0.0", "inf", "nan")
// and the JSON of the wire ("0.1", "1e+16", "1e-05", "100.0", "0.0001" written "1e-04": the
// shorter of the fixed and the scientific form, as std::to_chars picks it, with ".0" after a whole
// number; NaN and the infinities as null).
// GIL-free.
#include <cstdint>

namespace gridlet::shortest_float {

// Room to give for one text of a float, whichever layout (it needs at most 32; the writers copy
// digits in fixed-size moves).
inline constexpr int kMaxChars = 64;

// value = digits x 10^(point - count): `count` decimal digits (no leading or trailing zero; zero
// itself is "0", count 1) at `text + start`, `point` the position of the decimal point from the
// left of them.
struct Decimal {
    char text[48];  // 17 digits used; the rest is room for fixed-size moves
    int start = 0;
    int count = 0;
    int point = 0;
    bool negative = false;
    double value = 0;  // its absolute value

    const char* digits() const { return text + start; }
};

// The shortest digits that read back as `d` (finite), the closest to it when several are as short.
Decimal decompose(double d);

// Write into `p` (kMaxChars bytes) and return the end.
char* write_repr(char* p, const Decimal& dec);
char* write_json(char* p, const Decimal& dec);
char* repr(char* p, double d);  // handles NaN and the infinities
char* json(char* p, double d);

}  // namespace gridlet::shortest_float
