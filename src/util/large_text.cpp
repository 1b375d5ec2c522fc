#include "util/large_text.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace gridlet::large_text {
namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kAdviseFrom = std::size_t(4) << 20;

}  // namespace

void reserve(std::string& text, std::size_t bytes) {
    if (bytes <= text.capacity()) return;
    text.reserve(bytes);
    if (bytes < kAdviseFrom) return;
    // Only whole huge pages inside the buffer; the advice is a hint, so a refusal changes nothing.
    const auto begin = reinterpret_cast<std::uintptr_t>(text.data());
    const auto end = begin + text.capacity();
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = end & ~(kHugePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace gridlet::large_text
