#pragma once
// The WebSocket client connection to the Business Layer (ws:// or wss://). Beast does the upgrade;
// after it, frames are read here straight from the socket (or TLS stream), and every write,
// control frames included, goes through the Outbox, whose pending frames the listener drains with
// one socket write at a time.
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include <memory>
#include <string>
#include <string_view>

#include "messaging/connection_settings.hpp"
#include "messaging/outbox.hpp"

namespace gridlet {

// How a connection that was open came to an end (from the error its read ended with).
enum class ConnectionEnd {
    closed,              // the peer closed or dropped it
    keep_alive_timeout,  // no answer to a keep-alive ping in time
    protocol_error,      // the peer broke the WebSocket protocol (closed with 1002, 1007 or 1009)
};
ConnectionEnd classify_end(const boost::system::error_code& ec);

struct ReadResult {
    std::string_view text;  // valid until the next read; empty when too large
    std::size_t characters = 0;
    bool too_large = false;
};

class Connection {
public:
    virtual ~Connection() = default;
    // Opens TCP, TLS when secured (checking the server as the settings ask), and the WebSocket
    // handshake on `target`. Throws std::runtime_error with the reason when any of them fails.
    virtual boost::asio::awaitable<void> open(const std::string& host, const std::string& port,
                                              const std::string& target) = 0;
    // Pings the peer when nothing came for the settings' interval; a second interval without
    // anything from it ends the connection (the read then fails, ConnectionEnd::keep_alive_timeout).
    virtual void start_keep_alive() = 0;
    // The connection ended because a keep-alive ping went unanswered.
    virtual bool keep_alive_expired() const = 0;
    // Next whole message. Messages over `max_characters` are read to their end but not kept.
    // Messages already buffered are returned without a trip through the event loop.
    // Throws boost::system::system_error when the connection ends.
    virtual boost::asio::awaitable<ReadResult> read(std::size_t max_characters) = 0;
    // Writes what is pending, then closes the WebSocket. Safe to call twice.
    virtual boost::asio::awaitable<void> close() = 0;
    virtual bool is_open() const = 0;
};

std::unique_ptr<Connection> make_connection(boost::asio::io_context& ioc, Outbox& outbox,
                                            const ConnectionSettings& settings);

}  // namespace gridlet
