// The connection URL's path segment, the certificate pin's form and the reading of the server's
// upgrade answer.
#include <gtest/gtest.h>

#include <string>

#include "messaging/connection_settings.hpp"
#include "messaging/upgrade_response.hpp"
#include "messaging/url_path.hpp"

using namespace gridlet;

TEST(PathSegment, UnreservedStayOthersArePercentEncodedUtf8) {
    EXPECT_EQ(encode_path_segment("wb-1_a.b~C9"), "wb-1_a.b~C9");
    EXPECT_EQ(encode_path_segment("Book 1.xlsx"), "Book%201.xlsx");
    EXPECT_EQ(encode_path_segment("Zahlen-\xC3\xA9\xC3\xA8"), "Zahlen-%C3%A9%C3%A8");
    EXPECT_EQ(encode_path_segment("Q1/Sales"), "Q1%2FSales");
    EXPECT_EQ(encode_path_segment("a?b#c"), "a%3Fb%23c");
    EXPECT_EQ(encode_path_segment("%41"), "%2541");
    EXPECT_EQ(encode_path_segment(std::string("a\0b", 3)), "a%00b");
    // Whole dot segments would vanish from the path.
    EXPECT_EQ(encode_path_segment("."), "%2E");
    EXPECT_EQ(encode_path_segment(".."), "%2E%2E");
    EXPECT_EQ(encode_path_segment("..."), "...");
    EXPECT_EQ(encode_path_segment(""), "");
}

TEST(CertificatePin, AcceptsHexWithOrWithoutColonsAndRefusesAnythingElse) {
    const std::string hex = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
    auto pin = parse_pin("sha256:" + hex);
    ASSERT_TRUE(pin);
    EXPECT_EQ((*pin)[0], 0x00);
    EXPECT_EQ((*pin)[10], 0xaa);
    EXPECT_EQ((*pin)[31], 0xff);
    EXPECT_EQ(format_pin(*pin), "sha256:00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    std::string colons;
    for (std::size_t i = 0; i < hex.size(); i += 2) colons += (i ? ":" : "") + hex.substr(i, 2);
    EXPECT_EQ(parse_pin("SHA256:" + colons), pin);
    EXPECT_FALSE(parse_pin(hex));                              // no scheme
    EXPECT_FALSE(parse_pin("sha1:" + hex));                    // other digest
    EXPECT_FALSE(parse_pin("sha256:" + hex.substr(2)));        // 31 bytes
    EXPECT_FALSE(parse_pin("sha256:" + hex + "00"));           // 33 bytes
    EXPECT_FALSE(parse_pin("sha256:" + hex.substr(1) + "g"));  // not hex
    EXPECT_FALSE(parse_pin("sha256:" + hex + ":"));
}

namespace {

std::string feed_in_pieces(UpgradeResponse& r, const std::string& bytes, std::size_t piece) {
    for (std::size_t i = 0; i < bytes.size() && !r.complete(); i += piece)
        r.add(std::string_view(bytes).substr(i, piece));
    return r.compact();
}

}  // namespace

TEST(UpgradeResponse, LargeHeaderIsReducedToTheUpgradeFieldsAndKeepsFollowingFrames) {
    std::string head =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";
    for (int i = 0; i < 30; ++i) head += "Set-Cookie: c" + std::to_string(i) + "=" + std::string(2000, 'x') + "\r\n";
    head += "\r\n";
    const std::string frame = "\x81\x02hi";
    UpgradeResponse r;
    std::string compact = feed_in_pieces(r, head + frame, 1000);
    ASSERT_TRUE(r.complete());
    EXPECT_EQ(r.error(), "");
    EXPECT_EQ(r.status(), 101);
    EXPECT_EQ(compact,
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n" +
                  frame);
}

TEST(UpgradeResponse, RefusalKeepsStatusAndDropsTheBody) {
    UpgradeResponse r;
    feed_in_pieces(r, "HTTP/1.1 401 Unauthorized\r\nContent-Length: 7\r\nWWW-Authenticate: Bearer\r\n\r\nrefused", 5);
    ASSERT_TRUE(r.complete());
    EXPECT_EQ(r.status(), 401);
    EXPECT_EQ(r.reason(), "Unauthorized");
    EXPECT_EQ(r.compact(), "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n");
}

TEST(UpgradeResponse, HeaderAtTheLimitPassesOneByteMoreFails) {
    auto header_of = [](std::size_t total) {
        std::string head = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nX-Pad: ";
        std::string tail = "\r\n\r\n";
        return head + std::string(total - head.size() - tail.size(), 'p') + tail;
    };
    UpgradeResponse at;
    feed_in_pieces(at, header_of(UpgradeResponse::MAX_HEADER_BYTES), 4096);
    EXPECT_TRUE(at.complete());
    EXPECT_EQ(at.error(), "");
    EXPECT_EQ(at.status(), 101);
    UpgradeResponse over;
    feed_in_pieces(over, header_of(UpgradeResponse::MAX_HEADER_BYTES + 1), 4096);
    EXPECT_TRUE(over.complete());
    EXPECT_EQ(over.error(), "the server's response header is larger than 64 KiB");
    UpgradeResponse garbage;
    feed_in_pieces(garbage, "SSH-2.0-OpenSSH\r\n\r\n", 100);
    EXPECT_NE(garbage.error(), "");
}
