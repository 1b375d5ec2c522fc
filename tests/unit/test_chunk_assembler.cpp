#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "messaging/chunk_assembler.hpp"

using namespace gridlet;
using boost::json::object;

namespace {
object piece(const std::string& id, boost::json::value index, boost::json::value total, boost::json::value data) {
    return object{{"type", "chunk"}, {"chunk_id", id}, {"chunk_index", index}, {"total_chunks", total}, {"data", data}};
}
}  // namespace

TEST(ChunkAssembler, ReassemblesInAnyOrderAndIgnoresDuplicates) {
    ChunkAssembler a;
    EXPECT_FALSE(a.add(piece("x", 2, 3, "c")));
    EXPECT_FALSE(a.add(piece("x", 2, 3, "IGNORED")));  // first arrival wins, does not complete
    EXPECT_FALSE(a.add(piece("x", 0, 3, "a")));
    auto whole = a.add(piece("x", 1, 3, "b"));
    ASSERT_TRUE(whole);
    EXPECT_EQ(*whole, "abc");
    EXPECT_EQ(a.incomplete_count(), 0u);
    EXPECT_EQ(a.buffered_bytes(), 0u);
}

TEST(ChunkAssembler, DuplicateDoesNotCompleteTwoPieceMessage) {
    ChunkAssembler a;
    EXPECT_FALSE(a.add(piece("d", 0, 2, "a")));
    EXPECT_FALSE(a.add(piece("d", 0, 2, "a")));
    EXPECT_EQ(a.incomplete_count(), 1u);
}

TEST(ChunkAssembler, RejectsBadPiecesWithoutCreatingEntries) {
    ChunkAssembler a;
    EXPECT_FALSE(a.add(object{{"chunk_id", "x"}, {"chunk_index", 0}}));  // missing total
    EXPECT_FALSE(a.add(piece("x", 1.0, 2, "a")));                        // not an integer
    EXPECT_FALSE(a.add(piece("x", "0", 2, "a")));
    EXPECT_FALSE(a.add(piece("x", 2, 2, "a")));  // index == total
    EXPECT_FALSE(a.add(piece("x", -1, 2, "a")));
    EXPECT_FALSE(a.add(piece("x", 0, 2, 5)));  // data not text
    EXPECT_EQ(a.incomplete_count(), 0u);
}

TEST(ChunkAssembler, HugeTotalAllocatesNothingAndIsRefusedPastTheCap) {
    ChunkAssembler a({/*max_chunks=*/1000, /*bytes=*/1 << 20, /*incomplete=*/8, std::chrono::seconds(60)});
    EXPECT_FALSE(a.add(piece("h", 0, 1000000000, "a")));
    EXPECT_EQ(a.incomplete_count(), 0u);
    // At the cap the message is accepted (slots come with pieces, not with total_chunks).
    EXPECT_FALSE(a.add(piece("ok", 5, 1000, "a")));
    EXPECT_EQ(a.incomplete_count(), 1u);
    EXPECT_EQ(a.buffered_bytes(), 1u);
}

TEST(ChunkAssembler, BufferedBytesAreBoundedAndIdleMessagesExpire) {
    using Clock = ChunkAssembler::Clock;
    ChunkAssembler a({100, /*bytes=*/10, /*incomplete=*/2, std::chrono::seconds(5)});
    auto t0 = Clock::now();
    EXPECT_FALSE(a.add(piece("a", 0, 2, "123456"), t0));
    EXPECT_FALSE(a.add(piece("b", 0, 2, "123456"), t0));  // would pass 10 bytes: "b" is dropped
    EXPECT_EQ(a.incomplete_count(), 1u);
    EXPECT_EQ(a.buffered_bytes(), 6u);
    EXPECT_FALSE(a.add(piece("c", 0, 2, "1"), t0));
    EXPECT_FALSE(a.add(piece("d", 0, 2, "1"), t0));  // third incomplete message evicts the oldest
    EXPECT_EQ(a.incomplete_count(), 2u);
    EXPECT_FALSE(a.add(piece("e", 0, 2, "1"), t0 + std::chrono::seconds(30)));  // the rest expire
    EXPECT_EQ(a.incomplete_count(), 1u);
}

TEST(ChunkAssembler, NullDataLeavesTheMessageIncomplete) {
    ChunkAssembler a;
    EXPECT_FALSE(a.add(piece("n", 0, 2, nullptr)));
    EXPECT_FALSE(a.add(piece("n", 1, 2, "b")));
    EXPECT_EQ(a.incomplete_count(), 0u);
}

TEST(ChunkAssembler, IndexBeyondFirstPiecesTotalIsRefused) {
    ChunkAssembler a;
    EXPECT_FALSE(a.add(piece("t", 0, 2, "a")));
    EXPECT_FALSE(a.add(piece("t", 4, 5, "e")));
    auto whole = a.add(piece("t", 1, 2, "b"));
    ASSERT_TRUE(whole);
    EXPECT_EQ(*whole, "ab");
}
