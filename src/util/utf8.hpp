#pragma once
// Code-point arithmetic on UTF-8 text: message limits and chunk cuts count characters, not bytes.
#include <cstddef>
#include <string>
#include <string_view>

namespace gridlet::utf8 {

// Number of code points in `s` (counts lead bytes; tolerant of a sequence split across calls).
std::size_t count_code_points(std::string_view s) noexcept;

// Byte offset at which code point number `index` starts (s.size() when index is past the end).
std::size_t offset_of_code_point(std::string_view s, std::size_t index) noexcept;

// What a lead byte starts: how many continuation bytes follow, and the range the first of them
// must fall in (no overlong forms, no surrogates, nothing past U+10FFFF; later ones are 80..BF).
struct Lead {
    unsigned continuations = 0;
    unsigned char lo = 0x80, hi = 0xBF;
};
// False when `c` cannot start a sequence (a continuation byte, C0, C1, F5..FF).
bool classify_lead(unsigned char c, Lead& lead) noexcept;

// Appends code point `cp` (up to U+10FFFF; surrogates too, in their three-byte form) as UTF-8.
void append(std::string& out, char32_t cp);

}  // namespace gridlet::utf8
