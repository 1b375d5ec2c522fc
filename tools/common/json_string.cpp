#include "json_string.hpp"

namespace tools {

void append_json_string(std::string& out, std::string_view text) {
    // The characters JSON escapes with a letter, and those letters; other control characters
    // are written as \u00XX.
    static constexpr std::string_view kEscaped = "\"\\\n\r\t\b\f";
    static constexpr std::string_view kLetters = "\"\\nrtbf";
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && ch != '"' && ch != '\\') {
            out.push_back(ch);
        } else if (auto at = kEscaped.find(ch); at != std::string_view::npos) {
            out.push_back('\\');
            out.push_back(kLetters[at]);
        } else {
            out += "\\u00";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    out.push_back('"');
}

std::string json_string(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_json_string(out, text);
    return out;
}

}  // namespace tools
