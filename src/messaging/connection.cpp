#include "messaging/connection.hpp"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "messaging/server_frame_reader.hpp"
#include "messaging/server_verification.hpp"
#include "messaging/upgrade_stream.hpp"
#include "messaging/ws_frame.hpp"
#include "util/log.hpp"

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
                co_await ws_.next_layer().next_layer().async_handshake(asio::ssl::stream_base::client, use_awaitable);
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
            ws_.set_option(
                websocket::stream_base::timeout{websocket::stream_base::none(), websocket::stream_base::none(), false});
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
        // From here the connection reads and writes frames itself; the library's handshake timer
        // must not fire later.
        ws_.set_option(
            websocket::stream_base::timeout{websocket::stream_base::none(), websocket::stream_base::none(), false});
        const std::string leftover = ws_.next_layer().take_leftover();
        std::memcpy(in_.get(), leftover.data(), leftover.size());  // at most one 16 KiB header read
        begin_ = 0;
        end_ = leftover.size();
        outbox_.open([this] { asio::post(ioc_, [this] { flush(); }); });
        open_ = true;
    }

    // Frames are taken out of a large read buffer one after the other: while a whole message is
    // buffered it is returned without going back to the event loop, so one socket read serves
    // every message it brought in. A message within one frame that is wholly buffered is
    // returned in place; the pieces of any other are joined in `message_`.
    asio::awaitable<ReadResult> read(std::size_t max_characters) override {
        if (ended_) throw boost::system::system_error(ended_);
        message_.clear();
        if (message_.capacity() > (8u << 20)) message_.shrink_to_fit();
        ReadResult result;
        bool joined = false;  // earlier pieces of this message are in message_
        for (;;) {
            auto step = frames_.next(std::string_view(in_.get() + begin_, end_ - begin_));
            begin_ += step.consumed;
            switch (step.kind) {
                case ServerFrameReader::Kind::need_more:
                    co_await fill();
                    break;
                case ServerFrameReader::Kind::data:
                    result.characters += step.characters;
                    if (result.too_large || result.characters > max_characters) {
                        result.too_large = true;  // keep reading to the message's end, keep nothing
                        message_.clear();
                    } else if (step.message_done && !joined) {
                        result.text = step.payload;  // stays in in_ until the next read
                    } else {
                        message_.append(step.payload);
                        joined = true;
                    }
                    if (step.message_done) {
                        if (!result.too_large && joined) result.text = message_;
                        co_return result;
                    }
                    break;
                case ServerFrameReader::Kind::ping:
                    if (!close_sent_) send_control(0xA, step.payload);
                    break;
                case ServerFrameReader::Kind::pong:
                    break;
                case ServerFrameReader::Kind::close:
                    // The closing handshake: the peer's close is answered with its own code.
                    if (!close_sent_) send_close(step.close_code ? step.close_code : kCloseNormal);
                    co_await finish(websocket::error::closed);
                    break;
                case ServerFrameReader::Kind::error:
                    // Failing the connection: a close frame saying why, then the socket is closed.
                    if (!close_sent_) send_close(step.close_code);
                    co_await finish(step.error);
                    break;
            }
        }
    }

    asio::awaitable<void> close() override {
        if (!open_) co_return;
        open_ = false;
        if (keep_alive_) keep_alive_->cancel();
        // Let what was posted reach the peer before the close frame.
        co_await wait_drained(std::chrono::seconds(1));
        if (!peer_gone_ && !failed_ && !close_sent_) {
            send_close(kCloseNormal);
            co_await await_close_answer(std::chrono::seconds(1));
        }
        co_await wait_drained(std::chrono::seconds(1));
        if (!ended_) ended_ = asio::error::operation_aborted;  // later reads fail at once
        outbox_.close();
        boost::system::error_code ec;
        beast::get_lowest_layer(ws_).close(ec);
    }

    void start_keep_alive() override {
        if (settings_.ping_interval.count() <= 0) return;
        // Pings after one interval without incoming data and gives up after a second. A timer
        // that checks a counter once an interval costs nothing per message. The pings go
        // through the outbox like the kernel's frames.
        keep_alive_ = std::make_unique<asio::steady_timer>(ioc_);
        arm_keep_alive();
    }

    bool keep_alive_expired() const override { return keep_alive_expired_; }

    bool is_open() const override { return open_; }

private:
    static constexpr std::uint16_t kCloseNormal = 1000;
    static constexpr std::size_t kReadBytes = 256 * 1024;

    Next& transport() { return ws_.next_layer().next_layer(); }

    // Reads what the socket has (up to the buffer's room) behind the bytes not yet used.
    asio::awaitable<void> fill() {
        // What is left is at most an incomplete frame header or control frame.
        if (begin_ > 0) {
            std::memmove(in_.get(), in_.get() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        std::size_t n = 0;
        boost::system::error_code ec;
        reading_ = true;
        n = co_await transport().async_read_some(asio::buffer(in_.get() + end_, kReadBytes - end_),
                                                 asio::redirect_error(use_awaitable, ec));
        reading_ = false;
        if (ec) {
            peer_gone_ = true;  // nothing more to say to the peer: close() skips the handshake
            ended_ = ec;
            throw boost::system::system_error(ec);
        }
        end_ += n;
        ++received_;
    }

    // Reading has ended with `ec`: what is queued (the close frame last) is written, the socket
    // closed, and the read fails with `ec`.
    asio::awaitable<void> finish(boost::system::error_code ec) {
        ended_ = ec;
        peer_gone_ = true;
        co_await wait_drained(std::chrono::seconds(1));
        boost::system::error_code ignored;
        beast::get_lowest_layer(ws_).close(ignored);
        throw boost::system::system_error(ec);
    }

    // Waits for the peer's answer to our close frame (or the end of the connection), at most
    // `bound`. A read already waiting on the socket takes the answer; otherwise one is run here,
    // dropping whatever messages still come.
    asio::awaitable<void> await_close_answer(std::chrono::milliseconds bound) {
        if (ended_) co_return;
        if (reading_) {
            asio::steady_timer wait(ioc_);
            for (auto waited = std::chrono::milliseconds(0); !ended_ && waited < bound;
                 waited += std::chrono::milliseconds(5)) {
                wait.expires_after(std::chrono::milliseconds(5));
                co_await wait.async_wait(use_awaitable);
            }
            co_return;
        }
        asio::steady_timer guard(ioc_, bound);
        guard.async_wait([this](boost::system::error_code ec) {
            if (ec) return;
            boost::system::error_code ignored;
            beast::get_lowest_layer(ws_).close(ignored);
        });
        try {
            for (;;) co_await read(0);
        } catch (const boost::system::system_error&) {}
        guard.cancel();
    }

    // Waits until everything queued has been written (or the write failed), at most `bound`.
    asio::awaitable<void> wait_drained(std::chrono::milliseconds bound) {
        asio::steady_timer wait(ioc_);
        for (auto waited = std::chrono::milliseconds(0);
             (flushing_ || outbox_.pending_bytes() > 0) && !failed_ && waited < bound;
             waited += std::chrono::milliseconds(2)) {
            wait.expires_after(std::chrono::milliseconds(2));
            co_await wait.async_wait(use_awaitable);
        }
    }

    void send_control(unsigned opcode, std::string_view payload) {
        std::string frame;
        ws_frame::append_control_frame(frame, opcode, payload);
        outbox_.post_raw(frame);
    }

    // The close frame is the last thing the connection sends.
    void send_close(std::uint16_t code) {
        close_sent_ = true;
        const char payload[2] = {char(code >> 8), char(code & 0xFF)};
        std::string frame;
        ws_frame::append_control_frame(frame, 0x8, std::string_view(payload, 2));
        outbox_.post_final(frame);
    }

    void arm_keep_alive() {
        keep_alive_->expires_after(settings_.ping_interval);
        keep_alive_->async_wait([this](boost::system::error_code ec) {
            if (ec || !open_ || ended_) return;
            if (received_ != seen_) {
                seen_ = received_;
                ping_sent_ = false;
            } else if (!ping_sent_) {
                ping_sent_ = true;
                if (!close_sent_) send_control(0x9, {});
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
        asio::async_write(transport(), gather_, [this, seq](boost::system::error_code ec, std::size_t) {
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
    std::uint64_t received_ = 0;  // socket reads that brought bytes from the peer
    std::uint64_t seen_ = 0;      // `received_` at the last keep-alive check
    bool ping_sent_ = false;
    bool keep_alive_expired_ = false;
    websocket::stream<UpgradeStream<Next>> ws_;
    std::unique_ptr<char[]> in_ = std::make_unique<char[]>(kReadBytes);
    std::size_t begin_ = 0;  // in_[begin_, end_) is read and not yet used
    std::size_t end_ = 0;
    ServerFrameReader frames_;
    std::string message_;
    std::vector<std::string> inflight_;
    std::vector<asio::const_buffer> gather_;
    boost::system::error_code ended_;  // why reading ended (set once it has)
    bool reading_ = false;             // a socket read is in progress
    bool close_sent_ = false;
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
