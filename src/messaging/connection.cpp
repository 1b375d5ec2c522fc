#include "messaging/connection.hpp"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <memory>
#include <stdexcept>
#include <vector>

#include "messaging/coalescing_stream.hpp"
#include "messaging/server_verification.hpp"
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

std::string refusal_text(const UpgradeResponse& r, bool token_sent) {
    std::string text = "WebSocket upgrade refused by the server: HTTP " + std::to_string(r.status());
    if (!r.reason().empty()) text += " " + r.reason();
    if (r.status() == 401)
        text += token_sent ? " (the server did not accept GRIDLET_AUTH_TOKEN)" : " (no GRIDLET_AUTH_TOKEN was given)";
    return text;
}

template <class Next>
class WsConnection final : public Connection {
public:
    template <class... Args>
    WsConnection(asio::io_context& ioc, Outbox& outbox, const ConnectionSettings& settings, Args&&... args)
        : ioc_(ioc), outbox_(outbox), settings_(settings), ws_(std::forward<Args>(args)...) {}

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
        // A server that fails a check is dropped before anything more is said to it.
        [[maybe_unused]] auto refuse_if = [&socket](const std::string& why) {
            if (why.empty()) return;
            boost::system::error_code ignored;
            socket.close(ignored);
            throw std::runtime_error(why);
        };
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
            if constexpr (!std::is_same_v<Next, tcp::socket>)
                refuse_if(chain_failure(ws_.next_layer().next_layer().native_handle(), settings_));
            throw;
        }
        guard.cancel();
        if constexpr (!std::is_same_v<Next, tcp::socket>) {
            // Checked before a byte of the upgrade is sent: a refused server learns nothing.
            refuse_if(certificate_failure(ws_.next_layer().next_layer().native_handle(), settings_));
        }
        websocket::stream_base::timeout opts{kHandshakeTimeout, websocket::stream_base::none(), false};
        ws_.set_option(opts);
        ws_.read_message_max(std::size_t(1) << 40);
        ws_.auto_fragment(false);
        const bool token_sent = !settings_.auth_token.empty();
        ws_.set_option(websocket::stream_base::decorator([token = settings_.auth_token](websocket::request_type& req) {
            req.set(beast::http::field::user_agent, "gridlet-kernel");
            if (!token.empty()) req.set(beast::http::field::authorization, "Bearer " + token);
        }));
        ws_.next_layer().expect_upgrade_response();
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
            const UpgradeResponse* answer = ws_.next_layer().upgrade_response();
            if (answer && !answer->error().empty())
                throw std::runtime_error("WebSocket handshake failed: " + answer->error());
            if (answer && answer->complete() && (answer->status() == 401 || answer->status() == 403))
                throw std::runtime_error(refusal_text(*answer, token_sent));
            if (answer && answer->complete() && answer->status() != 101)
                throw std::runtime_error("WebSocket handshake failed: HTTP " + std::to_string(answer->status()) + " " +
                                         answer->reason());
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
            ++received_;
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
        if (keep_alive_) keep_alive_->cancel();
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

    void start_keep_alive() override {
        if (settings_.ping_interval.count() <= 0) return;
        // Pings after one interval without incoming data and gives up after a second. A timer
        // that checks a counter once an interval costs nothing per message (the library's own
        // idle timeout re-arms a timer, a system call, for every message read). The pings are
        // control frames, so they go through the outbox like the kernel's frames.
        ws_.control_callback([this](websocket::frame_type, beast::string_view) { ++received_; });
        keep_alive_ = std::make_unique<asio::steady_timer>(ioc_);
        arm_keep_alive();
    }

    bool keep_alive_expired() const override { return keep_alive_expired_; }

    bool is_open() const override { return open_; }

private:
    void arm_keep_alive() {
        keep_alive_->expires_after(settings_.ping_interval);
        keep_alive_->async_wait([this](boost::system::error_code ec) {
            if (ec || !open_) return;
            if (received_ != seen_) {
                seen_ = received_;
                ping_sent_ = false;
            } else if (!ping_sent_) {
                ping_sent_ = true;
                ws_.async_ping({}, [](boost::system::error_code) {});
            } else {
                // Nothing came back within an interval of the ping: the reader fails.
                keep_alive_expired_ = true;
                boost::system::error_code ignored;
                beast::get_lowest_layer(ws_).close(ignored);
                return;
            }
            arm_keep_alive();
        });
    }

    // Drains the outbox with one gather write of its finished buffers; the next drain starts when
    // this one completes (and frees these buffers).
    void flush() {
        if (flushing_ || failed_) return;
        auto seq = outbox_.take(inflight_);
        if (inflight_.empty()) return;
        gather_.clear();
        for (const auto& b : inflight_) gather_.emplace_back(b.data(), b.size());
        flushing_ = true;
        asio::async_write(ws_.next_layer().next_layer(), gather_,
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
    const ConnectionSettings& settings_;
    std::unique_ptr<asio::steady_timer> keep_alive_;
    std::uint64_t received_ = 0;  // reads and control frames from the peer
    std::uint64_t seen_ = 0;      // `received_` at the last keep-alive check
    bool ping_sent_ = false;
    bool keep_alive_expired_ = false;
    websocket::stream<CoalescingStream<Next>> ws_;
    beast::flat_buffer buffer_;
    std::vector<std::string> inflight_;
    std::vector<asio::const_buffer> gather_;
    bool flushing_ = false;
    bool failed_ = false;
    bool open_ = false;
    bool peer_gone_ = false;
};

using PlainNext = tcp::socket;
using TlsNext = asio::ssl::stream<tcp::socket>;

class TlsConnection final : public Connection {
public:
    TlsConnection(asio::io_context& ioc, Outbox& outbox, const ConnectionSettings& settings)
        : ctx_(make_client_tls_context(settings)), inner_(ioc, outbox, settings, ioc, ctx_) {}
    asio::awaitable<void> open(const std::string& h, const std::string& p, const std::string& t) override {
        return inner_.open(h, p, t);
    }
    void start_keep_alive() override { inner_.start_keep_alive(); }
    bool keep_alive_expired() const override { return inner_.keep_alive_expired(); }
    asio::awaitable<ReadResult> read(std::size_t m) override { return inner_.read(m); }
    asio::awaitable<void> close() override { return inner_.close(); }
    bool is_open() const override { return inner_.is_open(); }

private:
    asio::ssl::context ctx_;
    WsConnection<TlsNext> inner_;
};

}  // namespace

ConnectionEnd classify_end(const boost::system::error_code& ec) {
    if (ec == beast::error::timeout) return ConnectionEnd::keep_alive_timeout;
    if (ec.category() == make_error_code(websocket::error::closed).category() && ec != websocket::error::closed)
        return ConnectionEnd::protocol_error;
    return ConnectionEnd::closed;
}

std::unique_ptr<Connection> make_connection(asio::io_context& ioc, Outbox& outbox, const ConnectionSettings& settings) {
    if (settings.secured) return std::make_unique<TlsConnection>(ioc, outbox, settings);
    return std::make_unique<WsConnection<PlainNext>>(ioc, outbox, settings, ioc);
}

}  // namespace gridlet
