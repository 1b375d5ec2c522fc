#pragma once
// Reads back the client frames the kernel writes: FIN text frames with masked payloads.
#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

// Payloads of the frames in `wire`. `headers_ok`, when given, is cleared if a frame is not a
// masked FIN text frame.
inline std::vector<std::string> decode_client_frames(const std::string& wire, bool* headers_ok = nullptr) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i + 2 <= wire.size()) {
        auto b0 = static_cast<unsigned char>(wire[i]);
        auto b1 = static_cast<unsigned char>(wire[i + 1]);
        if (headers_ok && (b0 != 0x81 || !(b1 & 0x80))) *headers_ok = false;
        std::uint64_t len = b1 & 0x7F;
        i += 2;
        if (len == 126) {
            len = (std::uint64_t(static_cast<unsigned char>(wire[i])) << 8) | static_cast<unsigned char>(wire[i + 1]);
            i += 2;
        } else if (len == 127) {
            len = 0;
            for (int k = 0; k < 8; ++k) len = (len << 8) | static_cast<unsigned char>(wire[i + k]);
            i += 8;
        }
        const char* key = wire.data() + i;
        i += 4;
        std::string payload(wire.data() + i, len);
        for (std::size_t k = 0; k < len; ++k) payload[k] = char(payload[k] ^ key[k & 3]);
        out.push_back(std::move(payload));
        i += len;
    }
    return out;
}

}  // namespace test_support
