#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "util/memory_release.hpp"

using namespace gridlet;

namespace {

// Waits (bounded) until nothing is kept.
bool kept_becomes_empty(std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (memory_release::kept_bytes() != 0) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

TEST(MemoryRelease, LargeBuffersAreReusedThenFreedWhenIdle) {
    memory_release::release_kept();
    const std::size_t large = memory_release::kMmapThreshold + 4096;

    std::string a;
    memory_release::reserve_large(a, large);
    a.assign(100, 'x');
    const char* block = a.data();
    memory_release::recycle(a);
    EXPECT_TRUE(a.empty());
    EXPECT_GE(memory_release::kept_bytes(), large);

    // The next large reservation gets the kept block, keeps what was already written, and the
    // cache is empty again.
    std::string b = "head";
    memory_release::reserve_large(b, large / 2 + memory_release::kMmapThreshold / 2);
    EXPECT_EQ(b.data(), block);
    EXPECT_EQ(b, "head");
    EXPECT_EQ(memory_release::kept_bytes(), 0u);

    // Small buffers are never kept; a kept large one is freed after the idle time.
    std::string small(1000, 'y');
    memory_release::recycle(small);
    EXPECT_EQ(memory_release::kept_bytes(), 0u);
    memory_release::recycle(b);
    EXPECT_GT(memory_release::kept_bytes(), 0u);
    EXPECT_TRUE(kept_becomes_empty(std::chrono::milliseconds(memory_release::kKeepForMs * 20)));
}

TEST(MemoryRelease, KeptBytesStayUnderTheCap) {
    memory_release::release_kept();
    const std::size_t each = memory_release::kMmapThreshold * 2;
    std::vector<std::string> buffers(memory_release::kKeepBytes / each + 3);
    for (auto& s : buffers) memory_release::reserve_large(s, each);
    for (auto& s : buffers) memory_release::recycle(s);
    EXPECT_LE(memory_release::kept_bytes(), memory_release::kKeepBytes);
    EXPECT_GE(memory_release::kept_bytes(), memory_release::kKeepBytes - each);
    memory_release::release_kept();
    EXPECT_EQ(memory_release::kept_bytes(), 0u);
}
