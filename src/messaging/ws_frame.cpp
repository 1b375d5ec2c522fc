#include "messaging/ws_frame.hpp"

#include <cstdint>
#include <cstring>
#include <random>

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

}  // namespace

void append_text_frame(std::string& out, std::string_view payload) {
    const std::size_t n = payload.size();
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
    const std::size_t start = out.size();
    out.resize(start + h + n);
    char* dst = out.data() + start;
    std::memcpy(dst, header, h);
    dst += h;
    const unsigned char* key = header + h - 4;
    std::uint64_t key8;
    unsigned char k8[8] = {key[0], key[1], key[2], key[3], key[0], key[1], key[2], key[3]};
    std::memcpy(&key8, k8, 8);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, payload.data() + i, 8);
        w ^= key8;
        std::memcpy(dst + i, &w, 8);
    }
    for (; i < n; ++i) dst[i] = char(payload[i] ^ key[i & 3]);
}

}  // namespace gridlet::ws_frame
