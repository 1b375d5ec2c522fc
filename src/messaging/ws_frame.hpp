#pragma once
// Client-side WebSocket data frames (RFC 6455): text opcode, FIN set, payload masked.
#include <string>
#include <string_view>

namespace gridlet::ws_frame {

// Appends one complete masked text frame carrying `payload`.
void append_text_frame(std::string& out, std::string_view payload);

// Same, for a payload given as consecutive pieces (never joined: each is copied masked in place).
void append_text_frame(std::string& out, const std::string_view* pieces, std::size_t count);

}  // namespace gridlet::ws_frame
