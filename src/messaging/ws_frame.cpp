#include "messaging/ws_frame.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>

#include "util/simd.hpp"

namespace gridlet::ws_frame {
namespace {

std::uint32_t next_mask() {
    thread_local std::uint64_t state = [] {
        std::random_device rd;
        return (std::uint64_t(rd()) << 32) ^ rd() ^ 0x9E3779B97F4A7C15ull;
    }();
    // xorshift64*: unpredictable enough for masking, cheap per frame
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return std::uint32_t((state * 0x2545F4914F6CDD1Dull) >> 32);
}

// Masks `n` bytes in place with the 4-byte `key`, 16 at a time.
void mask_in_place(char* p, std::size_t n, const unsigned char* key) {
    unsigned char k8[8];
    for (int j = 0; j < 8; ++j) k8[j] = key[j & 3];
    std::uint64_t key8;
    std::memcpy(&key8, k8, 8);
    std::uint32_t key4;
    std::memcpy(&key4, key, 4);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) simd::store16(p + i, simd::xor_key(simd::load16(p + i), key4));
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        w ^= key8;
        std::memcpy(p + i, &w, 8);
    }
    for (; i < n; ++i) p[i] = char(p[i] ^ k8[i & 7]);
}

}  // namespace

void append_text_frame(std::string& out, const std::string_view* pieces, std::size_t count) {
    std::size_t n = 0;
    for (std::size_t k = 0; k < count; ++k) n += pieces[k].size();
    unsigned char header[14];
    std::size_t h = 0;
    header[h++] = 0x81;  // FIN + text
    if (n < 126) {
        header[h++] = std::uint8_t(0x80 | n);
    } else if (n <= 0xFFFF) {
        header[h++] = 0x80 | 126;
        header[h++] = std::uint8_t(n >> 8);
        header[h++] = std::uint8_t(n);
    } else {
        header[h++] = 0x80 | 127;
        for (int i = 7; i >= 0; --i) header[h++] = std::uint8_t(std::uint64_t(n) >> (i * 8));
    }
    std::uint32_t mask = next_mask();
    std::memcpy(header + h, &mask, 4);
    h += 4;
    // Appended, then masked while still in cache: growing the string with resize() would first
    // zero the whole payload.
    const std::size_t start = out.size();
    if (out.capacity() < start + h + n) out.reserve(std::max(start + h + n, out.capacity() + out.capacity() / 2));
    out.append(reinterpret_cast<const char*>(header), h);
    for (std::size_t k = 0; k < count; ++k) out.append(pieces[k]);
    mask_in_place(out.data() + start + h, n, header + h - 4);
}

void append_text_frame(std::string& out, std::string_view payload) { append_text_frame(out, &payload, 1); }

void append_control_frame(std::string& out, unsigned opcode, std::string_view payload) {
    const std::size_t n = std::min<std::size_t>(payload.size(), 125);
    unsigned char header[6];
    header[0] = std::uint8_t(0x80 | (opcode & 0x0F));
    header[1] = std::uint8_t(0x80 | n);
    std::uint32_t mask = next_mask();
    std::memcpy(header + 2, &mask, 4);
    const std::size_t start = out.size();
    out.append(reinterpret_cast<const char*>(header), 6);
    out.append(payload.data(), n);
    mask_in_place(out.data() + start + 6, n, header + 2);
}

}  // namespace gridlet::ws_frame
