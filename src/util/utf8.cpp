#include "util/utf8.hpp"

#include "util/simd.hpp"
#include "util/swar.hpp"

namespace gridlet::utf8 {

std::size_t count_code_points(std::string_view s) noexcept {
    const char* p = s.data();
    const std::size_t size = s.size();
    std::size_t n = 0, i = 0;
    for (; i + 16 <= size; i += 16) n += 16 - simd::continuation_bytes(simd::load16(p + i));
    for (; i + 8 <= size; i += 8) n += 8 - swar::continuation_bytes(swar::load(p + i));
    for (; i < size; ++i) n += (static_cast<unsigned char>(p[i]) & 0xC0) != 0x80;
    return n;
}

std::size_t offset_of_code_point(std::string_view s, std::size_t index) noexcept {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (seen == index) return i;
            ++seen;
        }
    }
    return s.size();
}

bool classify_lead(unsigned char c, Lead& lead) noexcept {
    lead = Lead{};
    if (c < 0x80) return true;
    if (c >= 0xC2 && c <= 0xDF) {
        lead.continuations = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        lead.continuations = 2;
        if (c == 0xE0) lead.lo = 0xA0;  // no overlong forms
        if (c == 0xED) lead.hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        lead.continuations = 3;
        if (c == 0xF0) lead.lo = 0x90;
        if (c == 0xF4) lead.hi = 0x8F;  // nothing past U+10FFFF
    } else {
        return false;
    }
    return true;
}

void append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

}  // namespace gridlet::utf8
