#pragma once
// Client-side WebSocket frames (RFC 6455): FIN set, payload masked.
#include <string>
#include <string_view>

namespace gridlet::ws_frame {

// Appends one complete masked text frame carrying `payload`.
void append_text_frame(std::string& out, std::string_view payload);

// Same, for a payload given as consecutive pieces (never joined: each is copied masked in place).
void append_text_frame(std::string& out, const std::string_view* pieces, std::size_t count);

// Appends one complete masked control frame (opcode 0x8 close, 0x9 ping, 0xA pong); `payload`
// is at most 125 bytes.
void append_control_frame(std::string& out, unsigned opcode, std::string_view payload);

}  // namespace gridlet::ws_frame
