#pragma once
// Eight bytes at a time: tests on a 64-bit word of text, for scans that run at memory speed.
#include <cstdint>
#include <cstring>

namespace gridlet::swar {

inline constexpr std::uint64_t kOnes = 0x0101010101010101ull;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ull;

inline std::uint64_t load(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Nonzero when some byte of `w` is zero.
inline std::uint64_t has_zero(std::uint64_t w) { return (w - kOnes) & ~w & kHighs; }
// Nonzero when some byte of `w` equals `b`.
inline std::uint64_t has_byte(std::uint64_t w, unsigned char b) { return has_zero(w ^ (kOnes * b)); }
// Nonzero when some byte of `w` is below `n` (n <= 128).
inline std::uint64_t has_below(std::uint64_t w, unsigned char n) { return (w - kOnes * n) & ~w & kHighs; }

// Nonzero when some byte needs attention from a JSON string writer: a control character, '"',
// '\\', or 0xED (the lead byte of a surrogate in three-byte form).
inline std::uint64_t json_special(std::uint64_t w) {
    return has_below(w, 0x20) | has_byte(w, '"') | has_byte(w, '\\') | has_byte(w, 0xED);
}

// Number of UTF-8 continuation bytes (10xxxxxx) in `w`.
inline unsigned continuation_bytes(std::uint64_t w) {
    std::uint64_t m = (w & ~(w << 1) & kHighs) >> 7;  // 1 in each byte whose top bits are 10
    return unsigned((m * kOnes) >> 56);
}

}  // namespace gridlet::swar
