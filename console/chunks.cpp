#include "chunks.hpp"

#include "values.hpp"

#include <cstdio>
#include <random>

namespace console {

namespace {
// Bounds of what the console buffers for incomplete chunked messages.
constexpr std::int64_t kMaxPieces = 16384;
constexpr std::size_t kMaxBuffered = 256u << 20;
constexpr auto kIdleLimit = std::chrono::seconds(120);
}  // namespace

std::string new_uuid() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    std::uint64_t a = rng(), b = rng();
    a = (a & 0xFFFFFFFFFFFF0FFFull) | 0x0000000000004000ull;  // version 4
    b = (b & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;  // RFC 4122 variant
    char buf[37];
    std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                  static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFFF),
                  static_cast<unsigned>(b >> 48), static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
    return buf;
}

std::vector<std::string> frames_for(const std::string& text, const std::string& type, const json::value& request_id) {
    std::size_t length = utf8_length(text);
    if (length <= kChunkSize) return {text};
    std::size_t total = (length + kChunkSize - 1) / kChunkSize;
    std::string id = new_uuid();
    std::vector<std::string> frames;
    frames.reserve(total);
    std::size_t pos = 0;
    for (std::size_t i = 0; i < total; ++i) {
        std::size_t end = utf8_advance(text, pos, kChunkSize);
        json::object chunk;
        chunk["type"] = "chunk";
        chunk["chunk_id"] = id;
        chunk["chunk_index"] = i;
        chunk["total_chunks"] = total;
        chunk["data"] = std::string_view(text).substr(pos, end - pos);
        chunk["original_type"] = type;
        chunk["request_id"] = request_id.is_string() ? request_id : json::value("N/A");
        frames.push_back(json::serialize(chunk));
        pos = end;
    }
    return frames;
}

void ChunkJoiner::drop_stale() {
    auto now = std::chrono::steady_clock::now();
    for (auto it = partial_.begin(); it != partial_.end();) {
        if (now - it->second.last > kIdleLimit) {
            buffered_ -= it->second.bytes;
            it = partial_.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<std::string> ChunkJoiner::add(const json::object& piece, std::string& error) {
    drop_stale();
    auto* id = piece.if_contains("chunk_id");
    auto* index = piece.if_contains("chunk_index");
    auto* total = piece.if_contains("total_chunks");
    auto* data = piece.if_contains("data");
    if (!id || !id->is_string() || !index || !index->is_int64() || !total || !total->is_int64() || !data ||
        !data->is_string()) {
        error = "chunk without chunk_id, chunk_index, total_chunks or data";
        return std::nullopt;
    }
    std::int64_t i = index->get_int64(), n = total->get_int64();
    if (n <= 0 || n > kMaxPieces || i < 0 || i >= n) {
        error = "invalid chunk_index " + std::to_string(i) + " for total_chunks " + std::to_string(n);
        return std::nullopt;
    }
    std::string key(id->get_string());
    auto& part = partial_[key];
    if (part.pieces.empty()) part.pieces.resize(static_cast<std::size_t>(n));
    part.last = std::chrono::steady_clock::now();
    if (static_cast<std::size_t>(i) >= part.pieces.size()) {
        error = "chunk_index " + std::to_string(i) + " beyond the piece count of chunk_id " + key;
        return std::nullopt;
    }
    auto& slot = part.pieces[static_cast<std::size_t>(i)];
    if (slot) return std::nullopt;  // the first arrival of an index wins
    const auto& s = data->get_string();
    if (buffered_ + s.size() > kMaxBuffered) {
        buffered_ -= part.bytes;
        partial_.erase(key);
        error = "chunked message too large, dropped";
        return std::nullopt;
    }
    slot.emplace(s.data(), s.size());
    part.bytes += s.size();
    buffered_ += s.size();
    if (++part.received < part.pieces.size()) return std::nullopt;

    std::string whole;
    whole.reserve(part.bytes);
    for (auto& p : part.pieces) whole += *p;
    buffered_ -= part.bytes;
    partial_.erase(key);
    return whole;
}

}  // namespace console
