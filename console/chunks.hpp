// Long messages in both directions travel as `chunk` messages: the JSON text is cut every
// 65,536 code points and each piece is sent as
// {"type":"chunk","chunk_id":UUID,"chunk_index":i,"total_chunks":n,"data":piece,
//  "original_type":T,"request_id":R}. The receiver joins `data` in index order.
#pragma once

#include <boost/json.hpp>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace console {

namespace json = boost::json;

inline constexpr std::size_t kChunkSize = 65536;

// A fresh random (version 4) UUID in its 36-character form.
std::string new_uuid();

// The frames that carry message `text` (compact JSON of a message of kind `type`): the text
// itself when it has at most kChunkSize code points, else its chunk messages.
std::vector<std::string> frames_for(const std::string& text, const std::string& type, const json::value& request_id);

// Joins the pieces of chunked messages that arrive from the kernel.
class ChunkJoiner {
public:
    // Takes one chunk message. Returns the whole message's text when this piece completes it.
    // On a malformed piece sets `error` and returns nothing.
    std::optional<std::string> add(const json::object& piece, std::string& error);
    std::size_t open_messages() const { return partial_.size(); }

private:
    struct Partial {
        std::vector<std::optional<std::string>> pieces;
        std::size_t received = 0;
        std::size_t bytes = 0;
        std::chrono::steady_clock::time_point last;
    };
    void drop_stale();

    std::unordered_map<std::string, Partial> partial_;
    std::size_t buffered_ = 0;
};

}  // namespace console
