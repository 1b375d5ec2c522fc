#pragma once
// Compact JSON text: no whitespace, UTF-8 as itself, shortest round-trip floats, NaN/inf as null.
// Text may hold surrogates in the three-byte form of Python's "surrogatepass" codec (what
// py_json::utf8_of and the parser make of lone surrogates); they are written as \udXXX escapes, so
// the output is always valid UTF-8.
// GIL-free: used on the listener for its own replies and by the Python encoder for scalars.
#include <boost/json/value.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace gridlet::json_text {

void append_string(std::string& out, std::string_view utf8);
// The same without the quotes: the inside of a JSON string.
void append_escaped(std::string& out, std::string_view utf8);
// False when append_escaped would copy `utf8` unchanged (so the text itself can be sent as is).
bool needs_escape(std::string_view utf8);
void append_double(std::string& out, double d);
void append_int(std::string& out, std::int64_t v);
void append_value(std::string& out, const boost::json::value& v);
std::string serialize(const boost::json::value& v);

// Small helper for writing objects field by field: {"a":1,"b":"x"}
class ObjectWriter {
public:
    explicit ObjectWriter(std::string& out) : out_(out) { out_.push_back('{'); }
    ObjectWriter& key(std::string_view k) {
        if (!first_) out_.push_back(',');
        first_ = false;
        append_string(out_, k);
        out_.push_back(':');
        return *this;
    }
    ObjectWriter& str(std::string_view k, std::string_view v) {
        key(k);
        append_string(out_, v);
        return *this;
    }
    ObjectWriter& boolean(std::string_view k, bool v) {
        key(k);
        out_ += v ? "true" : "false";
        return *this;
    }
    ObjectWriter& integer(std::string_view k, std::int64_t v) {
        key(k);
        append_int(out_, v);
        return *this;
    }
    ObjectWriter& null(std::string_view k) {
        key(k);
        out_ += "null";
        return *this;
    }
    ObjectWriter& value(std::string_view k, const boost::json::value& v) {
        key(k);
        append_value(out_, v);
        return *this;
    }
    ObjectWriter& raw(std::string_view k, std::string_view json) {
        key(k);
        out_ += json;
        return *this;
    }
    std::string& out() { return out_; }
    void close() { out_.push_back('}'); }

private:
    std::string& out_;
    bool first_ = true;
};

}  // namespace gridlet::json_text
