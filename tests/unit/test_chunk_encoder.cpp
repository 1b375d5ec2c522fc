#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <random>

#include "messaging/chunk_encoder.hpp"
#include "messaging/constants.hpp"
#include "messaging/json_text.hpp"
#include "util/utf8.hpp"
#include "ws_frames.hpp"

using namespace gridlet;

namespace {

// The straightforward way: count the characters, cut the text every `chunk_size` of them with a
// second scan, and write each chunk message with the ordinary JSON writer.
std::vector<std::string> oracle(std::string_view json, const MessageInfo& info, const std::string& chunk_id,
                                std::size_t chunk_size) {
    const std::size_t chars = utf8::count_code_points(json);
    if (chars <= chunk_size) return {std::string(json)};
    const std::size_t total = (chars + chunk_size - 1) / chunk_size;
    std::vector<std::string> out;
    std::string_view rest = json;
    for (std::size_t i = 0; i < total; ++i) {
        std::size_t cut = utf8::offset_of_code_point(rest, chunk_size);
        std::string msg;
        json_text::ObjectWriter w(msg);
        w.str("type", "chunk")
            .str("chunk_id", chunk_id)
            .integer("chunk_index", std::int64_t(i))
            .integer("total_chunks", std::int64_t(total))
            .str("data", rest.substr(0, cut))
            .str("original_type", info.type)
            .raw("request_id", info.request_id_json.empty() ? std::string_view("\"N/A\"") : info.request_id_json);
        w.close();
        rest.remove_prefix(cut);
        out.push_back(std::move(msg));
    }
    return out;
}

// Payloads of the frames in `wire`; fails the test unless every header is a masked FIN text frame
// whose length takes the fewest bytes (RFC 6455).
std::vector<std::string> unframe(const std::string& wire) {
    bool headers_ok = true;
    auto frames = test_support::decode_client_frames(wire, &headers_ok);
    EXPECT_TRUE(headers_ok);
    std::size_t at = 0;
    for (const auto& f : frames) {
        const unsigned len7 = static_cast<unsigned char>(wire[at + 1]) & 0x7F;
        const unsigned expected = f.size() < 126 ? unsigned(f.size()) : f.size() <= 0xFFFF ? 126u : 127u;
        EXPECT_EQ(len7, expected) << "payload of " << f.size() << " bytes";
        at += 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + 4 + f.size();
    }
    EXPECT_EQ(at, wire.size());
    return frames;
}

// (Read from the text: a JSON reader would refuse the \udXXX escapes of lone surrogates.)
std::string chunk_id_of(const std::vector<std::string>& frames) {
    if (frames.size() < 2) return "";
    const std::string key = "\"chunk_id\":\"";
    const auto at = frames[0].find(key);
    return at == std::string::npos ? "" : frames[0].substr(at + key.size(), 36);
}

// Encodes `text` split as given and checks it against the oracle; returns the payloads.
std::vector<std::string> check(const MessageText& text, std::size_t chunk_size,
                               const MessageInfo& info = {"t", "\"r\""}) {
    std::string whole;
    for (const auto& p : text.parts) whole += p;
    std::string wire;
    chunk_encoder::encode(text, info, wire, nullptr, chunk_size);
    auto frames = unframe(wire);
    EXPECT_EQ(frames, oracle(whole, info, chunk_id_of(frames), chunk_size));
    return frames;
}

// One character of each UTF-8 length, and the escapes a chunk's data may need.
const std::vector<std::string> kPieces = {
    "a",
    "\xC3\xA9",
    "\xE2\x82\xAC",
    "\xF0\x9F\x98\x80",  // a é € 😀
    "\"",
    "\\",
    "\n",
    std::string(1, '\x01'),
    "\x1F",
    "\xED\xA0\x80",  // a lone surrogate in three-byte form: \ud800
    "\xED\x9F\xBF",  // U+D7FF, an ordinary character with the same lead byte
};

std::string random_text(std::mt19937& rng, std::size_t chars) {
    std::string s;
    std::uniform_int_distribution<std::size_t> pick(0, kPieces.size() - 1);
    std::uniform_int_distribution<int> plain(0, 3);
    for (std::size_t i = 0; i < chars; ++i) s += plain(rng) ? kPieces[0] : kPieces[pick(rng)];
    return s;
}

struct Collect : FrameSink {
    std::vector<std::string> buffers;
    void emit(std::string&& frames) override { buffers.push_back(std::move(frames)); }
};

}  // namespace

TEST(ChunkEncoder, CutsBetweenCharactersOfEveryLengthAndAroundEveryEscape) {
    // Each kind of character at every position relative to a cut, in runs of plain text long
    // enough for the eight-byte steps.
    for (std::size_t chunk_size : {5u, 8u, 9u, 16u, 17u}) {
        for (const auto& piece : kPieces) {
            for (std::size_t lead = 0; lead < 2 * chunk_size + 3; ++lead) {
                std::string text = std::string(lead, 'x') + piece + std::string(3 * chunk_size, 'y') + piece + piece;
                SCOPED_TRACE("chunk_size " + std::to_string(chunk_size) + ", lead " + std::to_string(lead));
                check(text, chunk_size);
            }
        }
    }
}

TEST(ChunkEncoder, RandomTextsInRandomPiecesMatchTheStraightforwardWay) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; ++round) {
        const std::size_t chars = std::uniform_int_distribution<std::size_t>(0, 400)(rng);
        const std::size_t chunk_size = std::uniform_int_distribution<std::size_t>(1, 70)(rng);
        std::string text = random_text(rng, chars);
        // Split anywhere, also inside a character: the pieces are one text.
        std::uniform_int_distribution<std::size_t> at(0, text.size());
        std::size_t a = at(rng), b = at(rng);
        if (a > b) std::swap(a, b);
        std::string_view v(text);
        SCOPED_TRACE("round " + std::to_string(round));
        check(MessageText(v.substr(0, a), v.substr(a, b - a), v.substr(b)), chunk_size);
    }
}

TEST(ChunkEncoder, ExactChunkCountAtTheRealChunkSize) {
    // 65536 characters: one frame carrying the text itself. 65537: two chunks.
    std::string head = R"({"type":"t","p":")";
    std::string at_limit = head + std::string(CHUNK_SIZE - head.size() - 2, 'x') + "\"}";
    ASSERT_EQ(utf8::count_code_points(at_limit), CHUNK_SIZE);
    auto one = check(at_limit, CHUNK_SIZE);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], at_limit);

    // Multi-byte characters: bytes far above the limit, characters exactly at it.
    std::string wide = head;
    for (std::size_t i = head.size(); i < CHUNK_SIZE - 2; ++i) wide += "\xF0\x9F\x98\x80";
    wide += "\"}";
    ASSERT_EQ(utf8::count_code_points(wide), CHUNK_SIZE);
    EXPECT_EQ(check(wide, CHUNK_SIZE).size(), 1u);

    std::string over = head + std::string(CHUNK_SIZE - head.size() - 1, 'x') + "\"}";
    auto two =
        check(MessageText(head, std::string_view(over).substr(head.size(), over.size() - head.size() - 2), "\"}"),
              CHUNK_SIZE, {"execution_result", ""});
    ASSERT_EQ(two.size(), 2u);
    auto last = boost::json::parse(two[1]).as_object();
    EXPECT_EQ(last.at("total_chunks").as_int64(), 2);
    EXPECT_EQ(last.at("chunk_index").as_int64(), 1);
    EXPECT_EQ(last.at("data").as_string(), "}");
    EXPECT_EQ(last.at("original_type").as_string(), "execution_result");
    EXPECT_EQ(last.at("request_id").as_string(), "N/A");
    std::string joined;
    for (const auto& f : two) joined += boost::json::parse(f).as_object().at("data").as_string();
    EXPECT_EQ(joined, over);
}

TEST(ChunkEncoder, LargeNonAsciiTextAtTheRealChunkSizeWithASink) {
    std::mt19937 rng(7);
    std::string body = random_text(rng, 7000000);  // more than one sink buffer of frames
    std::string head = R"({"type":"execution_result","result":")", tail = "\"}";
    MessageText text(head, body, tail);
    const MessageInfo info{"execution_result", "\"id-1\""};

    Collect sink;
    std::string rest;
    chunk_encoder::encode(text, info, rest, &sink);
    std::string wire;
    for (const auto& b : sink.buffers) {
        EXPECT_GE(b.size(), chunk_encoder::kBufferBytes);
        EXPECT_FALSE(unframe(b).empty()) << "each buffer holds whole frames";
        wire += b;
    }
    EXPECT_FALSE(sink.buffers.empty());
    wire += rest;
    auto frames = unframe(wire);
    EXPECT_EQ(frames, oracle(head + body + tail, info, chunk_id_of(frames), CHUNK_SIZE));
}

TEST(ChunkEncoder, ShortMessagesAreOneFrameFromTheirPieces) {
    for (std::size_t n : {0u, 1u, 125u, 126u, 127u, 65535u, 65536u}) {
        std::string body(n > 3 ? n - 3 : 0, 'z');
        std::string wire;
        chunk_encoder::encode(MessageText("[", body, "]"), {"t", {}}, wire, nullptr, 1u << 20);
        auto frames = unframe(wire);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0], "[" + body + "]");
    }
}
