#include "kernel/python_memory.hpp"

#include <Python.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <unordered_map>

#include "util/memory_release.hpp"

namespace gridlet::python_memory {
namespace {

PyMemAllocatorEx g_inner;  // the allocator Python had before

void* raw_malloc(void*, std::size_t size) {
    void* p = g_inner.malloc(g_inner.ctx, size);
    memory_release::advise_huge_pages(p, size);
    return p;
}

void* raw_calloc(void*, std::size_t n, std::size_t elsize) {
    void* p = g_inner.calloc(g_inner.ctx, n, elsize);
    memory_release::advise_huge_pages(p, n * elsize);  // a block that large is fresh zero pages: nothing touched yet
    return p;
}

void* raw_realloc(void*, void* ptr, std::size_t size) {
    void* p = g_inner.realloc(g_inner.ctx, ptr, size);
    memory_release::advise_huge_pages(p, size);
    return p;
}

void raw_free(void*, void* ptr) { g_inner.free(g_inner.ctx, ptr); }

// pymalloc's arenas (where every small object lives): the first ones, enough for an idle kernel,
// are plain mappings; beyond them, arenas are carved from 2 MB-aligned huge-page blocks, so that
// a result of a million small objects does not fault page by page. A block is unmapped as soon as
// none of its arenas is in use. pymalloc calls these with the GIL held.
constexpr std::size_t kHuge = std::size_t(2) << 20;
constexpr std::size_t kPlainArenas = 16;
std::size_t g_plain_arenas = 0;
std::unordered_map<std::uintptr_t, unsigned> g_blocks;  // block address -> bitmask of arenas in use
std::uintptr_t g_open_block = 0;                        // a block with a free slot, if any

void* map_huge_block() {
    void* p = mmap(nullptr, 2 * kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (begin + kHuge - 1) & ~(kHuge - 1);
    if (aligned > begin) munmap(p, aligned - begin);
    if (begin + 2 * kHuge > aligned + kHuge)
        munmap(reinterpret_cast<void*>(aligned + kHuge), begin + 2 * kHuge - aligned - kHuge);
    madvise(reinterpret_cast<void*>(aligned), kHuge, MADV_HUGEPAGE);  // aligned: the whole block
    return reinterpret_cast<void*>(aligned);
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
    munmap(reinterpret_cast<void*>(it->first), kHuge);
    if (g_open_block == it->first) g_open_block = 0;
    g_blocks.erase(it);
}

}  // namespace

void install_raw_allocator() {
    PyMem_GetAllocator(PYMEM_DOMAIN_RAW, &g_inner);
    PyMemAllocatorEx wrapped{nullptr, raw_malloc, raw_calloc, raw_realloc, raw_free};
    PyMem_SetAllocator(PYMEM_DOMAIN_RAW, &wrapped);
    PyObjectArenaAllocator arenas{nullptr, arena_alloc, arena_free};
    PyObject_SetArenaAllocator(&arenas);
}

}  // namespace gridlet::python_memory
