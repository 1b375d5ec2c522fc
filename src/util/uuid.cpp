#include "util/uuid.hpp"

#include <array>
#include <cstdint>
#include <random>

namespace gridlet::uuid {
namespace {

std::array<std::uint8_t, 16> random_bytes() {
    thread_local std::mt19937_64 rng{std::random_device{}() ^ (std::uint64_t(std::random_device{}()) << 32)};
    std::array<std::uint8_t, 16> b{};
    std::uint64_t hi = rng(), lo = rng();
    for (int i = 0; i < 8; ++i) {
        b[i] = std::uint8_t(hi >> (i * 8));
        b[8 + i] = std::uint8_t(lo >> (i * 8));
    }
    b[6] = std::uint8_t((b[6] & 0x0F) | 0x40);
    b[8] = std::uint8_t((b[8] & 0x3F) | 0x80);
    return b;
}

std::string format(bool dashes) {
    static constexpr char hex[] = "0123456789abcdef";
    auto b = random_bytes();
    std::string out;
    out.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (dashes && (i == 4 || i == 6 || i == 8 || i == 10)) out.push_back('-');
        out.push_back(hex[b[i] >> 4]);
        out.push_back(hex[b[i] & 0xF]);
    }
    return out;
}

}  // namespace

std::string v4_hex() { return format(false); }
std::string v4_dashed() { return format(true); }

}  // namespace gridlet::uuid
