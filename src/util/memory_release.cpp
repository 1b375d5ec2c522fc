#include "util/memory_release.hpp"

#include <malloc.h>

#include <atomic>
#include <thread>

namespace gridlet::memory_release {
namespace {
std::atomic<std::size_t> g_freed{0};
std::atomic<bool> g_trimming{false};
}  // namespace

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
