#pragma once
// Room for a large text that is about to be written: reserved once at its expected size (no
// doubling copies), and for many megabytes advised to use huge pages, so that writing it takes a
// few page faults instead of one per 4 KB (each costs tens of microseconds on a virtual machine).
#include <cstddef>
#include <string>

namespace gridlet::large_text {

void reserve(std::string& text, std::size_t bytes);

}  // namespace gridlet::large_text
