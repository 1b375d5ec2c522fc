// Cheap inspection of the kernel's JSON messages.
//
// The kernel writes compact JSON with `type` as the first key, so most frames can be classified
// by looking at their first bytes; full parsing is kept for the rare frames that need it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bench {

// The value of the message's `type`. Fast path: the text starts with {"type":"...". Otherwise the
// message is parsed and the type is copied into `scratch`, which the returned view then points to.
// Empty when there is no string `type`.
std::string_view message_type(std::string_view msg, std::string& scratch);

inline bool contains(std::string_view hay, std::string_view needle) {
    return hay.find(needle) != std::string_view::npos;
}

// Appends `text` as a JSON string literal (with quotes) to `out`.
void append_json_string(std::string& out, std::string_view text);
std::string json_string(std::string_view text);

// The `chunk` messages that carry the custom_function_call `text` (ASCII: bytes are characters)
// in pieces of `piece` characters, each handed to `send`.
template <class Send>
void send_call_as_chunks(std::string_view text, std::string_view chunk_id, std::string_view request_id,
                         std::size_t piece, Send&& send) {
    const std::size_t total = (text.size() + piece - 1) / piece;
    std::string m;
    for (std::size_t i = 0; i < total; ++i) {
        m.assign(R"({"type":"chunk","chunk_id":)");
        append_json_string(m, chunk_id);
        m += R"(,"chunk_index":)" + std::to_string(i) + R"(,"total_chunks":)" + std::to_string(total) + R"(,"data":)";
        append_json_string(m, text.substr(i * piece, piece));
        m += R"(,"original_type":"custom_function_call","request_id":)";
        append_json_string(m, request_id);
        m += "}";
        send(m);
    }
}

// Decodes the body of a JSON string literal that starts right after its opening quote at `pos`.
// On success appends the decoded text to `out` and sets `pos` past the closing quote.
bool decode_json_string(std::string_view text, std::size_t& pos, std::string& out);

// Reads the integer that follows `"key":` in `msg` (first occurrence). Meant for compact messages
// whose key cannot appear inside an earlier string value (escaped quotes never match the pattern).
std::optional<std::int64_t> int_field(std::string_view msg, std::string_view key);

// Reads the string that follows `"key":"` in `msg` (first occurrence), decoded.
std::optional<std::string> string_field(std::string_view msg, std::string_view key);

// One piece of a chunked message.
struct ChunkPiece {
    std::string chunk_id;
    std::int64_t chunk_index = -1;
    std::int64_t total_chunks = -1;
    std::string data;
};

// Extracts the fields of a `chunk` message; falls back to a full parse when the quick scan fails.
bool parse_chunk(std::string_view msg, ChunkPiece& piece);

// Quick scan of a chunk's id, index and total without decoding its data. Returns the position
// just after the opening quote of `data` (for decode_json_string), or nullopt when the message
// does not have the kernel's compact layout (then use parse_chunk).
std::optional<std::size_t> scan_chunk_header(std::string_view msg, ChunkPiece& piece);

// A short printable excerpt of a message for diagnostics.
std::string excerpt(std::string_view msg, std::size_t max_len = 300);

// A custom_function_call request of `module`.`function` with `args_json` (a JSON array text).
std::string call_request(std::string_view workbook, std::string_view function, std::string_view args_json,
                         std::string_view id, std::string_view module);

// An execute_streaming_function of `module`.gen(n); `source` is added when not empty.
std::string stream_request(std::string_view workbook, std::string_view id, std::string_view module, std::int64_t n,
                           std::string_view source = {});

}  // namespace bench
