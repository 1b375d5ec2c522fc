#pragma once
// The WebSocket client connection to the Business Layer (Beast, ws:// or wss://). Reading is done
// here; every write goes through the Outbox, whose pending frames the listener drains with one
// socket write at a time.
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>

#include <memory>
#include <string>
#include <string_view>

#include "messaging/outbox.hpp"

namespace gridlet {

struct ReadResult {
    std::string_view text;  // valid until the next read; empty when too large
    std::size_t characters = 0;
    bool too_large = false;
};

class Connection {
public:
    virtual ~Connection() = default;
    // Opens TCP, TLS when secured, and the WebSocket handshake on `target`.
    virtual boost::asio::awaitable<void> open(const std::string& host, const std::string& port,
                                              const std::string& target) = 0;
    // Next whole message. Frames over `max_characters` are read to their end but not kept.
    // Throws boost::system::system_error when the connection ends.
    virtual boost::asio::awaitable<ReadResult> read(std::size_t max_characters) = 0;
    // Writes what is pending, then closes the WebSocket. Safe to call twice.
    virtual boost::asio::awaitable<void> close() = 0;
    virtual bool is_open() const = 0;
};

std::unique_ptr<Connection> make_connection(boost::asio::io_context& ioc, Outbox& outbox, bool secured);

}  // namespace gridlet
