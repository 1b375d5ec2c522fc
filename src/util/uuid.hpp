#pragma once
// Random version-4 identifiers for request and chunk ids.
#include <string>

namespace gridlet::uuid {

std::string v4_hex();     // 32 lowercase hex digits, no dashes
std::string v4_dashed();  // canonical 36-character form

}  // namespace gridlet::uuid
