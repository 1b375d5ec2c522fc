#include "messaging/url_path.hpp"

namespace gridlet {

std::string encode_path_segment(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    // "." and ".." alone would be read as dot segments and removed from the path.
    if (text == "." || text == "..") return text.size() == 1 ? "%2E" : "%2E%2E";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace gridlet
