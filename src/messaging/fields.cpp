#include "messaging/fields.hpp"

#include <boost/json.hpp>

#include "messaging/json_text.hpp"

namespace gridlet::fields {

std::string echo(const boost::json::object& o, std::string_view key) { return echo_or(o, key, "null"); }

std::string echo_or(const boost::json::object& o, std::string_view key, std::string_view fallback_json) {
    const auto* v = o.if_contains(key);
    if (!v) return std::string(fallback_json);
    return json_text::serialize(*v);
}

std::string display(const boost::json::object& o, std::string_view key, std::string_view absent) {
    const auto* v = o.if_contains(key);
    if (!v || v->is_null()) return std::string(absent);
    if (v->is_string()) return std::string(v->get_string());
    return json_text::serialize(*v);
}

std::string_view python_type_name(const boost::json::value& v) {
    switch (v.kind()) {
        case boost::json::kind::string:
            return "str";
        case boost::json::kind::int64:
        case boost::json::kind::uint64:
            return "int";
        case boost::json::kind::double_:
            return "float";
        case boost::json::kind::bool_:
            return "bool";
        case boost::json::kind::array:
            return "list";
        case boost::json::kind::object:
            return "dict";
        default:
            return "NoneType";
    }
}

}  // namespace gridlet::fields
