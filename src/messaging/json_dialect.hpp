#pragma once
// JSON as Python's json module reads it, beyond what the fast parser accepts: NaN, Infinity and
// -Infinity as floats, \u escapes of lone surrogates, and (in text joined from chunk pieces) raw
// surrogate code points. Strings keep surrogates in the generalized UTF-8 form Python's
// "surrogatepass" codec uses (three bytes each); a high surrogate directly followed by a low one,
// escaped or raw, is joined into the one character they encode, so strings stay well-formed.
// Numbers: integers of any size exactly (json_bigint past 64 bits), fractions as the nearest double.
#include <boost/json/value.hpp>
#include <boost/json/value_stack.hpp>

#include <string_view>

namespace gridlet::json_dialect {

// Pushes the value of one JSON number text (grammar already checked) as Python reads it.
void push_number(boost::json::value_stack& st, std::string_view text);

// The nearest double to a JSON number text; past the double range: infinity or zero, as Python.
double exact_double(std::string_view text) noexcept;

// Parses the whole of `text`; false when it is not JSON of this dialect or nests deeper than
// `max_depth`.
bool parse(std::string_view text, boost::json::value_stack& st, std::size_t max_depth);

}  // namespace gridlet::json_dialect
