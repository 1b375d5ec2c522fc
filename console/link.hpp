// The server end of the kernel's WebSocket connection: listens on 127.0.0.1 (an ephemeral
// port), accepts the kernel (over TLS with the session's certificate unless insecure, and only
// with the session's token), reads its messages (joining chunked ones) and writes ours (chunking
// long ones). All socket work runs on one io_context thread; send() may be called from any thread.
#pragma once

#include "chunks.hpp"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json.hpp>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace console {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace json = boost::json;
using tcp = asio::ip::tcp;

class Link : public std::enable_shared_from_this<Link> {
public:
    using OnMessage = std::function<void(json::object&)>;
    using OnNote = std::function<void(const std::string&)>;
    // Sees every frame: direction '<' (from the kernel) or '>' (to it) and the text.
    using Trace = std::function<void(char, std::string_view)>;

    // `tls`: the server context (wss://), or null for plain ws://. `token`: what the upgrade
    // request's "Authorization: Bearer" must carry.
    Link(asio::io_context& io, std::shared_ptr<asio::ssl::context> tls, std::string token);

    // Binds 127.0.0.1 on a free port and returns it.
    unsigned short listen();
    // Accepts connections until one presents the token and completes the upgrade; returns the
    // path it asked for. Attempts without the token get HTTP 401 and go to `on_refused`.
    asio::awaitable<std::string> accept(OnNote on_refused);
    // Stops a pending accept (io thread).
    void cancel_accept();

    // Starts reading: whole messages go to `on_message`; frames that are not JSON objects and bad
    // chunks go to `on_problem`; `on_closed` is called once with the reason when the connection ends.
    void start(OnMessage on_message, OnNote on_problem, OnNote on_closed);
    void set_trace(Trace trace) { trace_ = std::move(trace); }

    // Queues one message (any thread).
    void send(const json::object& message);
    // Sends a close frame after what is queued (any thread).
    void close();
    bool is_open() const { return open_; }

private:
    using PlainWs = websocket::stream<tcp::socket>;
    using TlsWs = websocket::stream<asio::ssl::stream<tcp::socket>>;

    template <class Ws>
    asio::awaitable<std::string> upgrade(Ws& ws);
    template <class Ws>
    asio::awaitable<void> read_frames(Ws& ws);
    asio::awaitable<void> read_loop();
    // Calls f(ws) on the open stream, whichever kind it is.
    template <class F>
    void with_ws(F&& f);
    void queue(std::vector<std::string> frames);
    void write_next();
    void finish(const std::string& reason);

    asio::io_context& io_;
    tcp::acceptor acceptor_;
    std::shared_ptr<asio::ssl::context> tls_;
    std::string token_;
    std::variant<std::monostate, PlainWs, TlsWs> ws_;
    OnMessage on_message_;
    OnNote on_problem_, on_closed_;
    Trace trace_;
    std::deque<std::string> outbox_;
    bool writing_ = false;
    bool close_wanted_ = false;
    bool closing_ = false;
    std::atomic<bool> open_{false};
    ChunkJoiner joiner_;
};

}  // namespace console
