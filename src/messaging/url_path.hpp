#pragma once
// Percent-encoding of one URL path segment (RFC 3986): the workbook identifier travels in the
// connection URL whatever characters it holds.
#include <string>
#include <string_view>

namespace gridlet {

// Unreserved characters (letters, digits, '-', '.', '_', '~') stay as they are; every other byte
// of the UTF-8 text becomes %XX (upper-case hex). "." and ".." are encoded whole, so that they
// are not taken for dot segments.
std::string encode_path_segment(std::string_view text);

}  // namespace gridlet
