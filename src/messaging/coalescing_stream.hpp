#pragma once
// A stream layer under Beast's WebSocket stream: reads pass through; once attached to an Outbox,
// the library's own writes (control frames) are appended there, so they stay in order with the
// kernel's frames and share its batched socket writes.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "messaging/outbox.hpp"

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
    void attach(Outbox* outbox) { outbox_ = outbox; }

    template <class Buffers, class Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        return next_.async_read_some(buffers, std::forward<Token>(token));
    }

    template <class Buffers, class Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
            [this](auto handler, const Buffers& bufs) {
                if (!outbox_) {
                    next_.async_write_some(bufs, std::move(handler));
                    return;
                }
                std::size_t n = 0;
                for (auto it = boost::asio::buffer_sequence_begin(bufs); it != boost::asio::buffer_sequence_end(bufs);
                     ++it) {
                    boost::asio::const_buffer b(*it);
                    outbox_->post_raw(std::string_view(static_cast<const char*>(b.data()), b.size()));
                    n += b.size();
                }
                auto ex = boost::asio::get_associated_executor(handler, get_executor());
                boost::asio::post(ex, [h = std::move(handler), n]() mutable { h(boost::system::error_code{}, n); });
            },
            token, buffers);
    }

private:
    Next next_;
    Outbox* outbox_ = nullptr;
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
    boost::system::error_code ec;
    boost::beast::get_lowest_layer(s).close(ec);
    auto ex = boost::asio::get_associated_executor(handler, s.get_executor());
    boost::asio::post(ex, [h = std::forward<Handler>(handler)]() mutable { h(boost::system::error_code{}); });
}

}  // namespace gridlet
