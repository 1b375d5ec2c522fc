#include "kernel/python_memory.hpp"

#include <Python.h>
#include <pthread.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <unordered_map>

#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "util/memory_release.hpp"

namespace gridlet::python_memory {
namespace {

PyMemAllocatorEx g_inner;  // the allocator Python had before

using memory_release::kHugePage;

// Python's large blocks (a long str, the item array of a long list) are whole huge pages of
// their own, given to the kept-memory cache when freed, so the next large result reuses pages
// already touched. Their mapped sizes are remembered here. The raw allocator is called from any
// thread, with or without the GIL: the map has its own lock.
std::mutex g_large_mutex;
std::unordered_map<std::uintptr_t, std::size_t> g_large;  // address -> mapped size

std::size_t round_huge(std::size_t size) { return (size + kHugePage - 1) & ~(kHugePage - 1); }

// Mapped size of one of our large blocks, 0 for any other pointer. glibc never returns a
// 2 MB-aligned pointer for a block of its own mappings, so only aligned pointers are looked up.
std::size_t large_size(void* p) {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    if (!p || (a & (kHugePage - 1))) return 0;
    std::lock_guard lock(g_large_mutex);
    auto it = g_large.find(a);
    return it == g_large.end() ? 0 : it->second;
}

// A large block of at least `size` bytes; `reused` tells whether it held data before.
void* large_alloc(std::size_t size, bool& reused) {
    const std::size_t mapped = round_huge(size);
    void* p = memory_release::take_block(mapped);
    reused = p != nullptr;
    if (!p) p = memory_release::map_huge(mapped);
    if (!p) return nullptr;
    std::lock_guard lock(g_large_mutex);
    g_large[reinterpret_cast<std::uintptr_t>(p)] = mapped;
    return p;
}

void large_free(void* p, std::size_t mapped) {
    {
        std::lock_guard lock(g_large_mutex);
        g_large.erase(reinterpret_cast<std::uintptr_t>(p));
    }
    memory_release::give_block(p, mapped);
}

void* raw_malloc(void*, std::size_t size) {
    if (size >= memory_release::kMmapThreshold) {
        bool reused;
        if (void* p = large_alloc(size, reused)) return p;
    }
    return g_inner.malloc(g_inner.ctx, size);
}

void* raw_calloc(void*, std::size_t n, std::size_t elsize) {
    std::size_t size;
    if (!__builtin_mul_overflow(n, elsize, &size) && size >= memory_release::kMmapThreshold) {
        bool reused;
        if (void* p = large_alloc(size, reused)) {
            if (reused) std::memset(p, 0, size);  // a new mapping is zero already
            return p;
        }
    }
    return g_inner.calloc(g_inner.ctx, n, elsize);
}

void* raw_realloc(void*, void* ptr, std::size_t size) {
    const std::size_t mapped = large_size(ptr);
    if (!mapped) {
        if (size < memory_release::kMmapThreshold) return g_inner.realloc(g_inner.ctx, ptr, size);
        // Growing past the threshold: the text moves into a large block of ours.
        bool reused;
        void* p = large_alloc(size, reused);
        if (!p) return g_inner.realloc(g_inner.ctx, ptr, size);
        if (ptr) {
            std::memcpy(p, ptr, std::min(malloc_usable_size(ptr), size));
            g_inner.free(g_inner.ctx, ptr);
        }
        return p;
    }
    // One of ours: it stays while the size fits and is not much smaller; otherwise it moves.
    if (size <= mapped && size >= mapped / 4 && size >= memory_release::kMmapThreshold) return ptr;
    void* p = raw_malloc(nullptr, size ? size : 1);
    if (!p) return nullptr;
    std::memcpy(p, ptr, std::min(size, mapped));
    large_free(ptr, mapped);
    return p;
}

void raw_free(void*, void* ptr) {
    if (const std::size_t mapped = large_size(ptr)) {
        large_free(ptr, mapped);
        return;
    }
    g_inner.free(g_inner.ctx, ptr);
}

// pymalloc's arenas (where every small object lives): the first ones, enough for an idle kernel,
// are plain mappings; beyond them, arenas are carved from 2 MB-aligned huge-page blocks, so that
// a result of a million small objects does not fault page by page. A block goes to the
// kept-memory cache as soon as none of its arenas is in use. pymalloc calls these with the GIL
// held.
constexpr std::size_t kHuge = kHugePage;
constexpr std::size_t kPlainArenas = 16;
std::size_t g_plain_arenas = 0;
std::unordered_map<std::uintptr_t, unsigned> g_blocks;  // block address -> bitmask of arenas in use
std::uintptr_t g_open_block = 0;                        // a block with a free slot, if any

void* map_huge_block() {
    if (void* p = memory_release::take_block(kHuge)) return p;
    return memory_release::map_huge(kHuge);
}

void* arena_alloc(void*, std::size_t size) {
    const unsigned per_block = unsigned(kHuge / size);
    if (g_plain_arenas < kPlainArenas || per_block < 2 || per_block > 32 || kHuge % size) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        ++g_plain_arenas;
        return p;
    }
    const unsigned full = per_block == 32 ? ~0u : (1u << per_block) - 1;
    if (!g_open_block || g_blocks[g_open_block] == full) {
        g_open_block = 0;
        for (const auto& [base, used] : g_blocks)
            if (used != full) {
                g_open_block = base;
                break;
            }
        if (!g_open_block) {
            void* block = map_huge_block();
            if (!block) return nullptr;
            g_open_block = reinterpret_cast<std::uintptr_t>(block);
            g_blocks[g_open_block] = 0;
        }
    }
    unsigned& used = g_blocks[g_open_block];
    unsigned slot = 0;
    while (used & (1u << slot)) ++slot;
    used |= 1u << slot;
    return reinterpret_cast<void*>(g_open_block + slot * size);
}

void arena_free(void*, void* ptr, std::size_t size) {
    const auto address = reinterpret_cast<std::uintptr_t>(ptr);
    auto it = g_blocks.find(address & ~(kHuge - 1));
    if (it == g_blocks.end()) {
        munmap(ptr, size);
        --g_plain_arenas;
        return;
    }
    it->second &= ~(1u << ((address - it->first) / size));
    if (it->second) return;
    memory_release::give_block(reinterpret_cast<void*>(it->first), kHuge);
    if (g_open_block == it->first) g_open_block = 0;
    g_blocks.erase(it);
}

}  // namespace

void install_raw_allocator() {
    // The large-block map's lock is held across a fork, so a child never inherits it locked.
    pthread_atfork([] { g_large_mutex.lock(); }, [] { g_large_mutex.unlock(); }, [] { g_large_mutex.unlock(); });
    PyMem_GetAllocator(PYMEM_DOMAIN_RAW, &g_inner);
    PyMemAllocatorEx wrapped{nullptr, raw_malloc, raw_calloc, raw_realloc, raw_free};
    PyMem_SetAllocator(PYMEM_DOMAIN_RAW, &wrapped);
    PyObjectArenaAllocator arenas{nullptr, arena_alloc, arena_free};
    PyObject_SetArenaAllocator(&arenas);
}

}  // namespace gridlet::python_memory
