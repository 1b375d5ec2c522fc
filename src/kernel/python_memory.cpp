#include "kernel/python_memory.hpp"

#include <Python.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include "util/memory_release.hpp"

namespace gridlet::python_memory {
namespace {

PyMemAllocatorEx g_inner;  // the allocator Python had before

void advise(void* p, std::size_t size) {
    if (!p || size < memory_release::kMmapThreshold) return;
    constexpr std::uintptr_t huge = std::uintptr_t(2) << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    const std::uintptr_t last = (begin + size) & ~(huge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void* raw_malloc(void*, std::size_t size) {
    void* p = g_inner.malloc(g_inner.ctx, size);
    advise(p, size);
    return p;
}

void* raw_calloc(void*, std::size_t n, std::size_t elsize) {
    void* p = g_inner.calloc(g_inner.ctx, n, elsize);
    advise(p, n * elsize);  // a block that large is fresh zero pages: nothing touched yet
    return p;
}

void* raw_realloc(void*, void* ptr, std::size_t size) {
    void* p = g_inner.realloc(g_inner.ctx, ptr, size);
    advise(p, size);
    return p;
}

void raw_free(void*, void* ptr) { g_inner.free(g_inner.ctx, ptr); }

}  // namespace

void install_raw_allocator() {
    PyMem_GetAllocator(PYMEM_DOMAIN_RAW, &g_inner);
    PyMemAllocatorEx wrapped{nullptr, raw_malloc, raw_calloc, raw_realloc, raw_free};
    PyMem_SetAllocator(PYMEM_DOMAIN_RAW, &wrapped);
}

}  // namespace gridlet::python_memory
