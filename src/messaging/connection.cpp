#include "messaging/connection.hpp"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <memory>
#include <stdexcept>

#include "messaging/coalescing_stream.hpp"
#include "util/log.hpp"
#include "util/utf8.hpp"

namespace gridlet {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using asio::use_awaitable;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kHandshakeTimeout = std::chrono::seconds(5);

template <class Next>
class WsConnection final : public Connection {
public:
    template <class... Args>
    WsConnection(asio::io_context& ioc, Outbox& outbox, Args&&... args)
        : ioc_(ioc), outbox_(outbox), ws_(std::forward<Args>(args)...) {}

    asio::awaitable<void> open(const std::string& host, const std::string& port, const std::string& target) override {
        tcp::resolver resolver(ioc_);
        auto endpoints = co_await resolver.async_resolve(host, port, use_awaitable);
        auto& socket = beast::get_lowest_layer(ws_);
        asio::steady_timer guard(ioc_, kHandshakeTimeout);
        auto timed_out = std::make_shared<bool>(false);
        guard.async_wait([&socket, timed_out](boost::system::error_code ec) {
            if (ec) return;
            *timed_out = true;
            socket.close();
        });
        // However open() ends, the guard must not outlive it (it would keep the loop busy).
        struct CancelOnExit {
            asio::steady_timer& t;
            ~CancelOnExit() { t.cancel(); }
        } cancel_guard{guard};
        const char* stage = "TCP connection";
        try {
            co_await asio::async_connect(socket, endpoints, use_awaitable);
            socket.set_option(tcp::no_delay(true));
            if constexpr (!std::is_same_v<Next, tcp::socket>) {
                stage = "TLS handshake";
                co_await ws_.next_layer().next_layer().async_handshake(asio::ssl::stream_base::client,
                                                                       use_awaitable);
            }
        } catch (const boost::system::system_error&) {
            // The guard closed the socket: say so rather than "Operation canceled".
            if (*timed_out) throw std::runtime_error(std::string(stage) + " not answered within 5 s");
            throw;
        }
        guard.cancel();
        websocket::stream_base::timeout opts{kHandshakeTimeout, websocket::stream_base::none(), false};
        ws_.set_option(opts);
        ws_.read_message_max(std::size_t(1) << 40);
        ws_.auto_fragment(false);
        ws_.set_option(websocket::stream_base::decorator([](websocket::request_type& req) {
            req.set(beast::http::field::user_agent, "gridlet-kernel");
        }));
        const std::string authority = host + ":" + port;  // named: no temporaries inside co_await (g++ 12)
        try {
            co_await ws_.async_handshake(authority, target, use_awaitable);
        } catch (const boost::system::system_error& e) {
            // A refused upgrade (the peer closes, or answers other than 101) leaves the library's
            // handshake timer running, which would keep the loop, and so the process, alive
            // until it expires.
            ws_.set_option(websocket::stream_base::timeout{websocket::stream_base::none(),
                                                           websocket::stream_base::none(), false});
            boost::system::error_code ignored;
            beast::get_lowest_layer(ws_).close(ignored);
            if (e.code() == beast::error::timeout)
                throw std::runtime_error("WebSocket handshake not answered within 5 s");
            throw std::runtime_error("WebSocket handshake failed: " + e.code().message());
        }
        ws_.next_layer().attach(&outbox_, [this] { return failed_ || (!flushing_ && outbox_.pending_bytes() == 0); });
        outbox_.open([this] { asio::post(ioc_, [this] { flush(); }); });
        open_ = true;
    }

    asio::awaitable<ReadResult> read(std::size_t max_characters) override {
        buffer_.clear();
        if (buffer_.capacity() > (8u << 20)) buffer_.shrink_to_fit();
        ReadResult result;
        do {
            auto space = buffer_.prepare(65536);
            std::size_t n;
            try {
                n = co_await ws_.async_read_some(space, use_awaitable);
            } catch (...) {
                peer_gone_ = true;  // nothing more to say to the peer: close() skips the handshake
                throw;
            }
            auto fresh = std::string_view(static_cast<const char*>(space.data()), n);
            result.characters += utf8::count_code_points(fresh);
            if (result.characters > max_characters) {
                result.too_large = true;  // keep reading to the message's end, keep nothing
                buffer_.clear();
            } else {
                buffer_.commit(n);
            }
        } while (!ws_.is_message_done());
        if (!result.too_large) {
            auto data = buffer_.data();
            result.text = std::string_view(static_cast<const char*>(data.data()), data.size());
        }
        co_return result;
    }

    asio::awaitable<void> close() override {
        if (!open_) co_return;
        open_ = false;
        // Let what was posted reach the peer before the close frame.
        asio::steady_timer wait(ioc_);
        for (int i = 0; i < 200 && (flushing_ || outbox_.pending_bytes() > 0) && !failed_; ++i) {
            wait.expires_after(std::chrono::milliseconds(5));
            co_await wait.async_wait(use_awaitable);
        }
        boost::system::error_code ec;
        if (!peer_gone_ && !failed_) {
            // The peer has a second to answer the close frame.
            ws_.set_option(websocket::stream_base::timeout{std::chrono::seconds(1), websocket::stream_base::none(),
                                                           false});
            co_await ws_.async_close(websocket::close_code::normal, asio::redirect_error(use_awaitable, ec));
        }
        outbox_.close();
        beast::get_lowest_layer(ws_).close(ec);
    }

    bool is_open() const override { return open_; }

private:
    // Drains the outbox with one socket write; the next drain starts when this one completes.
    void flush() {
        if (flushing_ || failed_) return;
        auto seq = outbox_.take(inflight_);
        if (inflight_.empty()) return;
        flushing_ = true;
        asio::async_write(ws_.next_layer().next_layer(), asio::buffer(inflight_),
                          [this, seq](boost::system::error_code ec, std::size_t) {
                              flushing_ = false;
                              if (ec) {
                                  failed_ = true;
                                  GLOG_DEBUG("[Kernel] Socket write failed: {}", ec.message());
                                  outbox_.close();
                                  return;
                              }
                              outbox_.mark_written(seq);
                              flush();
                          });
    }

    asio::io_context& ioc_;
    Outbox& outbox_;
    websocket::stream<CoalescingStream<Next>> ws_;
    beast::flat_buffer buffer_;
    std::string inflight_;
    bool flushing_ = false;
    bool failed_ = false;
    bool open_ = false;
    bool peer_gone_ = false;
};

using PlainNext = tcp::socket;
using TlsNext = asio::ssl::stream<tcp::socket>;

class TlsConnection final : public Connection {
public:
    TlsConnection(asio::io_context& ioc, Outbox& outbox) : ctx_(make_context()), inner_(ioc, outbox, ioc, ctx_) {}
    asio::awaitable<void> open(const std::string& h, const std::string& p, const std::string& t) override {
        return inner_.open(h, p, t);
    }
    asio::awaitable<ReadResult> read(std::size_t m) override { return inner_.read(m); }
    asio::awaitable<void> close() override { return inner_.close(); }
    bool is_open() const override { return inner_.is_open(); }

private:
    // Any server certificate is accepted: the Business Layer runs on this machine with its own.
    static asio::ssl::context make_context() {
        asio::ssl::context ctx(asio::ssl::context::tls_client);
        ctx.set_verify_mode(asio::ssl::verify_none);
        return ctx;
    }
    asio::ssl::context ctx_;
    WsConnection<TlsNext> inner_;
};

}  // namespace

std::unique_ptr<Connection> make_connection(asio::io_context& ioc, Outbox& outbox, bool secured) {
    if (secured) return std::make_unique<TlsConnection>(ioc, outbox);
    return std::make_unique<WsConnection<PlainNext>>(ioc, outbox, ioc);
}

}  // namespace gridlet
