#pragma once
// Integers beyond 64 bits inside boost::json values, whose numbers are 64-bit. Such an integer is
// held as a one-member object whose key is byte 0xFF + "int" (0xFF never occurs in UTF-8, so no key
// read from the wire can be that) and whose value is the integer's decimal text. The reader makes
// them, the writer writes the digits back and the Python conversion makes an int of them.
#include <boost/json/value.hpp>

#include <string_view>

namespace gridlet::json_bigint {

inline constexpr std::string_view kKey{
    "\xFF"
    "int",
    4};

// The decimal text of `v` when it is such an integer, else nullptr.
inline const boost::json::string* digits(const boost::json::value& v) noexcept {
    if (!v.is_object()) return nullptr;
    const auto& o = v.get_object();
    if (o.size() != 1) return nullptr;
    const auto& member = *o.begin();
    if (member.key() != kKey || !member.value().is_string()) return nullptr;
    return &member.value().get_string();
}

}  // namespace gridlet::json_bigint
