#include "util/utf8.hpp"

namespace gridlet::utf8 {

std::size_t count_code_points(std::string_view s) noexcept {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
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

}  // namespace gridlet::utf8
