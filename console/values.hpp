// Text helpers shared by the console: UTF-8 checks and how values are shown to the user.
#pragma once

#include <boost/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace console {

namespace json = boost::json;

// True when `text` is well-formed UTF-8.
bool valid_utf8(std::string_view text);

// Byte offset just past the first `count` code points of valid UTF-8 `text` (or its size).
std::size_t utf8_advance(std::string_view text, std::size_t from, std::size_t count);

// Number of code points of valid UTF-8 `text`.
std::size_t utf8_length(std::string_view text);

// A double the way Python prints it: shortest text that reads back the same, "120.0" for
// integral values, "inf"/"nan" for the rest.
std::string format_double(double d);

// A value as JSON with Python-style spacing ("[1, 2.5, \"x\"]").
std::string show_json(const json::value& v);

// A cell's text in a table: strings without quotes, empty for null.
std::string show_cell(const json::value& v);

// Compact JSON text of an outgoing message.
std::string to_text(const json::value& v);

// The string field `key` of `obj`, or `fallback` when it is absent or not a string.
std::string str_field(const json::object& obj, std::string_view key, std::string_view fallback = "");

}  // namespace console
