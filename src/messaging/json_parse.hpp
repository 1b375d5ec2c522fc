#pragma once
// Parsing of incoming messages. Numbers with a fraction or exponent are read exactly (the nearest
// double to their text, as Python's json does), not with the library's fast approximation.
#include <boost/json/value.hpp>

#include <string_view>

namespace gridlet::json_parse {

// Nesting deeper than this is refused, as Python's own decoder refuses runaway recursion.
inline constexpr std::size_t kMaxDepth = 1000;

boost::json::value parse(std::string_view text, boost::system::error_code& ec);

}  // namespace gridlet::json_parse
