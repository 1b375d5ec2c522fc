// fuzz_chunks: chunk reassembly with arbitrary piece sequences, checked against a model of its
// rules (first arrival wins, the first piece fixes the slot count, bounded pieces, bytes and
// messages, idle messages dropped).
// fuzz_outgoing (this file built with GRIDLET_FUZZ_OUTGOING): the other direction. A message cut
// into chunks by the write queue, read back from its WebSocket frames and reassembled in any
// order gives the original text.
#include <boost/json.hpp>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "messaging/chunk_assembler.hpp"
#include "messaging/constants.hpp"
#include "messaging/json_parse.hpp"
#include "messaging/json_text.hpp"
#include "messaging/outbox.hpp"
#include "util/log.hpp"
#include "util/utf8.hpp"

using namespace gridlet;
using Clock = ChunkAssembler::Clock;

namespace {

constexpr ChunkAssembler::Limits kLimits{6, 24, 3, std::chrono::seconds(5)};

// The rules of reassembly, written plainly.
class Model {
public:
    std::optional<std::string> add(const boost::json::object& c, Clock::time_point now) {
        sweep(now);
        const auto* id_v = c.if_contains("chunk_id");
        const auto* index_v = c.if_contains("chunk_index");
        const auto* total_v = c.if_contains("total_chunks");
        if (!id_v || id_v->is_null() || !index_v || index_v->is_null() || !total_v || total_v->is_null())
            return std::nullopt;
        auto index = integer(*index_v), total = integer(*total_v);
        if (!index || !total || *index < 0 || *index >= *total) return std::nullopt;
        if (std::uint64_t(*total) > kLimits.max_chunks) return std::nullopt;
        std::optional<std::string> data = std::string();
        if (const auto* d = c.if_contains("data")) {
            if (d->is_string()) data = std::string(d->get_string());
            else if (d->is_null()) data.reset();
            else return std::nullopt;
        }
        std::string id = id_v->is_string() ? std::string(id_v->get_string()) : json_text::serialize(*id_v);
        auto it = entries.find(id);
        if (it == entries.end()) {
            if (entries.size() >= kLimits.max_incomplete) {
                auto oldest = std::min_element(entries.begin(), entries.end(),
                                               [](auto& a, auto& b) { return a.second.touched < b.second.touched; });
                drop(oldest);
            }
            it = entries.emplace(id, Entry{*total, {}, 0, now}).first;
        }
        Entry& e = it->second;
        e.touched = now;
        if (*index >= e.total || e.pieces.count(*index)) return std::nullopt;
        std::size_t size = data ? data->size() : 0;
        if (buffered + size > kLimits.max_buffered_bytes) {
            drop(it);
            return std::nullopt;
        }
        e.pieces[*index] = data;
        e.bytes += size;
        buffered += size;
        if (std::int64_t(e.pieces.size()) != e.total) return std::nullopt;
        std::string whole;
        bool complete = true;
        for (auto& [i, p] : e.pieces) {
            if (!p) complete = false;
            else whole += *p;
        }
        drop(it);
        if (!complete) return std::nullopt;
        return whole;
    }

    std::size_t buffered = 0;
    std::size_t count() const { return entries.size(); }

private:
    struct Entry {
        std::int64_t total;
        std::map<std::int64_t, std::optional<std::string>> pieces;
        std::size_t bytes;
        Clock::time_point touched;
    };
    static std::optional<std::int64_t> integer(const boost::json::value& v) {
        if (v.is_int64()) return v.get_int64();
        if (v.is_uint64() && v.get_uint64() <= std::uint64_t(INT64_MAX)) return std::int64_t(v.get_uint64());
        return std::nullopt;
    }
    void drop(std::map<std::string, Entry>::iterator it) {
        buffered -= it->second.bytes;
        entries.erase(it);
    }
    void sweep(Clock::time_point now) {
        if (entries.empty() || now - last_sweep < std::chrono::seconds(1)) return;
        last_sweep = now;
        for (auto it = entries.begin(); it != entries.end();) {
            auto next = std::next(it);
            if (now - it->second.touched > kLimits.idle) drop(it);
            it = next;
        }
    }
    std::map<std::string, Entry> entries;
    Clock::time_point last_sweep{};
};

boost::json::value field(fuzz::Bytes& in, bool index) {
    std::uint8_t b = in.byte();
    switch (b % 10) {
        case 0:
            return nullptr;
        case 1:
            return double(std::int8_t(in.byte())) / 2;
        case 2:
            return std::uint64_t(1) << 63 | in.byte();
        case 3:
            return boost::json::string(std::to_string(in.below(8)));
        case 4:
            return std::int64_t(std::int8_t(in.byte()));
        case 5:
            return true;
        default:
            return std::int64_t(index ? in.below(7) : 1 + in.below(7));
    }
}

boost::json::object piece(fuzz::Bytes& in) {
    boost::json::object c{{"type", "chunk"}};
    std::uint8_t flags = in.byte();
    static const boost::json::value ids[] = {"a", "b", "c", 1, "1", nullptr, 2.5, "d"};
    if (flags & 1) c["chunk_id"] = ids[in.below(8)];
    if (!(flags & 2)) c["chunk_index"] = field(in, true);
    if (!(flags & 4)) c["total_chunks"] = field(in, false);
    switch ((flags >> 3) & 3) {
        case 0:
            break;  // absent: the empty text
        case 1:
            c["data"] = (flags & 0x20) ? boost::json::value(nullptr) : boost::json::value(7);
            break;
        default:
            c["data"] = in.take(in.below(9));
            break;
    }
    return c;
}

void incoming(fuzz::Bytes& in) {
    ChunkAssembler real(kLimits);
    Model model;
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
    for (int op = 0; op < 64 && !in.empty(); ++op) {
        static const Clock::duration steps[] = {std::chrono::nanoseconds(1), std::chrono::milliseconds(400),
                                                std::chrono::seconds(2), std::chrono::seconds(6)};
        now += steps[in.below(4)];
        auto c = piece(in);
        auto want = model.add(c, now);  // first: the assembler moves the piece's data out
        auto got = real.add(c, now);
        fuzz::check(got.has_value() == want.has_value(), "reassembly differs from its rules");
        if (got && want) {
            boost::system::error_code ec;
            const boost::json::value v = json_parse::parse(*want, ec);
            fuzz::check(got->ec == ec, "reassembled parse error differs from the joined text's");
            fuzz::check(ec || json_text::serialize(got->value) == json_text::serialize(v),
                        "reassembled value differs from the joined text's");
        }
        fuzz::check(real.buffered_bytes() == model.buffered, "buffered bytes differ from the pieces kept");
        fuzz::check(real.incomplete_count() == model.count(), "incomplete message count differs");
        fuzz::check(real.buffered_bytes() <= kLimits.max_buffered_bytes, "buffered bytes past the bound");
        fuzz::check(real.incomplete_count() <= kLimits.max_incomplete, "incomplete messages past the bound");
    }
}

// Valid UTF-8 text from bytes, with the characters that make cutting and escaping interesting.
std::string text_of(std::string_view bytes) {
    static const char* const special[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\"", "\\",
                                          "\n",       "\x01",         "\xE2\x80\xA8"};
    std::string out;
    for (unsigned char b : bytes) {
        if (b >= 0x20 && b < 0x7F) out.push_back(char(b));
        else out += special[b % 8];
    }
    if (out.empty()) out = "x";
    return out;
}

// Payloads of the client frames in `wire` (FIN text frames, masked).
std::vector<std::string> frames_of(const std::string& wire) {
    std::vector<std::string> out;
    std::size_t p = 0;
    while (p < wire.size()) {
        fuzz::check(wire.size() - p >= 6, "truncated frame header");
        auto b0 = std::uint8_t(wire[p]), b1 = std::uint8_t(wire[p + 1]);
        fuzz::check(b0 == 0x81, "not a final text frame");
        fuzz::check(b1 & 0x80, "client frame not masked");
        std::uint64_t n = b1 & 0x7F;
        p += 2;
        int ext = n == 126 ? 2 : n == 127 ? 8 : 0;
        if (ext) {
            n = 0;
            for (int i = 0; i < ext; ++i) n = n << 8 | std::uint8_t(wire[p + i]);
            p += ext;
            fuzz::check(ext == 2 ? n >= 126 : n > 0xFFFF, "length not in its shortest form");
        }
        const char* key = wire.data() + p;
        p += 4;
        fuzz::check(wire.size() - p >= n, "frame longer than the bytes written");
        std::string payload(wire, p, n);
        for (std::size_t i = 0; i < n; ++i) payload[i] = char(payload[i] ^ key[i & 3]);
        out.push_back(std::move(payload));
        p += n;
    }
    return out;
}

void outgoing(fuzz::Bytes& in) {
    if (in.left() < 2) return;
    const std::size_t target_chars[] = {CHUNK_SIZE, CHUNK_SIZE + 1, 2 * CHUNK_SIZE + 7};
    std::size_t target = target_chars[in.below(3)];
    std::uint8_t order_seed = in.byte();
    std::string unit = text_of(in.rest());
    // {"type":"x","data":"...."} of exactly `target` characters: the value's characters are
    // written escaped one by one while they fit, then padded with ASCII.
    std::string message = R"({"type":"x","data":")";
    std::size_t chars = utf8::count_code_points(message);
    // Each character of the unit escaped once, with its length in characters.
    std::vector<std::pair<std::string, std::size_t>> escaped;
    for (std::size_t at = 0; at < unit.size();) {
        std::size_t next = utf8::offset_of_code_point(std::string_view(unit).substr(at), 1);
        std::string e;
        json_text::append_string(e, std::string_view(unit).substr(at, next));
        e = e.substr(1, e.size() - 2);
        std::size_t n = utf8::count_code_points(e);
        escaped.emplace_back(std::move(e), n);
        at += next;
    }
    for (std::size_t i = 0;; i = (i + 1) % escaped.size()) {
        if (chars + escaped[i].second + 2 > target) break;
        message += escaped[i].first;
        chars += escaped[i].second;
    }
    message.append(target - 2 - chars, 'x');
    message += "\"}";
    chars = utf8::count_code_points(message);
    fuzz::check(chars == target, "test message has the wrong length");

    Outbox box;
    box.open(nullptr);
    box.post(message, {"x", "\"rid\""});
    std::string wire;
    box.take(wire);
    auto frames = frames_of(wire);
    if (chars <= CHUNK_SIZE) {
        fuzz::check(frames.size() == 1 && frames[0] == message, "a short message was not sent whole");
        return;
    }
    const std::size_t total = (chars + CHUNK_SIZE - 1) / CHUNK_SIZE;
    fuzz::check(frames.size() == total, "wrong number of chunks");
    std::vector<boost::json::object> pieces;
    std::string joined;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        boost::system::error_code ec;
        auto v = json_parse::parse(frames[i], ec);
        fuzz::check(!ec && v.is_object(), "a chunk frame is not a JSON object");
        auto& o = v.get_object();
        fuzz::check(o.at("type") == "chunk" && o.at("chunk_index") == std::int64_t(i) &&
                        o.at("total_chunks") == std::int64_t(total) && o.at("original_type") == "x" &&
                        o.at("request_id") == "rid",
                    "chunk header fields");
        const auto& data = o.at("data").get_string();
        std::size_t n = utf8::count_code_points(data);
        fuzz::check(i + 1 < total ? n == CHUNK_SIZE : n > 0 && n <= CHUNK_SIZE, "piece length in characters");
        joined.append(data.data(), data.size());
        pieces.push_back(std::move(o));
    }
    fuzz::check(joined == message, "pieces do not join to the message");
    // Deliver in a shuffled order with one piece repeated: the first arrival wins.
    std::vector<std::size_t> order(total);
    for (std::size_t i = 0; i < total; ++i) order[i] = i;
    std::rotate(order.begin(), order.begin() + order_seed % total, order.end());
    if (order_seed & 0x80) std::reverse(order.begin(), order.end());
    order.insert(order.begin() + 1, order[0]);
    ChunkAssembler assembler;
    std::optional<ChunkAssembler::Reassembled> whole;
    for (std::size_t k = 0; k < order.size(); ++k) {
        auto got = assembler.add(pieces[order[k]]);
        fuzz::check(!got || k + 1 == order.size(), "completed before its last piece");
        if (got) whole.emplace(std::move(*got));
    }
    boost::system::error_code ec;
    const boost::json::value sent = json_parse::parse(message, ec);
    fuzz::check(!ec, "the test message is not JSON");
    fuzz::check(whole && !whole->ec && json_text::serialize(whole->value) == json_text::serialize(sent),
                "reassembled message differs from what was sent");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    log::get().set_level(spdlog::level::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    fuzz::Bytes in(data, size);
    in.byte();
#ifdef GRIDLET_FUZZ_OUTGOING
    outgoing(in);  // a target of its own: it handles 64 KiB and more per input
#else
    incoming(in);
#endif
    return 0;
}
