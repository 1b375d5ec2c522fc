#pragma once
// Reads the frames a WebSocket server sends (RFC 6455, no extensions) out of the bytes the
// connection has buffered, without copying them: every step says how many bytes it used, and the
// caller offers the rest again (with more appended after a socket read) for the next step. A
// data frame is handed out in pieces as its payload arrives, so a frame larger than the buffer
// never needs to fit in it; a control frame is handed out whole.
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace gridlet {

// Incremental UTF-8 check (a sequence may be split across pieces), counting code points.
class Utf8Checker {
public:
    // False at the first byte that cannot be UTF-8; `code_points` grows by the lead bytes seen.
    bool feed(std::string_view bytes, std::size_t& code_points) noexcept;
    // No sequence is left open.
    bool complete() const noexcept { return need_ == 0; }
    void reset() noexcept { need_ = 0; }

private:
    unsigned need_ = 0;                    // continuation bytes still expected
    unsigned char lo_ = 0x80, hi_ = 0xBF;  // range of the next continuation byte
};

class ServerFrameReader {
public:
    // A message larger than this fails the connection (close code 1009).
    static constexpr std::uint64_t kMaxMessageBytes = std::uint64_t(1) << 40;

    enum class Kind {
        need_more,  // the input holds no complete step: read more and call again with it
        data,       // `payload` is the next piece of the current message
        ping,
        pong,
        close,  // the peer's close frame (`close_code` 0 when it gave none)
        error,  // the peer broke the protocol: fail the connection with `close_code`
    };
    struct Step {
        Kind kind = Kind::need_more;
        std::size_t consumed = 0;    // input bytes this step used
        std::string_view payload;    // points into the input
        bool message_done = false;   // data: this piece ends the message
        bool text = false;           // data: the message is a text message
        std::size_t characters = 0;  // data: code points in the piece (lead bytes, for binary too)
        std::uint16_t close_code = 0;
        boost::system::error_code error;
    };

    Step next(std::string_view input);

private:
    Step fail(boost::system::error_code ec, std::uint16_t code);
    Step piece(std::string_view input, std::size_t header_bytes);

    std::uint64_t remaining_ = 0;  // payload bytes of the current data frame not handed out yet
    std::uint64_t message_bytes_ = 0;
    bool in_frame_ = false;   // a data frame's payload is being handed out
    bool fin_ = false;        // that frame ends its message
    bool continued_ = false;  // a fragmented message is open: the next data frame continues it
    bool text_ = false;
    bool failed_ = false;
    Utf8Checker utf8_;
};

}  // namespace gridlet
