#include "messaging/chunk_assembler.hpp"

#include <boost/json.hpp>
#include <boost/json/monotonic_resource.hpp>

#include "messaging/constants.hpp"
#include "messaging/json_text.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace {

// JSON integers only: 1.0, "1" and booleans are not indices.
std::optional<std::int64_t> as_integer(const boost::json::value& v) {
    if (v.is_int64()) return v.get_int64();
    if (v.is_uint64() && v.get_uint64() <= std::uint64_t(INT64_MAX)) return std::int64_t(v.get_uint64());
    return std::nullopt;
}

std::string id_text(const boost::json::value& v) {
    return v.is_string() ? std::string(v.get_string()) : json_text::serialize(v);
}

}  // namespace

ChunkAssembler::ChunkAssembler()
    : limits_{MAX_CHUNKS_PER_MESSAGE, MAX_CHUNK_BUFFER_BYTES, MAX_INCOMPLETE_MESSAGES,
              std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(CHUNK_IDLE_SECONDS))} {}

void ChunkAssembler::drop(std::unordered_map<std::string, Entry>::iterator it) {
    buffered_ -= it->second.bytes;
    entries_.erase(it);
}

void ChunkAssembler::evict_idle(Clock::time_point now) {
    if (entries_.empty() || now - last_sweep_ < std::chrono::seconds(1)) return;
    last_sweep_ = now;
    for (auto it = entries_.begin(); it != entries_.end();) {
        auto next = std::next(it);
        if (now - it->second.touched > limits_.idle) {
            GLOG_ERROR("[Kernel] Dropping incomplete chunked message {}: no piece for {}s", it->first,
                       std::chrono::duration_cast<std::chrono::seconds>(limits_.idle).count());
            drop(it);
        }
        it = next;
    }
}

void ChunkAssembler::evict_oldest() {
    auto oldest = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if (it->second.touched < oldest->second.touched) oldest = it;
    if (oldest == entries_.end()) return;
    GLOG_ERROR("[Kernel] Dropping incomplete chunked message {}: too many incomplete messages", oldest->first);
    drop(oldest);
}

// Gives the parser every piece that now continues the text in index order.
void ChunkAssembler::feed(Entry& e) {
    while (e.parser && !e.parser->refused()) {
        auto p = e.pieces.find(e.fed);
        if (p == e.pieces.end()) return;
        if (!p->second) {
            e.parser.reset();  // the message can only end as incomplete
            return;
        }
        e.parser->write(std::string_view(p->second->data(), p->second->size()));
        ++e.fed;
    }
}

std::optional<ChunkAssembler::Reassembled> ChunkAssembler::add(boost::json::object& chunk, Clock::time_point now) {
    evict_idle(now);
    const auto* id_v = chunk.if_contains("chunk_id");
    const auto* index_v = chunk.if_contains("chunk_index");
    const auto* total_v = chunk.if_contains("total_chunks");
    if (!id_v || id_v->is_null() || !index_v || index_v->is_null() || !total_v || total_v->is_null()) {
        GLOG_ERROR("[Kernel] Invalid chunk message: missing required fields");
        return std::nullopt;
    }
    auto index = as_integer(*index_v);
    auto total = as_integer(*total_v);
    if (!index || !total) {
        GLOG_ERROR("[Kernel] Invalid chunk message: chunk_index and total_chunks must be integers");
        return std::nullopt;
    }
    if (*index < 0 || *index >= *total) {
        GLOG_ERROR("[Kernel] Invalid chunk_index {} for total_chunks {}", *index, *total);
        return std::nullopt;
    }
    if (std::size_t(*total) > limits_.max_chunks) {
        GLOG_ERROR("[Kernel] Chunked message refused: total_chunks {} exceeds the limit of {}", *total,
                   limits_.max_chunks);
        return std::nullopt;
    }
    std::optional<boost::json::string> data;
    if (auto* d = chunk.if_contains("data")) {
        if (d->is_string()) data = std::move(d->get_string());
        else if (!d->is_null()) {
            GLOG_ERROR("[Kernel] Invalid chunk message: data must be a string");
            return std::nullopt;
        }
    } else {
        data = boost::json::string();
    }

    const std::string id = id_text(*id_v);
    auto it = entries_.find(id);
    if (it == entries_.end()) {
        if (entries_.size() >= limits_.max_incomplete) evict_oldest();
        it = entries_.emplace(id, Entry{}).first;
        Entry& fresh = it->second;
        fresh.total = *total;
        // A message of several pieces is large: its nodes come from one arena, whose blocks start
        // at 1 MiB and grow geometrically (a few blocks for any size; many incomplete messages
        // reserve little).
        if (*total > 1)
            fresh.storage = boost::json::make_shared_resource<boost::json::monotonic_resource>(std::size_t(1) << 20);
        fresh.parser = std::make_unique<json_parse::Incremental>(fresh.storage);
    }
    Entry& e = it->second;
    e.touched = now;
    if (*index >= e.total) {
        GLOG_ERROR("[Kernel] Invalid chunk_index {} for chunk_id {} with total_chunks {}", *index, id, e.total);
        return std::nullopt;
    }
    if (e.pieces.count(*index)) return std::nullopt;  // first arrival wins
    const std::size_t size = data ? data->size() : 0;
    if (buffered_ + size > limits_.max_buffered_bytes) {
        GLOG_ERROR("[Kernel] Chunk buffers full ({} bytes): dropping chunked message {}", buffered_, id);
        drop(it);
        return std::nullopt;
    }
    e.pieces.emplace(*index, std::move(data));
    e.bytes += size;
    buffered_ += size;
    if (*index == e.fed) feed(e);
    if (std::int64_t(e.pieces.size()) != e.total) return std::nullopt;

    for (auto& [i, piece] : e.pieces) {
        if (!piece) {
            GLOG_ERROR("[Kernel] Incomplete chunk buffer for chunk_id {}", id);
            drop(it);
            return std::nullopt;
        }
    }
    // Values are move-constructed from here on: assigning one would copy it out of its arena.
    if (e.parser && e.fed == e.total) {
        if (auto v = e.parser->finish()) {
            drop(it);
            return Reassembled{std::move(*v), {}};
        }
    }
    // Refused by the fast parser: the joined text gets the full parse, whose value or error stands.
    std::string whole;
    whole.reserve(e.bytes);
    for (auto& [i, piece] : e.pieces) whole.append(piece->data(), piece->size());
    const boost::json::storage_ptr storage = e.storage;
    drop(it);
    boost::system::error_code ec;
    boost::json::value v = json_parse::parse(whole, ec, storage);
    return Reassembled{std::move(v), ec};
}

}  // namespace gridlet
