#pragma once
// Reassembly of incoming chunk messages, on the listener without the GIL. Memory is bounded:
// slots are allocated as pieces arrive, pieces per message and total buffered bytes are capped,
// and incomplete messages are dropped after an idle time.
#include <boost/json/object.hpp>

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

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

    // Takes one chunk message. Returns the whole text once its last missing piece arrives; every
    // refusal is logged once at error level and yields nullopt.
    std::optional<std::string> add(const boost::json::object& chunk, Clock::time_point now = Clock::now());

    std::size_t incomplete_count() const { return entries_.size(); }
    std::size_t buffered_bytes() const { return buffered_; }

private:
    struct Entry {
        std::int64_t total = 0;
        std::map<std::int64_t, std::optional<std::string>> pieces;  // null data fills a slot with nothing
        std::size_t bytes = 0;
        Clock::time_point touched;
    };
    void drop(std::unordered_map<std::string, Entry>::iterator it);
    void evict_idle(Clock::time_point now);
    void evict_oldest();

    Limits limits_;
    std::unordered_map<std::string, Entry> entries_;
    std::size_t buffered_ = 0;
    Clock::time_point last_sweep_{};
};

}  // namespace gridlet
