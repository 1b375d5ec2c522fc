#pragma once
// Reassembly of incoming chunk messages, on the listener without the GIL. Memory is bounded:
// slots are allocated as pieces arrive, pieces per message and total buffered bytes are capped,
// and incomplete messages are dropped after an idle time.
// Pieces are parsed as they arrive: each piece that continues the text in index order goes straight
// to an incremental parser (a piece that arrives early waits for the gap before it to fill), so the
// message is read by the time its last piece comes, without ever joining its text. A message of
// several pieces is built in one monotonic arena, freed in a few blocks with its last reference.
#include <boost/json/object.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/string.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "messaging/json_parse.hpp"

namespace gridlet {

class ChunkAssembler {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        std::size_t max_chunks;
        std::size_t max_buffered_bytes;
        std::size_t max_incomplete;
        Clock::duration idle;
    };
    ChunkAssembler();
    explicit ChunkAssembler(Limits limits) : limits_(limits) {}

    // A message whose last missing piece has arrived: its value, or the parser's error when the
    // joined text is not JSON (value null then).
    struct Reassembled {
        boost::json::value value;
        boost::system::error_code ec;
    };

    // Takes one chunk message; its `data` text is moved out, not copied. Returns the message once
    // its last missing piece arrives; every refusal is logged once at error level and yields nullopt.
    std::optional<Reassembled> add(boost::json::object& chunk, Clock::time_point now = Clock::now());
    std::optional<Reassembled> add(boost::json::object&& chunk, Clock::time_point now = Clock::now()) {
        return add(chunk, now);
    }

    std::size_t incomplete_count() const { return entries_.size(); }
    std::size_t buffered_bytes() const { return buffered_; }

private:
    struct Entry {
        std::int64_t total = 0;
        // Kept until the message completes: a text the fast parser refuses is read again whole.
        std::map<std::int64_t, std::optional<boost::json::string>> pieces;  // null data: a slot with nothing
        std::size_t bytes = 0;
        Clock::time_point touched;
        boost::json::storage_ptr storage;                  // where the message's value is built
        std::unique_ptr<json_parse::Incremental> parser;   // null once a null piece stops the reading
        std::int64_t fed = 0;                              // pieces [0, fed) went to the parser
    };
    static void feed(Entry& e);
    void drop(std::unordered_map<std::string, Entry>::iterator it);
    void evict_idle(Clock::time_point now);
    void evict_oldest();

    Limits limits_;
    std::unordered_map<std::string, Entry> entries_;
    std::size_t buffered_ = 0;
    Clock::time_point last_sweep_{};
};

}  // namespace gridlet
