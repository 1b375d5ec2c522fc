// Writing text as a JSON string literal, as the console and the bench send and show it.
#pragma once

#include <string>
#include <string_view>

namespace tools {

// Appends `text` as a JSON string literal (with quotes) to `out`: `"` and `\` escaped, control
// characters as \n, \t, ... or \u00XX; every other byte (UTF-8 included) as it is.
void append_json_string(std::string& out, std::string_view text);
std::string json_string(std::string_view text);

}  // namespace tools
