#include "messaging/chunk_encoder.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "messaging/json_text.hpp"
#include "messaging/ws_frame.hpp"
#include "util/log.hpp"
#include "util/memory_release.hpp"
#include "util/simd.hpp"
#include "util/swar.hpp"
#include "util/utf8.hpp"
#include "util/uuid.hpp"

namespace gridlet::chunk_encoder {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// Room past kBufferBytes for the frame that crosses it: every frame buffer of a long message asks
// for the same size, so a recycled one always fits.
constexpr std::size_t kFrameRoom = 6 * CHUNK_SIZE + 4096;

// Input bytes escaped per step; the scratch buffer is checked for room (6 bytes per input byte at
// most) once per step, not per byte.
constexpr std::size_t kStep = 4096;

bool is_lead(unsigned char c) { return (c & 0xC0) != 0x80; }

// Reads the pieces of a MessageText as one text.
struct Cursor {
    const std::string_view* parts;
    std::size_t part = 0, pos = 0;

    void skip_empty() {
        while (part < 3 && pos >= parts[part].size()) {
            ++part;
            pos = 0;
        }
    }
    bool at_end() const { return part >= 3; }
    // Byte `k` places ahead of the current one, or -1 past the end.
    int peek(std::size_t k) const {
        std::size_t p = part, at = pos + k;
        while (p < 3 && at >= parts[p].size()) {
            at -= parts[p].size();
            ++p;
        }
        return p < 3 ? static_cast<unsigned char>(parts[p][at]) : -1;
    }
};

// Escapes text from `cur` into `scratch` at `len` until `left` characters have been taken and the
// next byte starts another one, or the text ends. Grows `scratch` when needed.
void escape_chunk(Cursor& cur, std::size_t& left, std::string& scratch, std::size_t& len, std::size_t reserve_tail) {
    cur.skip_empty();
    while (!cur.at_end()) {
        std::string_view piece = cur.parts[cur.part];
        const char* s = piece.data() + cur.pos;
        const char* e = piece.data() + std::min(piece.size(), cur.pos + kStep);
        if (scratch.size() < len + 6 * std::size_t(e - s) + reserve_tail)
            scratch.resize(std::max(scratch.size() * 2, len + 6 * std::size_t(e - s) + reserve_tail));
        char* out = scratch.data() + len;
        bool full = false;
        while (s < e) {
            // Sixteen plain bytes at a time while the chunk has room for all their characters.
            while (e - s >= 16) {
                const simd::Bytes16 v = simd::load16(s);
                if (simd::json_special(v)) break;
                const unsigned leads = 16 - simd::continuation_bytes(v);
                if (leads > left) break;
                left -= leads;
                simd::store16(out, v);
                out += 16;
                s += 16;
            }
            while (e - s >= 8) {
                const std::uint64_t w = swar::load(s);
                if (swar::json_special(w)) break;
                const unsigned leads = 8 - swar::continuation_bytes(w);
                if (leads > left) break;
                left -= leads;
                std::memcpy(out, s, 8);
                out += 8;
                s += 8;
            }
            if (s == e) break;
            const unsigned char c = static_cast<unsigned char>(*s);
            if (is_lead(c)) {
                if (left == 0) {
                    full = true;
                    break;
                }
                --left;
            }
            if (c >= 0x20 && c != '"' && c != '\\' && c != 0xED) {
                *out++ = char(c);
                ++s;
                continue;
            }
            if (c == 0xED) {
                // A surrogate in three-byte form has no UTF-8 form: written as \udXXX.
                cur.pos = std::size_t(s - piece.data());
                const int b1 = cur.peek(1), b2 = cur.peek(2);
                if (b1 >= 0xA0 && b1 <= 0xBF && b2 >= 0 && (b2 & 0xC0) == 0x80) {
                    const unsigned cp = 0xD000 | ((unsigned(b1) & 0x3Fu) << 6) | (unsigned(b2) & 0x3Fu);
                    const char esc[6] = {
                        '\\', 'u', kHex[cp >> 12], kHex[(cp >> 8) & 0xF], kHex[(cp >> 4) & 0xF], kHex[cp & 0xF]};
                    std::memcpy(out, esc, 6);
                    out += 6;
                    // The two continuation bytes may lie in the next pieces.
                    for (int k = 0; k < 3; ++k) {
                        ++cur.pos;
                        cur.skip_empty();
                    }
                    len = std::size_t(out - scratch.data());
                    goto next_step;
                }
                *out++ = char(c);
                ++s;
                continue;
            }
            *out++ = '\\';
            switch (c) {
                case '"':
                    *out++ = '"';
                    break;
                case '\\':
                    *out++ = '\\';
                    break;
                case '\n':
                    *out++ = 'n';
                    break;
                case '\r':
                    *out++ = 'r';
                    break;
                case '\t':
                    *out++ = 't';
                    break;
                case '\b':
                    *out++ = 'b';
                    break;
                case '\f':
                    *out++ = 'f';
                    break;
                default: {
                    const char esc[5] = {'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
                    std::memcpy(out, esc, 5);
                    out += 5;
                }
            }
            ++s;
        }
        cur.pos = std::size_t(s - piece.data());
        len = std::size_t(out - scratch.data());
        if (full) return;
        cur.skip_empty();
    next_step:;
    }
}

void append(std::string& scratch, std::size_t& len, std::string_view text) {
    std::memcpy(scratch.data() + len, text.data(), text.size());
    len += text.size();
}

}  // namespace

void encode(const MessageText& text, const MessageInfo& info, std::string& out, FrameSink* sink,
            std::size_t chunk_size) {
    const std::size_t bytes = text.size();
    std::size_t chars = bytes;
    if (bytes > chunk_size) {
        chars = 0;
        for (const auto& p : text.parts) chars += utf8::count_code_points(p);
    }
    // Only a text longer than chunk_size characters is chunked.
    if (chars <= chunk_size) {
        ws_frame::append_text_frame(out, text.parts, 3);
        if (sink && out.size() >= kBufferBytes) {
            sink->emit(std::move(out));
            out.clear();
        }
        return;
    }
    const std::size_t total = (chars + chunk_size - 1) / chunk_size;
    const std::string chunk_id = uuid::v4_dashed();
    GLOG_INFO("[Kernel] Chunking large message: type={}, chunks={}, size={}", info.type, total, chars);

    // {"type":"chunk","chunk_id":ID,"chunk_index":I,"total_chunks":T,"data":"...","original_type":TYPE,"request_id":R}
    std::string head = "{\"type\":";
    json_text::append_string(head, CHUNK_HEADER_TYPE);
    head += ",\"chunk_id\":";
    json_text::append_string(head, chunk_id);
    head += ",\"chunk_index\":";
    std::string middle = ",\"total_chunks\":";
    json_text::append_int(middle, std::int64_t(total));
    middle += ",\"data\":\"";
    std::string tail = "\",\"original_type\":";
    json_text::append_string(tail, info.type);
    tail += ",\"request_id\":";
    tail += info.request_id_json.empty() ? std::string_view("\"N/A\"") : info.request_id_json;
    tail += '}';

    // One chunk's payload at a time, in a buffer that stays in cache.
    std::string scratch(head.size() + 24 + middle.size() + 6 * chunk_size + tail.size() + 64, '\0');
    Cursor cur{text.parts};
    for (std::size_t i = 0; i < total; ++i) {
        std::size_t len = 0;
        append(scratch, len, head);
        char index[24];
        const int index_len = std::snprintf(index, sizeof index, "%zu", i);
        append(scratch, len, std::string_view(index, std::size_t(index_len)));
        append(scratch, len, middle);
        std::size_t left = chunk_size;
        escape_chunk(cur, left, scratch, len, tail.size());
        append(scratch, len, tail);
        if (out.capacity() < out.size() + len + 14 && sink)
            memory_release::reserve_large(out, kBufferBytes + std::max(len + 14, kFrameRoom));
        ws_frame::append_text_frame(out, std::string_view(scratch.data(), len));
        if (sink && out.size() >= kBufferBytes) {
            sink->emit(std::move(out));
            out.clear();
        }
    }
    GLOG_DEBUG("[Kernel] Sent {} chunks for message: type={}, chunk_id={}", total, info.type, chunk_id);
}

}  // namespace gridlet::chunk_encoder
