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
#include <utility>
#include <vector>

#include <pthread.h>
#include <unistd.h>

namespace gridlet::memory_release {
namespace {
// The buffers and blocks kept for reuse. A reaper thread, started with the first kept one (and
// again in a forked child, which has no threads), frees them once they have sat unused for
// kKeepForMs, and then runs the heap trim that freed frames asked for.
struct Block {
    void* p;
    std::size_t size;
};

struct Kept {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> buffers;
    std::vector<Block> blocks;
    std::size_t bytes = 0;
    std::size_t freed = 0;  // small frame bytes freed since the last trim
    bool trim = false;      // a malloc_trim is due once idle
    std::chrono::steady_clock::time_point last_use;
    pid_t reaper_pid = 0;
};

Kept& kept() {
    static Kept* k = new Kept;  // never destroyed: the reaper may still wait on it at exit
    return *k;
}

// Empties the cache; what it held is freed by the caller, outside the lock.
void take_all_locked(Kept& k, std::vector<std::string>& buffers, std::vector<Block>& blocks) {
    buffers.swap(k.buffers);
    blocks.swap(k.blocks);
    k.bytes = 0;
}

void free_all(std::vector<std::string>& buffers, std::vector<Block>& blocks) {
    buffers.clear();  // each is its own mapping: freeing unmaps it
    for (const Block& b : blocks) munmap(b.p, b.size);
    blocks.clear();
}

void reap() {
    Kept& k = kept();
    const auto keep_for = std::chrono::milliseconds(kKeepForMs);
    std::unique_lock lock(k.mutex);
    for (;;) {
        k.changed.wait(lock, [&] { return k.bytes > 0 || k.trim; });
        const auto due = k.last_use + keep_for;
        if (std::chrono::steady_clock::now() < due) {
            k.changed.wait_until(lock, due);
            continue;
        }
        std::vector<std::string> buffers;
        std::vector<Block> blocks;
        take_all_locked(k, buffers, blocks);
        const bool trim = std::exchange(k.trim, false);
        lock.unlock();
        free_all(buffers, blocks);
        if (trim) malloc_trim(0);
        lock.lock();
    }
}

// Starts the reaper if this process has none. False when no thread can be started.
bool reaper_running_locked(Kept& k) {
    if (k.reaper_pid == getpid()) return true;
    try {
        std::thread(reap).detach();
    } catch (...) {
        return false;
    }
    k.reaper_pid = getpid();
    return true;
}

// Makes room for `bytes` more. False (nothing changed) when the cache is full or there is no
// reaper to free it later: nothing is kept for ever.
bool admit_locked(Kept& k, std::size_t bytes) {
    if (k.bytes + bytes > kKeepBytes || !reaper_running_locked(k)) return false;
    k.bytes += bytes;
    k.last_use = std::chrono::steady_clock::now();
    return true;
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
    {
        std::lock_guard lock(k.mutex);
        if (!admit_locked(k, drop.capacity())) return;  // freed on return, outside the lock
        drop.clear();
        k.buffers.push_back(std::move(drop));
    }
    k.changed.notify_one();
}

void* map_huge(std::size_t size) {
    void* p = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (begin + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > begin) munmap(p, aligned - begin);
    const std::uintptr_t end = begin + size + kHugePage;
    if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - aligned - size);
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void* take_block(std::size_t size) {
    Kept& k = kept();
    std::lock_guard lock(k.mutex);
    k.last_use = std::chrono::steady_clock::now();
    for (auto it = k.blocks.begin(); it != k.blocks.end(); ++it) {
        if (it->size != size) continue;
        void* p = it->p;
        k.bytes -= size;
        k.blocks.erase(it);
        return p;
    }
    return nullptr;
}

void give_block(void* p, std::size_t size) {
    Kept& k = kept();
    {
        std::lock_guard lock(k.mutex);
        if (admit_locked(k, size)) {
            k.blocks.push_back({p, size});
            p = nullptr;
        }
    }
    if (p) munmap(p, size);
    else k.changed.notify_one();
}

std::size_t kept_bytes() {
    Kept& k = kept();
    std::lock_guard lock(k.mutex);
    return k.bytes;
}

void release_kept() {
    std::vector<std::string> buffers;
    std::vector<Block> blocks;
    Kept& k = kept();
    {
        std::lock_guard lock(k.mutex);
        take_all_locked(k, buffers, blocks);
    }
    free_all(buffers, blocks);
}

namespace {
// Asks for the whole 2 MB-aligned pages inside [p, p + size) to be huge pages, when `size` is at
// least kMmapThreshold (such a block is its own mapping). A hint: a refusal changes nothing.
void advise_huge_pages(void* p, std::size_t size) {
    if (!p || size < kMmapThreshold) return;
    constexpr std::uintptr_t huge = std::uintptr_t(2) << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    const std::uintptr_t last = (begin + size) & ~(huge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}
}  // namespace

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

void configure() {
    mallopt(M_MMAP_THRESHOLD, int(kMmapThreshold));
    mallopt(M_TRIM_THRESHOLD, int(2 * kMmapThreshold));
    // A fork (os.fork, multiprocessing) while another thread holds the cache's lock would leave
    // the child's copy locked for ever: the lock is held across the fork instead.
    kept();
    pthread_atfork([] { kept().mutex.lock(); }, [] { kept().mutex.unlock(); }, [] { kept().mutex.unlock(); });
}

void note_freed(std::size_t bytes, bool idle) {
    Kept& k = kept();
    {
        std::lock_guard lock(k.mutex);
        k.freed += bytes;
        if (!idle || k.freed < kTrimAfter || !reaper_running_locked(k)) return;
        k.freed = 0;
        k.trim = true;
        k.last_use = std::chrono::steady_clock::now();
    }
    k.changed.notify_one();
}

}  // namespace gridlet::memory_release
