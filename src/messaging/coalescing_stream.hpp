#pragma once
// A stream layer under Beast's WebSocket stream: reads pass through; once attached to an Outbox,
// the library's own writes (control frames) are appended there, so they stay in order with the
// kernel's frames and share its batched socket writes. During the upgrade, reads go through an
// UpgradeResponse, so that the library sees a compact answer however large the server's header.
// A close frame is the last thing queued, and the socket is closed only once everything queued
// before it has been written (or after a bound), so a close never cuts a frame.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <type_traits>

#include "messaging/outbox.hpp"
#include "messaging/upgrade_response.hpp"

namespace gridlet {

template <class Next>
class CoalescingStream {
public:
    using executor_type = typename Next::executor_type;
    using next_layer_type = Next;

    template <class... Args>
    explicit CoalescingStream(Args&&... args) : next_(std::forward<Args>(args)...) {}

    executor_type get_executor() noexcept { return next_.get_executor(); }
    Next& next_layer() noexcept { return next_; }
    const Next& next_layer() const noexcept { return next_; }
    // `drained` tells whether everything queued has reached the socket.
    void attach(Outbox* outbox, std::function<bool()> drained) {
        outbox_ = outbox;
        drained_ = std::move(drained);
    }

    // Calls `done` once everything queued has been written, or after `bound`.
    template <class Done>
    void async_wait_drained(std::chrono::milliseconds bound, Done&& done) {
        if (!drained_ || drained_()) {
            boost::asio::post(get_executor(), std::forward<Done>(done));
            return;
        }
        auto wait = std::make_shared<DrainWait<std::decay_t<Done>>>(*this, bound, std::forward<Done>(done));
        wait->step();
    }

    // The next reads take the server's upgrade answer through an UpgradeResponse; after its
    // compact form has been read, reads pass straight through again.
    void expect_upgrade_response() {
        upgrade_ = std::make_unique<UpgradeResponse>();
        served_ = 0;
    }
    // The answer read during the upgrade (null before expect_upgrade_response()).
    const UpgradeResponse* upgrade_response() const { return upgrade_.get(); }
    void forget_upgrade_response() { upgrade_.reset(); }

    template <class Buffers, class Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        if (!upgrade_ || served_ == std::string::npos)
            return next_.async_read_some(buffers, std::forward<Token>(token));
        return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
            UpgradeReadOp<Buffers>{this, buffers}, token, next_);
    }

    template <class Buffers, class Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
            [this](auto handler, const Buffers& bufs) {
                if (!outbox_) {
                    next_.async_write_some(bufs, std::move(handler));
                    return;
                }
                std::string frame;
                for (auto it = boost::asio::buffer_sequence_begin(bufs); it != boost::asio::buffer_sequence_end(bufs);
                     ++it) {
                    boost::asio::const_buffer b(*it);
                    frame.append(static_cast<const char*>(b.data()), b.size());
                }
                const std::size_t n = frame.size();
                // Opcode 8: the close frame ends what the connection sends.
                if (!frame.empty() && (static_cast<unsigned char>(frame[0]) & 0x0F) == 0x8) outbox_->post_final(frame);
                else outbox_->post_raw(frame);
                auto ex = boost::asio::get_associated_executor(handler, get_executor());
                boost::asio::post(ex, [h = std::move(handler), n]() mutable { h(boost::system::error_code{}, n); });
            },
            token, buffers);
    }

private:
    // Polls every 2 ms until the queue has drained or the bound has passed, then calls `done`.
    template <class Done>
    struct DrainWait : std::enable_shared_from_this<DrainWait<Done>> {
        DrainWait(CoalescingStream& s, std::chrono::milliseconds bound, Done&& d)
            : stream(s), timer(s.get_executor()), deadline(std::chrono::steady_clock::now() + bound),
              done(std::move(d)) {}
        void step() {
            if (stream.drained_() || std::chrono::steady_clock::now() >= deadline) {
                done();
                return;
            }
            timer.expires_after(std::chrono::milliseconds(2));
            timer.async_wait([self = this->shared_from_this()](boost::system::error_code) { self->step(); });
        }
        CoalescingStream& stream;
        boost::asio::steady_timer timer;
        std::chrono::steady_clock::time_point deadline;
        Done done;
    };

    template <class Buffers>
    struct UpgradeReadOp {
        CoalescingStream* s;
        Buffers buffers;
        enum { start, reading, posted } state = start;

        template <class Self>
        void operator()(Self& self, boost::system::error_code ec = {}, std::size_t n = 0) {
            UpgradeResponse& u = *s->upgrade_;
            if (state == reading) {
                if (ec) {
                    self.complete(ec, 0);
                    return;
                }
                u.add(std::string_view(s->scratch_.data(), n));
            }
            if (!u.complete()) {
                state = reading;
                s->next_.async_read_some(boost::asio::buffer(s->scratch_), std::move(self));
                return;
            }
            if (state == start) {  // never complete inside the initiating call
                state = posted;
                boost::asio::post(s->get_executor(), std::move(self));
                return;
            }
            if (!u.error().empty()) {
                self.complete(boost::beast::http::error::header_limit, 0);
                return;
            }
            const std::string& out = u.compact();
            std::size_t n_copied = boost::asio::buffer_copy(buffers, boost::asio::buffer(out) + s->served_);
            s->served_ += n_copied;
            if (s->served_ >= out.size()) s->served_ = std::string::npos;  // pass through from now on
            self.complete({}, n_copied);
        }
    };

    Next next_;
    Outbox* outbox_ = nullptr;
    std::function<bool()> drained_;
    std::unique_ptr<UpgradeResponse> upgrade_;
    std::size_t served_ = 0;  // bytes of the compact answer handed on; npos once all were
    std::array<char, 16384> scratch_{};
};

// After the WebSocket close handshake (or a declined upgrade) the socket is simply closed: waiting
// for the peer to close its side first (or for a TLS close_notify, which many servers never send)
// would hold the kernel's exit until the peer or a timeout decides.
template <class Next>
void teardown(boost::beast::role_type, CoalescingStream<Next>& s, boost::system::error_code& ec) {
    boost::beast::get_lowest_layer(s).close(ec);
}

template <class Next, class Handler>
void async_teardown(boost::beast::role_type, CoalescingStream<Next>& s, Handler&& handler) {
    // The close frame, and the frames queued before it, are written first (at most 1 s).
    s.async_wait_drained(std::chrono::milliseconds(1000), [&s, h = std::forward<Handler>(handler)]() mutable {
        boost::system::error_code ec;
        boost::beast::get_lowest_layer(s).close(ec);
        auto ex = boost::asio::get_associated_executor(h, s.get_executor());
        boost::asio::post(ex, [h = std::move(h)]() mutable { h(boost::system::error_code{}); });
    });
}

}  // namespace gridlet
