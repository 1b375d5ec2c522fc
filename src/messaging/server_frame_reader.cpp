#include "messaging/server_frame_reader.hpp"

#include <boost/beast/websocket/error.hpp>

#include <algorithm>
#include <cstring>

#include "util/utf8.hpp"

namespace gridlet {
namespace websocket = boost::beast::websocket;

namespace {

constexpr std::uint16_t kProtocolError = 1002;
constexpr std::uint16_t kBadPayload = 1007;
constexpr std::uint16_t kTooBig = 1009;

bool valid_close_code(std::uint16_t code) {
    if (code >= 1000 && code <= 1013) return code != 1004 && code != 1005 && code != 1006;
    return code >= 3000 && code <= 4999;
}

}  // namespace

bool Utf8Checker::feed(std::string_view bytes, std::size_t& code_points) noexcept {
    auto p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto end = p + bytes.size();
    while (p < end) {
        if (need_ == 0) {
            // Plain ASCII, eight bytes at a time.
            while (end - p >= 8) {
                std::uint64_t w;
                std::memcpy(&w, p, 8);
                if (w & 0x8080808080808080ull) break;
                p += 8;
                code_points += 8;
            }
            if (p == end) break;
            const unsigned c = *p++;
            ++code_points;
            if (c < 0x80) continue;
            utf8::Lead lead;
            if (!utf8::classify_lead(static_cast<unsigned char>(c), lead)) return false;
            need_ = lead.continuations;
            lo_ = lead.lo;
            hi_ = lead.hi;
        } else {
            const unsigned c = *p++;
            if (c < lo_ || c > hi_) return false;
            --need_;
            lo_ = 0x80;
            hi_ = 0xBF;
        }
    }
    return true;
}

ServerFrameReader::Step ServerFrameReader::fail(boost::system::error_code ec, std::uint16_t code) {
    failed_ = true;
    Step s;
    s.kind = Kind::error;
    s.error = ec;
    s.close_code = code;
    return s;
}

ServerFrameReader::Step ServerFrameReader::next(std::string_view input) {
    if (failed_) return fail(websocket::error::closed, 0);
    if (in_frame_) return piece(input, 0);
    if (input.size() < 2) return {};
    const auto b0 = static_cast<unsigned char>(input[0]);
    const auto b1 = static_cast<unsigned char>(input[1]);
    const bool fin = b0 & 0x80;
    const bool reserved = b0 & 0x70;
    const unsigned op = b0 & 0x0F;
    const bool masked = b1 & 0x80;
    const unsigned len7 = b1 & 0x7F;
    std::size_t header = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + (masked ? 4 : 0);
    if (input.size() < header) return {};
    const bool control = op >= 8;
    switch (op) {
        case 0x1:
        case 0x2:
            if (continued_) return fail(websocket::error::bad_data_frame, kProtocolError);
            if (reserved) return fail(websocket::error::bad_reserved_bits, kProtocolError);
            break;
        case 0x0:
            if (!continued_) return fail(websocket::error::bad_continuation, kProtocolError);
            if (reserved) return fail(websocket::error::bad_reserved_bits, kProtocolError);
            break;
        case 0x8:
        case 0x9:
        case 0xA:
            if (!fin) return fail(websocket::error::bad_control_fragment, kProtocolError);
            if (len7 > 125) return fail(websocket::error::bad_control_size, kProtocolError);
            if (reserved) return fail(websocket::error::bad_reserved_bits, kProtocolError);
            break;
        default:
            return fail(websocket::error::bad_opcode, kProtocolError);
    }
    // A server never masks what it sends.
    if (masked) return fail(websocket::error::bad_masked_frame, kProtocolError);
    if (control && input.size() < header + len7) return {};
    std::uint64_t len = len7;
    if (len7 == 126) {
        len = (std::uint64_t(static_cast<unsigned char>(input[2])) << 8) | static_cast<unsigned char>(input[3]);
        if (len < 126) return fail(websocket::error::bad_size, kProtocolError);  // not the shortest form
    } else if (len7 == 127) {
        len = 0;
        for (int i = 0; i < 8; ++i) len = (len << 8) | static_cast<unsigned char>(input[2 + i]);
        if (len < 65536) return fail(websocket::error::bad_size, kProtocolError);
    }
    if (control) {
        Step s;
        s.consumed = header + len;
        s.payload = input.substr(header, len);
        if (op == 0x9) {
            s.kind = Kind::ping;
        } else if (op == 0xA) {
            s.kind = Kind::pong;
        } else {
            s.kind = Kind::close;
            if (len == 1) return fail(websocket::error::bad_close_size, kProtocolError);
            if (len >= 2) {
                s.close_code = std::uint16_t((static_cast<unsigned char>(s.payload[0]) << 8) |
                                             static_cast<unsigned char>(s.payload[1]));
                if (!valid_close_code(s.close_code)) return fail(websocket::error::bad_close_code, kProtocolError);
                Utf8Checker reason;
                std::size_t ignored = 0;
                if (!reason.feed(s.payload.substr(2), ignored) || !reason.complete())
                    return fail(websocket::error::bad_close_payload, kProtocolError);
            }
        }
        return s;
    }
    if (op != 0x0) {
        message_bytes_ = 0;
        text_ = op == 0x1;
        utf8_.reset();
    }
    if (len > kMaxMessageBytes - message_bytes_) return fail(websocket::error::message_too_big, kTooBig);
    message_bytes_ += len;
    remaining_ = len;
    fin_ = fin;
    continued_ = !fin;
    in_frame_ = true;
    return piece(input.substr(header), header);
}

ServerFrameReader::Step ServerFrameReader::piece(std::string_view rest, std::size_t header_bytes) {
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, rest.size()));
    if (k == 0 && remaining_ > 0 && header_bytes == 0) return {};
    Step s;
    s.kind = Kind::data;
    s.payload = rest.substr(0, k);
    s.consumed = header_bytes + k;
    s.text = text_;
    if (text_) {
        if (!utf8_.feed(s.payload, s.characters)) return fail(websocket::error::bad_frame_payload, kBadPayload);
    } else {
        s.characters = utf8::count_code_points(s.payload);
    }
    remaining_ -= k;
    if (remaining_ == 0) {
        in_frame_ = false;
        if (fin_) {
            if (text_ && !utf8_.complete()) return fail(websocket::error::bad_frame_payload, kBadPayload);
            s.message_done = true;
        }
    }
    return s;
}

}  // namespace gridlet
