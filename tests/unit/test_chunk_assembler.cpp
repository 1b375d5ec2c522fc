#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "messaging/chunk_assembler.hpp"
#include "messaging/json_move.hpp"
#include "messaging/json_parse.hpp"
#include "messaging/json_text.hpp"

using namespace gridlet;
using boost::json::object;

namespace {
object piece(const std::string& id, boost::json::value index, boost::json::value total, boost::json::value data) {
    return object{{"type", "chunk"}, {"chunk_id", id}, {"chunk_index", index}, {"total_chunks", total}, {"data", data}};
}

// What the one-shot parse of the joined text gives: the value written out (NaN and the big-integer
// form included), or the error's message.
std::string expected(const std::string& text) {
    boost::system::error_code ec;
    boost::json::value v = json_parse::parse(text, ec);
    return ec ? "error: " + ec.message() : json_text::serialize(v);
}

std::string got(const ChunkAssembler::Reassembled& r) {
    return r.ec ? "error: " + r.ec.message() : json_text::serialize(r.value);
}

// Sends `text` cut at `cuts` (byte offsets, ascending) as one message, pieces in the order of
// `order` (indices); returns what the last piece completed, or "none" if a piece completed early.
std::string reassemble(const std::string& text, const std::vector<std::size_t>& cuts,
                       const std::vector<std::size_t>& order) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t c : cuts) {
        parts.push_back(text.substr(from, c - from));
        from = c;
    }
    parts.push_back(text.substr(from));
    ChunkAssembler a;
    const auto total = std::int64_t(parts.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        auto done = a.add(piece("m", std::int64_t(order[k]), total, parts[order[k]].c_str()));
        if (k + 1 < order.size()) {
            if (done) return "none: completed before its last piece";
        } else {
            if (!done) return "none: not completed";
            if (a.incomplete_count() != 0 || a.buffered_bytes() != 0) return "none: entry left behind";
            return got(*done);
        }
    }
    return "none";
}

std::vector<std::size_t> in_order(std::size_t n) {
    std::vector<std::size_t> v;
    for (std::size_t i = 0; i < n; ++i) v.push_back(i);
    return v;
}

std::vector<std::size_t> reversed(std::size_t n) {
    std::vector<std::size_t> v;
    for (std::size_t i = n; i-- > 0;) v.push_back(i);
    return v;
}

// Texts whose every cut is checked: numbers of every kind, escapes, multi-byte characters, keys,
// nesting, whitespace; the Python dialect (NaN, lone surrogates); and texts that are not JSON.
const std::vector<std::string>& corpus() {
    static const std::vector<std::string> texts = {
        R"({"type":"custom_function_call","args":[[0.10000000000000001,-2.5e-300,1E+308,123456789012345678901234567890],[-0,18446744073709551615,-9223372036854775809,7]]})",
        "{\"s\":\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\",\"e\":\"\\u00e9\\ud83d\\ude00\\n\\\"\\\\\\/\\t\",\"k\\u0041\":[true,false,null]}",
        " \n[ 1 , { \"a\" : [ ] , \"b\" : { } } , \"\" ]\r\n\t ",
        R"({"a":1,"a":2,"b":{"c":[1e400,-1e400,1e-400,0.30000000000000004]}})",
        "12345678901234567890123",
        "-1.5e10",
        R"({"n":[NaN,Infinity,-Infinity],"s":"\ud800x\udfff","k":{"\udc80":1}})",
        "[\"a\xED\xA0\xBD\xED\xB8\x80b\"]",  // raw surrogate halves, as pieces cut between them join
        R"({"a":[1,2,}])",
        R"({"a":1} x)",
        R"({"a":"unterminated)",
        R"({"a":tru})",
        "[1,2",
        "",
        "[\"\\uZZZZ\"]",
        "[01]",
    };
    return texts;
}

}  // namespace

TEST(ChunkAssembler, ReassemblesInAnyOrderAndIgnoresDuplicates) {
    ChunkAssembler a;
    EXPECT_FALSE(a.add(piece("x", 2, 3, "3]")));
    EXPECT_FALSE(a.add(piece("x", 2, 3, "IGNORED")));  // first arrival wins, does not complete
    EXPECT_FALSE(a.add(piece("x", 0, 3, "[1,")));
    auto whole = a.add(piece("x", 1, 3, "2,"));
    ASSERT_TRUE(whole);
    EXPECT_FALSE(whole->ec);
    EXPECT_EQ(whole->value, boost::json::parse("[1,2,3]"));
    EXPECT_EQ(a.incomplete_count(), 0u);
    EXPECT_EQ(a.buffered_bytes(), 0u);
}

TEST(ChunkAssembler, DuplicateDoesNotCompleteTwoPieceMessage) {
    ChunkAssembler a;
    EXPECT_FALSE(a.add(piece("d", 0, 2, "[1")));
    EXPECT_FALSE(a.add(piece("d", 0, 2, "[1")));
    EXPECT_EQ(a.incomplete_count(), 1u);
    auto whole = a.add(piece("d", 1, 2, "]"));
    ASSERT_TRUE(whole);
    EXPECT_EQ(got(*whole), "[1]");
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
    // Pieces already read by the parser still count until their message completes or is dropped.
    EXPECT_EQ(a.buffered_bytes(), 1u);
    auto whole = a.add(piece("e", 1, 2, "2"), t0 + std::chrono::seconds(30));
    ASSERT_TRUE(whole);
    EXPECT_EQ(got(*whole), "12");
    EXPECT_EQ(a.buffered_bytes(), 0u);
}

TEST(ChunkAssembler, NullDataLeavesTheMessageIncomplete) {
    ChunkAssembler a;
    EXPECT_FALSE(a.add(piece("n", 0, 2, nullptr)));
    EXPECT_FALSE(a.add(piece("n", 1, 2, "b")));
    EXPECT_EQ(a.incomplete_count(), 0u);
    // The same with the null piece after pieces the parser has already read.
    EXPECT_FALSE(a.add(piece("m", 0, 3, "[1,")));
    EXPECT_FALSE(a.add(piece("m", 1, 3, nullptr)));
    EXPECT_FALSE(a.add(piece("m", 2, 3, "2]")));
    EXPECT_EQ(a.incomplete_count(), 0u);
    EXPECT_EQ(a.buffered_bytes(), 0u);
}

TEST(ChunkAssembler, IndexBeyondFirstPiecesTotalIsRefused) {
    ChunkAssembler a;
    EXPECT_FALSE(a.add(piece("t", 0, 2, "\"a")));
    EXPECT_FALSE(a.add(piece("t", 4, 5, "e")));
    auto whole = a.add(piece("t", 1, 2, "b\""));
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->value, "ab");
}

TEST(ChunkAssembler, DataIsMovedOutOfThePieceNotCopied) {
    ChunkAssembler a;
    object first = piece("p", 0, 2, "[\"0123456789012345678901234567890123456789");
    EXPECT_FALSE(a.add(first));
    EXPECT_TRUE(first.at("data").as_string().empty());
    EXPECT_EQ(first.at("chunk_id"), "p");  // what dispatch logs afterwards stays
    EXPECT_EQ(a.buffered_bytes(), 42u);
    // A text the fast parser refuses (NaN) is read again from the kept pieces.
    auto whole = a.add(piece("p", 1, 2, "\",NaN]"));
    ASSERT_TRUE(whole);
    EXPECT_EQ(got(*whole), expected("[\"0123456789012345678901234567890123456789\",NaN]"));
}

TEST(ChunkAssembler, EveryCutGivesWhatTheWholeTextParsesTo) {
    // Two pieces cut at every byte (inside numbers, escapes, UTF-8 sequences, literals, whitespace),
    // in order and reversed; the value, or the error reported, is the one-shot parse's.
    for (const std::string& text : corpus()) {
        const std::string want = expected(text);
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            SCOPED_TRACE(text + " cut at " + std::to_string(cut));
            EXPECT_EQ(reassemble(text, {cut}, in_order(2)), want);
            EXPECT_EQ(reassemble(text, {cut}, reversed(2)), want);
        }
    }
}

TEST(ChunkAssembler, ManySmallPiecesInEveryArrivalPatternGiveTheSameValue) {
    for (const std::string& text : corpus()) {
        const std::string want = expected(text);
        for (std::size_t width : {1u, 2u, 3u, 7u}) {
            std::vector<std::size_t> cuts;
            for (std::size_t c = width; c < text.size(); c += width) cuts.push_back(c);
            const std::size_t n = cuts.size() + 1;
            SCOPED_TRACE(text + " in pieces of " + std::to_string(width));
            EXPECT_EQ(reassemble(text, cuts, in_order(n)), want);
            EXPECT_EQ(reassemble(text, cuts, reversed(n)), want);
            // A gap that fills late: every second piece first, then the rest.
            std::vector<std::size_t> odd_first;
            for (std::size_t i = 1; i < n; i += 2) odd_first.push_back(i);
            for (std::size_t i = 0; i < n; i += 2) odd_first.push_back(i);
            EXPECT_EQ(reassemble(text, cuts, odd_first), want);
        }
    }
}

TEST(ChunkAssembler, ParseErrorFoundEarlyIsReportedOnlyWhenTheMessageCompletes) {
    ChunkAssembler a;
    EXPECT_FALSE(a.add(piece("e", 0, 4, "{\"a\":]")));  // already not JSON
    EXPECT_FALSE(a.add(piece("e", 1, 4, "xyz")));
    EXPECT_FALSE(a.add(piece("e", 3, 4, "}")));
    EXPECT_EQ(a.incomplete_count(), 1u);
    auto done = a.add(piece("e", 2, 4, "1"));
    ASSERT_TRUE(done);
    EXPECT_TRUE(done->ec);
    EXPECT_TRUE(done->value.is_null());
    EXPECT_EQ(got(*done), expected("{\"a\":]xyz1}"));
    EXPECT_EQ(a.incomplete_count(), 0u);
    EXPECT_EQ(a.buffered_bytes(), 0u);
    // Extra text after a complete value, in a later piece; and a text that stops short.
    EXPECT_EQ(reassemble("{\"a\":1}   x", {8}, in_order(2)), expected("{\"a\":1}   x"));
    EXPECT_EQ(reassemble("{\"a\":1}   x", {8}, in_order(2)), "error: extra data");
    EXPECT_EQ(reassemble("{\"a\":[1", {4}, in_order(2)), expected("{\"a\":[1"));
}

TEST(ChunkAssembler, SeveralPiecesAreBuiltInASharedArenaThatOutlivesTheAssembler) {
    boost::json::value args;  // as a handler's call record holds them, made with the default storage
    {
        ChunkAssembler a;
        EXPECT_FALSE(a.add(piece("big", 0, 2, "{\"type\":\"custom_function_call\",\"args\":[[1.5,\"")));
        auto done = a.add(piece("big", 1, 2, "text\",{\"k\":[2,3]}]]}"));
        ASSERT_TRUE(done);
        ASSERT_FALSE(done->ec);
        EXPECT_TRUE(done->value.storage().is_shared());
        // What dispatch and a handler do with it: move the object on, then take the args out of it.
        boost::json::object message = std::move(done->value.get_object());
        boost::json::value* in_message = message.if_contains("args");
        const boost::json::value* elements = in_message->get_array().data();
        json_move::take(args, *in_message);
        EXPECT_TRUE(in_message->is_null());
        EXPECT_EQ(args.get_array().data(), elements);
        EXPECT_TRUE(args.storage().is_shared());  // taken over, not copied into the default storage
    }
    // The assembler and the message are gone; the arena lives on with the args.
    EXPECT_EQ(json_text::serialize(args), "[[1.5,\"text\",{\"k\":[2,3]}]]");
    // A message of one piece is small: default storage, as any single frame.
    ChunkAssembler a;
    auto one = a.add(piece("one", 0, 1, "{\"type\":\"x\"}"));
    ASSERT_TRUE(one);
    EXPECT_FALSE(one->value.storage().is_shared());
    EXPECT_EQ(one->value.at("type"), "x");
}

TEST(ChunkAssembler, ReassembledChunkMessageIsReturnedForDispatchToRefuse) {
    // Nesting is refused by dispatch (it logs the chunk_id); the assembler hands the value over.
    ChunkAssembler a;
    EXPECT_FALSE(a.add(piece("n", 0, 2, "{\"type\":\"chu")));
    auto done = a.add(piece("n", 1, 2, "nk\",\"chunk_id\":\"inner\"}"));
    ASSERT_TRUE(done);
    EXPECT_EQ(done->value.at("type"), "chunk");
}
