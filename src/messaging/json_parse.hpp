#pragma once
// Parsing of incoming messages into what Python's json would read: numbers with a fraction or
// exponent as the nearest double to their text (not the library's fast approximation), integers of
// any size exactly (json_bigint), and NaN, Infinity and lone surrogate escapes (json_dialect).
#include <boost/json/value.hpp>

#include <string_view>

namespace gridlet::json_parse {

// Nesting deeper than this is refused, as Python's own decoder refuses runaway recursion.
inline constexpr std::size_t kMaxDepth = 1000;

boost::json::value parse(std::string_view text, boost::system::error_code& ec);

}  // namespace gridlet::json_parse
