#include <gtest/gtest.h>

#include <boost/beast/websocket/error.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "messaging/server_frame_reader.hpp"

using namespace gridlet;
namespace websocket = boost::beast::websocket;
using Kind = ServerFrameReader::Kind;

namespace {

// One frame as a server writes it. `len_bytes` forces the length encoding (0: shortest).
std::string frame(unsigned op, std::string_view payload, bool fin = true, unsigned rsv = 0, bool masked = false,
                  int len_bytes = 0) {
    std::string out;
    out += char((fin ? 0x80 : 0) | (rsv << 4) | op);
    const std::uint64_t n = payload.size();
    if (len_bytes == 0) len_bytes = n < 126 ? 1 : n <= 0xFFFF ? 2 : 8;
    const char mask_bit = masked ? char(0x80) : 0;
    if (len_bytes == 1) {
        out += char(mask_bit | n);
    } else if (len_bytes == 2) {
        out += char(mask_bit | 126);
        out += char(n >> 8);
        out += char(n);
    } else {
        out += char(mask_bit | 127);
        for (int i = 7; i >= 0; --i) out += char(n >> (8 * i));
    }
    if (masked) out += std::string(4, '\0');  // a zero key leaves the payload as it is
    out += payload;
    return out;
}

std::string header_only(unsigned op, std::uint64_t n) {
    std::string out;
    out += char(0x80 | op);
    out += char(127);
    for (int i = 7; i >= 0; --i) out += char(n >> (8 * i));
    return out;
}

struct Outcome {
    std::vector<std::string> events;      // "text:...", "binary:...", "ping:...", "pong:...", "close:<code>"
    std::vector<std::size_t> characters;  // per message
    boost::system::error_code error;
    std::uint16_t close_code = 0;
};

// Feeds `wire` to a reader in the given pieces, the way the connection does: unused bytes stay
// and the next piece is appended behind them whenever the reader needs more.
Outcome run(const std::string& wire, const std::vector<std::size_t>& cuts) {
    Outcome out;
    ServerFrameReader reader;
    std::string buf;
    std::size_t pos = 0, fed = 0, cut = 0;
    std::string message;
    std::size_t chars = 0;
    for (;;) {
        auto s = reader.next(std::string_view(buf).substr(pos));
        pos += s.consumed;
        switch (s.kind) {
            case Kind::need_more: {
                if (fed == wire.size()) return out;
                std::size_t to = cut < cuts.size() ? cuts[cut++] : wire.size();
                buf.erase(0, pos);
                pos = 0;
                buf.append(wire, fed, to - fed);
                fed = to;
                break;
            }
            case Kind::data:
                message.append(s.payload);
                chars += s.characters;
                if (s.message_done) {
                    out.events.push_back((s.text ? "text:" : "binary:") + message);
                    out.characters.push_back(chars);
                    message.clear();
                    chars = 0;
                }
                break;
            case Kind::ping:
                out.events.push_back("ping:" + std::string(s.payload));
                break;
            case Kind::pong:
                out.events.push_back("pong:" + std::string(s.payload));
                break;
            case Kind::close:
                out.events.push_back("close:" + std::to_string(s.close_code));
                break;
            case Kind::error:
                out.error = s.error;
                out.close_code = s.close_code;
                EXPECT_EQ(reader.next("").kind, Kind::error);  // a failed reader stays failed
                return out;
        }
    }
}

Outcome run(const std::string& wire) { return run(wire, {}); }

}  // namespace

TEST(ServerFrameReader, JoinsFragmentsAroundControlFrames) {
    const std::string wire = frame(0x1, "{\"a\":", false) + frame(0x9, "hb") + frame(0x0, "1", false) + frame(0xA, "") +
                             frame(0x0, "}") + frame(0x2, "raw") + frame(0x8, "");
    auto out = run(wire);
    EXPECT_FALSE(out.error);
    EXPECT_EQ(out.events, (std::vector<std::string>{"ping:hb", "pong:", "text:{\"a\":1}", "binary:raw", "close:0"}));
}

TEST(ServerFrameReader, EveryLengthEncodingAndEmptyMessages) {
    for (std::size_t n : {0u, 1u, 125u, 126u, 127u, 65535u, 65536u, 300000u}) {
        std::string payload(n, 'x');
        auto out = run(frame(0x1, payload) + frame(0x1, ""));
        ASSERT_FALSE(out.error) << n;
        ASSERT_EQ(out.events.size(), 2u) << n;
        EXPECT_EQ(out.events[0], "text:" + payload);
        EXPECT_EQ(out.characters[0], n);
        EXPECT_EQ(out.events[1], "text:");
    }
}

TEST(ServerFrameReader, SameResultWhateverTheReadBoundaries) {
    // A character of every UTF-8 length, one cut inside a sequence at a fragment boundary.
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    const std::string wire = frame(0x1, text.substr(0, 4), false) + frame(0x9, "p") + frame(0x0, text.substr(4)) +
                             frame(0x1, std::string(300, 'y')) + frame(0x2, "\xFF\x00", true) + frame(0xA, "q") +
                             frame(0x8, std::string("\x03\xE9", 2) + "bye");
    const auto whole = run(wire);
    ASSERT_FALSE(whole.error);
    ASSERT_EQ(whole.events.size(), 6u);
    EXPECT_EQ(whole.events[1], "text:" + text);
    EXPECT_EQ(whole.characters[0], 5u);
    EXPECT_EQ(whole.events.back(), "close:1001");
    for (std::size_t i = 1; i < wire.size(); ++i) {
        auto two = run(wire, {i});
        EXPECT_EQ(two.events, whole.events) << "split at " << i;
        EXPECT_EQ(two.characters, whole.characters) << "split at " << i;
        EXPECT_FALSE(two.error) << "split at " << i;
    }
    std::vector<std::size_t> bytewise;
    for (std::size_t i = 1; i < wire.size(); ++i) bytewise.push_back(i);
    auto one_by_one = run(wire, bytewise);
    EXPECT_EQ(one_by_one.events, whole.events);
    EXPECT_EQ(one_by_one.characters, whole.characters);
}

TEST(ServerFrameReader, ProtocolViolationsFailWithTheirCloseCode) {
    struct Case {
        const char* what;
        std::string wire;
        websocket::error error;
        std::uint16_t code;
    };
    std::vector<Case> cases = {
        {"masked frame", frame(0x1, "hi", true, 0, true), websocket::error::bad_masked_frame, 1002},
        {"reserved bit on data", frame(0x1, "hi", true, 4), websocket::error::bad_reserved_bits, 1002},
        {"reserved bit on continuation", frame(0x1, "a", false) + frame(0x0, "b", true, 1),
         websocket::error::bad_reserved_bits, 1002},
        {"reserved bit on control", frame(0x9, "", true, 2), websocket::error::bad_reserved_bits, 1002},
        {"fragmented control", frame(0x9, "", false), websocket::error::bad_control_fragment, 1002},
        {"control over 125 bytes", frame(0xA, std::string(126, 'p')), websocket::error::bad_control_size, 1002},
        {"continuation without a message", frame(0x0, "x"), websocket::error::bad_continuation, 1002},
        {"new message inside a fragmented one", frame(0x1, "a", false) + frame(0x1, "b"),
         websocket::error::bad_data_frame, 1002},
        {"16-bit length not shortest", frame(0x1, "short", true, 0, false, 2), websocket::error::bad_size, 1002},
        {"64-bit length not shortest", frame(0x1, std::string(200, 'l'), true, 0, false, 8), websocket::error::bad_size,
         1002},
        {"invalid byte", frame(0x1, "ok\xFF"), websocket::error::bad_frame_payload, 1007},
        {"overlong form", frame(0x1, "\xC0\x80"), websocket::error::bad_frame_payload, 1007},
        {"overlong three-byte form", frame(0x1, "\xE0\x80\x80"), websocket::error::bad_frame_payload, 1007},
        {"surrogate", frame(0x1, "\xED\xA0\x80"), websocket::error::bad_frame_payload, 1007},
        {"past U+10FFFF", frame(0x1, "\xF4\x90\x80\x80"), websocket::error::bad_frame_payload, 1007},
        {"sequence cut at the message end", frame(0x1, "\xE2\x82", false) + frame(0x0, ""),
         websocket::error::bad_frame_payload, 1007},
        {"close with one byte", frame(0x8, "\x03"), websocket::error::bad_close_size, 1002},
        {"reserved close code", frame(0x8, "\x03\xED"), websocket::error::bad_close_code, 1002},  // 1005
        {"close code below 1000", frame(0x8, std::string("\x03\xE7", 2)), websocket::error::bad_close_code, 1002},
        {"close reason not UTF-8", frame(0x8, std::string("\x03\xE8\xFF", 3)), websocket::error::bad_close_payload,
         1002},
        {"message over the size limit", header_only(0x2, ServerFrameReader::kMaxMessageBytes + 1),
         websocket::error::message_too_big, 1009},
    };
    for (unsigned op : {3u, 4u, 5u, 6u, 7u, 0xBu, 0xCu, 0xDu, 0xEu, 0xFu})
        cases.push_back({"unknown opcode", frame(op, ""), websocket::error::bad_opcode, 1002});
    for (const auto& c : cases) {
        auto out = run(c.wire);
        EXPECT_EQ(out.error, make_error_code(c.error)) << c.what;
        EXPECT_EQ(out.close_code, c.code) << c.what;
    }
    // A text message's invalid byte is found however the bytes arrive.
    const std::string bad = frame(0x1, "abc\xC3", false) + frame(0x0, "(");
    for (std::size_t i = 1; i < bad.size(); ++i)
        EXPECT_EQ(run(bad, {i}).error, make_error_code(websocket::error::bad_frame_payload)) << i;
    // Binary messages are not checked as text.
    EXPECT_FALSE(run(frame(0x2, "\xFF\xC0")).error);
}

TEST(Utf8Checker, CountsCodePointsAcrossPieces) {
    Utf8Checker c;
    std::size_t n = 0;
    EXPECT_TRUE(c.feed("plain ascii text longer than eight", n));
    EXPECT_EQ(n, 34u);
    n = 0;
    EXPECT_TRUE(c.feed("\xF0\x9F", n));
    EXPECT_FALSE(c.complete());
    EXPECT_TRUE(c.feed("\x98\x80\xC3\xA9", n));
    EXPECT_TRUE(c.complete());
    EXPECT_EQ(n, 2u);
    EXPECT_FALSE(c.feed("\x80", n));  // a continuation byte with nothing open
}
