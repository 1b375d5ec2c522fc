#include "messaging/json_text.hpp"

#include <boost/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "messaging/json_bigint.hpp"
#include "util/memory_release.hpp"
#include "util/shortest_float.hpp"
#include "util/swar.hpp"

namespace gridlet::json_text {

void append_string(std::string& out, std::string_view s) {
    out.push_back('"');
    append_escaped(out, s);
    out.push_back('"');
}

void append_escaped(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    // Long texts: room for the plain case at once, so the copy below grows nothing.
    if (s.size() > 4096 && out.capacity() < out.size() + s.size())
        memory_release::reserve_large(out, std::max(out.size() + s.size() + s.size() / 16, out.capacity() * 2));
    std::size_t run = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        // Eight plain bytes at a time.
        while (i + 8 <= s.size() && !swar::json_special(swar::load(s.data() + i))) i += 8;
        if (i >= s.size()) break;
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\' && c != 0xED) continue;
        if (c == 0xED) {
            // A surrogate in the internal three-byte form has no UTF-8 form: write it as \udXXX.
            if (i + 2 >= s.size() || static_cast<unsigned char>(s[i + 1]) < 0xA0) continue;
            out.append(s.data() + run, i - run);
            const unsigned cp = 0xD000 | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                                (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            char esc[6] = {'\\', 'u', hex[cp >> 12], hex[(cp >> 8) & 0xF], hex[(cp >> 4) & 0xF], hex[cp & 0xF]};
            out.append(esc, 6);
            i += 2;
            run = i + 1;
            continue;
        }
        out.append(s.data() + run, i - run);
        run = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default: {
                char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
                out.append(esc, 6);
            }
        }
    }
    out.append(s.data() + run, s.size() - run);
}

bool needs_escape(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        while (i + 8 <= s.size() && !swar::json_special(swar::load(s.data() + i))) i += 8;
        if (i >= s.size()) break;
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == '"' || c == '\\') return true;
        if (c == 0xED && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0xA0) return true;
    }
    return false;
}

void append_double(std::string& out, double d) {
    // The shortest form, fixed or scientific as std::to_chars picks it; a whole number keeps a
    // ".0" so that the reader keeps it a float (100.0 stays "100.0", not "100").
    char buf[shortest_float::kMaxChars];
    out.append(buf, shortest_float::json(buf, d));
}

void append_int(std::string& out, std::int64_t v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

void append_value(std::string& out, const boost::json::value& v) {
    switch (v.kind()) {
        case boost::json::kind::null:
            out += "null";
            break;
        case boost::json::kind::bool_:
            out += v.get_bool() ? "true" : "false";
            break;
        case boost::json::kind::int64:
            append_int(out, v.get_int64());
            break;
        case boost::json::kind::uint64: {
            char buf[24];
            auto res = std::to_chars(buf, buf + sizeof buf, v.get_uint64());
            out.append(buf, res.ptr);
            break;
        }
        case boost::json::kind::double_:
            append_double(out, v.get_double());
            break;
        case boost::json::kind::string:
            append_string(out, v.get_string());
            break;
        case boost::json::kind::array: {
            out.push_back('[');
            bool first = true;
            for (const auto& e : v.get_array()) {
                if (!first) out.push_back(',');
                first = false;
                append_value(out, e);
            }
            out.push_back(']');
            break;
        }
        case boost::json::kind::object: {
            if (const auto* digits = json_bigint::digits(v)) {
                out += *digits;
                break;
            }
            out.push_back('{');
            bool first = true;
            for (const auto& kv : v.get_object()) {
                if (!first) out.push_back(',');
                first = false;
                append_string(out, kv.key());
                out.push_back(':');
                append_value(out, kv.value());
            }
            out.push_back('}');
            break;
        }
    }
}

std::string serialize(const boost::json::value& v) {
    std::string out;
    append_value(out, v);
    return out;
}

}  // namespace gridlet::json_text
