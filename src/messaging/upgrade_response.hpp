#pragma once
// The server's answer to the WebSocket upgrade request, read with a header limit of 64 KiB
// (proxies add large cookies; the WebSocket library's own reader stops at 8 KiB). What the
// library needs to check the upgrade is handed on in a compact response: the status line, the
// upgrade headers and whatever frame bytes followed the header.
#include <cstddef>
#include <string>
#include <string_view>

namespace gridlet {

class UpgradeResponse {
public:
    static constexpr std::size_t MAX_HEADER_BYTES = 65536;

    // Adds bytes read from the server. True once the header is complete or too large.
    bool add(std::string_view bytes);
    bool complete() const { return complete_; }
    // Set when the header was too large or unreadable.
    const std::string& error() const { return error_; }
    int status() const { return status_; }
    const std::string& reason() const { return reason_; }
    // The compact response (status line, upgrade headers, then the bytes after the header; a
    // response other than 101 gets an empty body). Valid once complete() and no error().
    const std::string& compact() const { return compact_; }

private:
    void finish(std::size_t header_end);

    std::string raw_;
    std::string compact_;
    std::string error_;
    std::string reason_;
    int status_ = 0;
    bool complete_ = false;
};

}  // namespace gridlet
