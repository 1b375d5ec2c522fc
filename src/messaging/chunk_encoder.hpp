#pragma once
// Turns one outgoing message into its finished WebSocket frames: one masked text frame, or, when
// the text is longer than CHUNK_SIZE characters, the masked frames of its chunk messages. The text
// comes as a few consecutive pieces (a reply's head, a large result's JSON, the reply's tail) that
// are never joined: each chunk's `data` is escaped in one pass over them, cut at code points as
// the pass goes, into a small reused scratch buffer, and then copied masked behind its header.
// GIL-free; runs on the posting thread, outside the write queue's lock.
#include <cstddef>
#include <string>
#include <string_view>

#include "messaging/constants.hpp"

namespace gridlet {

struct MessageInfo {
    std::string_view type;             // for logs and chunk headers
    std::string_view request_id_json;  // JSON text of the request id for chunk headers ("\"N/A\"" if none)
};

// The JSON text of one message as up to three consecutive pieces.
struct MessageText {
    std::string_view parts[3];

    MessageText() = default;
    MessageText(std::string_view whole) : parts{whole, {}, {}} {}
    MessageText(const std::string& whole) : parts{whole, {}, {}} {}
    MessageText(const char* whole) : parts{whole, {}, {}} {}
    MessageText(std::string_view head, std::string_view body, std::string_view tail) : parts{head, body, tail} {}

    std::size_t size() const { return parts[0].size() + parts[1].size() + parts[2].size(); }
    bool empty() const { return size() == 0; }
};

// Receives finished frames as they are made (whole frames, in order).
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void emit(std::string&& frames) = 0;
};

namespace chunk_encoder {

// A long message's frames are handed to the sink in buffers of about this size (each its own
// mapping, backed by huge pages and recycled once written: see memory_release), so the socket
// can take the first ones while the rest are being made, and a long message needs only the few
// buffers in flight, not one per part of it.
inline constexpr std::size_t kBufferBytes = std::size_t(4) << 20;

// Appends the frames of `text` to `out`. With a sink, each time `out` reaches kBufferBytes it is
// moved to the sink; what remains at the end stays in `out`. `chunk_size` is for tests.
void encode(const MessageText& text, const MessageInfo& info, std::string& out, FrameSink* sink = nullptr,
            std::size_t chunk_size = CHUNK_SIZE);

}  // namespace chunk_encoder
}  // namespace gridlet
