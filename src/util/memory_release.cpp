#include "util/memory_release.hpp"

#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

#include <atomic>
#include <thread>

namespace gridlet::memory_release {
namespace {
std::atomic<std::size_t> g_freed{0};
std::atomic<bool> g_trimming{false};
}  // namespace

void reserve_large(std::string& s, std::size_t capacity) {
    if (capacity <= s.capacity()) return;
    capacity = std::max(capacity, s.capacity() + s.capacity() / 2);  // growth stays geometric
    if (capacity < kMmapThreshold) {
        s.reserve(capacity);
        return;
    }
    // The new block is advised before anything is written to it (reserve() would copy the old
    // text first, a page fault per 4 KB).
    std::string fresh;
    fresh.reserve(capacity);
    advise_huge_pages(fresh.data(), fresh.capacity());
    fresh.append(s);
    s.swap(fresh);
}

void advise_huge_pages(void* p, std::size_t size) {
    if (!p || size < kMmapThreshold) return;
    constexpr std::uintptr_t huge = std::uintptr_t(2) << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    const std::uintptr_t last = (begin + size) & ~(huge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void configure() {
    mallopt(M_MMAP_THRESHOLD, int(kMmapThreshold));
    mallopt(M_TRIM_THRESHOLD, int(2 * kMmapThreshold));
}

void note_freed(std::size_t bytes, bool idle) {
    const std::size_t freed = g_freed.fetch_add(bytes) + bytes;
    if (!idle || freed < kTrimAfter) return;
    if (g_trimming.exchange(true)) return;  // one trim at a time; it takes what was freed meanwhile
    g_freed = 0;
    try {
        std::thread([] {
            malloc_trim(0);
            g_trimming = false;
        }).detach();
    } catch (...) {
        g_trimming = false;
    }
}

}  // namespace gridlet::memory_release
