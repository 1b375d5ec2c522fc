#include "util/memory_release.hpp"

#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

namespace gridlet::memory_release {
namespace {
std::atomic<std::size_t> g_freed{0};
std::atomic<bool> g_trimming{false};

// The buffers kept for reuse. A reaper thread, started with the first kept buffer (and again in
// a forked child, which has no threads), frees them once they have sat unused for kKeepFor.
struct Kept {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> buffers;
    std::size_t bytes = 0;
    std::chrono::steady_clock::time_point last_use;
    pid_t reaper_pid = 0;
};

Kept& kept() {
    static Kept* k = new Kept;  // never destroyed: the reaper may still wait on it at exit
    return *k;
}

void reap() {
    Kept& k = kept();
    const auto keep_for = std::chrono::milliseconds(kKeepForMs);
    std::unique_lock lock(k.mutex);
    for (;;) {
        k.changed.wait(lock, [&] { return k.bytes > 0; });
        const auto due = k.last_use + keep_for;
        if (std::chrono::steady_clock::now() < due) {
            k.changed.wait_until(lock, due);
            continue;
        }
        std::vector<std::string> drop;
        drop.swap(k.buffers);
        k.bytes = 0;
        lock.unlock();
        drop.clear();  // each is its own mapping: freeing unmaps it
        lock.lock();
    }
}

// Takes a kept buffer of at least `capacity` bytes, if there is one.
bool take_kept(std::size_t capacity, std::string& into) {
    Kept& k = kept();
    std::lock_guard lock(k.mutex);
    k.last_use = std::chrono::steady_clock::now();
    for (auto it = k.buffers.begin(); it != k.buffers.end(); ++it) {
        if (it->capacity() < capacity) continue;
        k.bytes -= it->capacity();
        into.swap(*it);
        k.buffers.erase(it);
        return true;
    }
    return false;
}
}  // namespace

void recycle(std::string& s) {
    std::string drop;
    drop.swap(s);
    if (drop.capacity() < kMmapThreshold) return;
    Kept& k = kept();
    std::unique_lock lock(k.mutex);
    if (k.bytes + drop.capacity() > kKeepBytes) return;  // freed below, outside the lock
    drop.clear();
    k.bytes += drop.capacity();
    k.buffers.push_back(std::move(drop));
    k.last_use = std::chrono::steady_clock::now();
    if (k.reaper_pid != getpid()) {
        try {
            std::thread(reap).detach();
            k.reaper_pid = getpid();
        } catch (...) {
            // No thread: keep nothing rather than keep it for ever.
            k.bytes -= k.buffers.back().capacity();
            drop.swap(k.buffers.back());
            k.buffers.pop_back();
            lock.unlock();
            return;
        }
    }
    lock.unlock();
    k.changed.notify_one();
}

std::size_t kept_bytes() {
    Kept& k = kept();
    std::lock_guard lock(k.mutex);
    return k.bytes;
}

void release_kept() {
    std::vector<std::string> drop;
    Kept& k = kept();
    std::lock_guard lock(k.mutex);
    drop.swap(k.buffers);
    k.bytes = 0;
}

void reserve_large(std::string& s, std::size_t capacity) {
    if (capacity <= s.capacity()) return;
    capacity = std::max(capacity, s.capacity() + s.capacity() / 2);  // growth stays geometric
    if (capacity < kMmapThreshold) {
        s.reserve(capacity);
        return;
    }
    // A kept buffer if one is large enough; otherwise a new block, advised before anything is
    // written to it (reserve() would copy the old text first, a page fault per 4 KB).
    std::string fresh;
    if (!take_kept(capacity, fresh)) {
        fresh.reserve(capacity);
        advise_huge_pages(fresh.data(), fresh.capacity());
    }
    fresh.append(s);
    s.swap(fresh);
    recycle(fresh);
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
