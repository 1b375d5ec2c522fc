#include "values.hpp"

#include "common/json_string.hpp"

#include <charconv>
#include <cmath>

namespace console {

bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += len;
    }
    return true;
}

std::size_t utf8_advance(std::string_view s, std::size_t from, std::size_t count) {
    std::size_t i = from;
    while (i < s.size() && count > 0) {
        ++i;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
        --count;
    }
    return i;
}

std::size_t utf8_length(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

std::string format_double(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    std::string s(buf, end);
    if (s.find_first_of(".en") == std::string::npos) s += ".0";
    return s;
}

namespace {

void show_into(std::string& out, const json::value& v) {
    switch (v.kind()) {
        case json::kind::null:
            out += "null";
            break;
        case json::kind::bool_:
            out += v.get_bool() ? "true" : "false";
            break;
        case json::kind::int64:
            out += std::to_string(v.get_int64());
            break;
        case json::kind::uint64:
            out += std::to_string(v.get_uint64());
            break;
        case json::kind::double_:
            out += format_double(v.get_double());
            break;
        case json::kind::string:
            tools::append_json_string(out, v.get_string());
            break;
        case json::kind::array: {
            out += '[';
            bool first = true;
            for (auto& e : v.get_array()) {
                if (!first) out += ", ";
                first = false;
                show_into(out, e);
            }
            out += ']';
            break;
        }
        case json::kind::object: {
            out += '{';
            bool first = true;
            for (auto& kv : v.get_object()) {
                if (!first) out += ", ";
                first = false;
                tools::append_json_string(out, kv.key());
                out += ": ";
                show_into(out, kv.value());
            }
            out += '}';
            break;
        }
    }
}

}  // namespace

std::string show_json(const json::value& v) {
    std::string out;
    show_into(out, v);
    return out;
}

std::string show_cell(const json::value& v) {
    if (v.is_null()) return "";
    if (v.is_object()) {
        // Dates and datetimes travel as {"__gridlet__": "date", "value": ISO text}.
        const auto& o = v.get_object();
        if (o.contains("__gridlet__") && o.contains("value") && o.at("value").is_string())
            return std::string(o.at("value").get_string());
    }
    if (v.is_string()) return std::string(v.get_string());
    if (v.is_bool()) return v.get_bool() ? "TRUE" : "FALSE";
    if (v.is_double()) {
        // Whole numbers read from a sheet print as 120, not 120.0.
        double d = v.get_double();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15)
            return std::to_string(static_cast<long long>(d));
        return format_double(d);
    }
    return show_json(v);
}

std::string to_text(const json::value& v) { return json::serialize(v); }

std::string str_field(const json::object& obj, std::string_view key, std::string_view fallback) {
    auto* p = obj.if_contains(key);
    if (p && p->is_string()) return std::string(p->get_string());
    return std::string(fallback);
}

}  // namespace console
