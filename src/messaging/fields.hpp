#pragma once
// Reading fields of incoming messages with their defaults. A field of the wrong type is a
// FieldError, which the dispatcher answers with an error reply instead of ending the run.
#include <boost/json/object.hpp>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace gridlet::fields {

struct FieldError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline const boost::json::value* get(const boost::json::object& o, std::string_view key) { return o.if_contains(key); }

// Text field: absent -> `fallback`; null -> nullopt when `null_ok`, else an error.
inline std::optional<std::string> text(const boost::json::object& o, std::string_view key,
                                       std::optional<std::string> fallback, bool null_ok = false) {
    const auto* v = o.if_contains(key);
    if (!v) return fallback;
    if (v->is_string()) return std::string(v->get_string());
    if (v->is_null() && null_ok) return std::nullopt;
    throw FieldError("Field '" + std::string(key) + "' must be a string");
}

// JSON text of a field for echoing it back (null when absent).
std::string echo(const boost::json::object& o, std::string_view key);
std::string echo_or(const boost::json::object& o, std::string_view key, std::string_view fallback_json);

// The Python type name of what a JSON value becomes: str, int, float, bool, list, dict, NoneType.
// Error texts about a field of the wrong type name these, as the interpreter would.
std::string_view python_type_name(const boost::json::value& v);

// Display form used in log lines: strings as themselves, null/absent as None.
std::string display(const boost::json::object& o, std::string_view key, std::string_view absent = "None");

}  // namespace gridlet::fields
