#include "messaging/json_dialect.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

#include "messaging/json_bigint.hpp"
#include "util/utf8.hpp"

namespace gridlet::json_dialect {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Surrogates are written as three bytes (ED A0..BF xx); a low surrogate that follows a high one
// replaces it with the four-byte form of the pair.
void append_code_point(std::string& out, std::uint32_t cp) {
    if (cp >= 0xDC00 && cp <= 0xDFFF && out.size() >= 3) {
        const auto* t = reinterpret_cast<const unsigned char*>(out.data() + out.size() - 3);
        if (t[0] == 0xED && t[1] >= 0xA0 && t[1] <= 0xAF) {
            const std::uint32_t high = 0xD000 | ((t[1] & 0x3Fu) << 6) | (t[2] & 0x3Fu);
            out.resize(out.size() - 3);
            cp = 0x10000 + ((high - 0xD800) << 10) + (cp - 0xDC00);
        }
    }
    utf8::append(out, cp);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class Reader {
public:
    Reader(std::string_view text, boost::json::value_stack& st, std::size_t max_depth)
        : p_(text.data()), end_(text.data() + text.size()), st_(st), max_depth_(max_depth) {}

    bool document() {
        if (!value()) return false;
        skip_space();
        return p_ == end_;
    }

private:
    void skip_space() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }

    bool literal(std::string_view word) {
        if (std::size_t(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
        p_ += word.size();
        return true;
    }

    bool value() {
        skip_space();
        if (p_ == end_) return false;
        switch (*p_) {
            case '{':
                return object();
            case '[':
                return array();
            case '"':
                if (!string()) return false;
                st_.push_string(buf_);
                return true;
            case 't':
                return literal("true") && (st_.push_bool(true), true);
            case 'f':
                return literal("false") && (st_.push_bool(false), true);
            case 'n':
                return literal("null") && (st_.push_null(), true);
            case 'N':
                return literal("NaN") && (st_.push_double(std::numeric_limits<double>::quiet_NaN()), true);
            case 'I':
                return literal("Infinity") && (st_.push_double(std::numeric_limits<double>::infinity()), true);
            case '-':
                if (end_ - p_ > 1 && p_[1] == 'I')
                    return literal("-Infinity") && (st_.push_double(-std::numeric_limits<double>::infinity()), true);
                return number();
            default:
                return number();
        }
    }

    bool number() {
        const char* start = p_;
        if (*p_ == '-') ++p_;
        if (p_ == end_) return false;
        if (*p_ == '0') {
            ++p_;
        } else if (*p_ >= '1' && *p_ <= '9') {
            while (p_ != end_ && is_digit(*p_)) ++p_;
        } else {
            return false;
        }
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (p_ == end_ || !is_digit(*p_)) return false;
            while (p_ != end_ && is_digit(*p_)) ++p_;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ == end_ || !is_digit(*p_)) return false;
            while (p_ != end_ && is_digit(*p_)) ++p_;
        }
        push_number(st_, std::string_view(start, std::size_t(p_ - start)));
        return true;
    }

    bool enter() { return ++depth_ <= max_depth_; }

    bool array() {
        if (!enter()) return false;
        ++p_;
        std::size_t n = 0;
        skip_space();
        if (p_ != end_ && *p_ == ']') {
            ++p_;
        } else {
            for (;;) {
                if (!value()) return false;
                ++n;
                skip_space();
                if (p_ == end_) return false;
                if (*p_ == ',') {
                    ++p_;
                    continue;
                }
                if (*p_ != ']') return false;
                ++p_;
                break;
            }
        }
        st_.push_array(n);
        --depth_;
        return true;
    }

    bool object() {
        if (!enter()) return false;
        ++p_;
        std::size_t n = 0;
        skip_space();
        if (p_ != end_ && *p_ == '}') {
            ++p_;
        } else {
            for (;;) {
                skip_space();
                if (p_ == end_ || *p_ != '"' || !string()) return false;
                st_.push_key(buf_);
                skip_space();
                if (p_ == end_ || *p_ != ':') return false;
                ++p_;
                if (!value()) return false;
                ++n;
                skip_space();
                if (p_ == end_) return false;
                if (*p_ == ',') {
                    ++p_;
                    continue;
                }
                if (*p_ != '}') return false;
                ++p_;
                break;
            }
        }
        st_.push_object(n);
        --depth_;
        return true;
    }

    // Reads a string literal into buf_. Control characters are refused, as Python's strict mode does.
    bool string() {
        ++p_;
        buf_.clear();
        for (;;) {
            const char* run = p_;
            while (p_ != end_) {
                const auto c = static_cast<unsigned char>(*p_);
                if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) break;
                ++p_;
            }
            buf_.append(run, std::size_t(p_ - run));
            if (p_ == end_) return false;
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                if (!escape()) return false;
            } else if (!raw_character()) {
                return false;
            }
        }
    }

    bool escape() {
        ++p_;
        if (p_ == end_) return false;
        const char c = *p_++;
        switch (c) {
            case '"':
                buf_.push_back('"');
                return true;
            case '\\':
                buf_.push_back('\\');
                return true;
            case '/':
                buf_.push_back('/');
                return true;
            case 'b':
                buf_.push_back('\b');
                return true;
            case 'f':
                buf_.push_back('\f');
                return true;
            case 'n':
                buf_.push_back('\n');
                return true;
            case 'r':
                buf_.push_back('\r');
                return true;
            case 't':
                buf_.push_back('\t');
                return true;
            case 'u': {
                if (end_ - p_ < 4) return false;
                std::uint32_t cp = 0;
                for (int i = 0; i < 4; ++i) {
                    const int h = hex_value(p_[i]);
                    if (h < 0) return false;
                    cp = cp << 4 | std::uint32_t(h);
                }
                p_ += 4;
                append_code_point(buf_, cp);
                return true;
            }
            default:
                return false;
        }
    }

    // One UTF-8 sequence; surrogate code points (ED A0..BF xx) are allowed.
    bool raw_character() {
        const auto* s = reinterpret_cast<const unsigned char*>(p_);
        const std::size_t left = std::size_t(end_ - p_);
        const unsigned char c = s[0];
        std::size_t len;
        std::uint32_t cp;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
            if (c == 0xE0) lo = 0xA0;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (left < len || s[1] < lo || s[1] > hi) return false;
        for (std::size_t i = 1; i < len; ++i) {
            if ((s[i] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (s[i] & 0x3Fu);
        }
        p_ += len;
        append_code_point(buf_, cp);
        return true;
    }

    const char* p_;
    const char* end_;
    boost::json::value_stack& st_;
    std::size_t max_depth_;
    std::size_t depth_ = 0;
    std::string buf_;
};

}  // namespace

double exact_double(std::string_view text) noexcept {
    double d = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    auto res = std::from_chars(first, last, d);
    if (res.ec == std::errc() && res.ptr == last) return d;
    // Out of the double range: the decimal exponent of the first significant digit says which end.
    const bool negative = !text.empty() && text[0] == '-';
    long long position = 0;  // 10^position is the magnitude of the first significant digit, roughly
    bool seen = false;
    std::size_t i = negative ? 1 : 0;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        if (text[i] != '0') seen = true;
        if (seen) ++position;
    }
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && is_digit(text[i]); ++i) {
            if (seen) continue;
            if (text[i] != '0') seen = true;
            else --position;
        }
    }
    long long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        const bool exp_negative = i < text.size() && text[i] == '-';
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
        for (; i < text.size() && is_digit(text[i]); ++i)
            if (exponent < 1000000000) exponent = exponent * 10 + (text[i] - '0');
        if (exp_negative) exponent = -exponent;
    }
    const double magnitude = seen && position + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
}

void push_number(boost::json::value_stack& st, std::string_view text) {
    if (text.find_first_of(".eE") != std::string_view::npos) {
        st.push_double(exact_double(text));
        return;
    }
    const char* first = text.data();
    const char* last = text.data() + text.size();
    std::int64_t i;
    if (auto r = std::from_chars(first, last, i); r.ec == std::errc() && r.ptr == last) {
        st.push_int64(i);
        return;
    }
    std::uint64_t u;
    if (auto r = std::from_chars(first, last, u); r.ec == std::errc() && r.ptr == last) {
        st.push_uint64(u);
        return;
    }
    st.push_key(json_bigint::kKey);
    st.push_string(text);
    st.push_object(1);
}

bool parse(std::string_view text, boost::json::value_stack& st, std::size_t max_depth) {
    return Reader(text, st, max_depth).document();
}

}  // namespace gridlet::json_dialect
