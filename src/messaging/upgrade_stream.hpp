#pragma once
// A stream layer under Beast's WebSocket stream, which is used for the upgrade only (the
// connection reads and writes frames itself afterwards). During the upgrade, reads go through an
// UpgradeResponse, so that the library sees a compact answer however large the server's header.
// The library is handed the header and nothing more: frame bytes the server sent right behind
// it are kept here for the connection (`take_leftover`), not left in the library's buffer.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <array>
#include <memory>
#include <string>

#include "messaging/upgrade_response.hpp"

namespace gridlet {

template <class Next>
class UpgradeStream {
public:
    using executor_type = typename Next::executor_type;
    using next_layer_type = Next;

    template <class... Args>
    explicit UpgradeStream(Args&&... args) : next_(std::forward<Args>(args)...) {}

    executor_type get_executor() noexcept { return next_.get_executor(); }
    Next& next_layer() noexcept { return next_; }
    const Next& next_layer() const noexcept { return next_; }

    // The next reads take the server's upgrade answer through an UpgradeResponse; after its
    // compact header has been read, reads pass straight through again.
    void expect_upgrade_response() {
        upgrade_ = std::make_unique<UpgradeResponse>();
        served_ = 0;
    }
    // The answer read during the upgrade (null before expect_upgrade_response()).
    const UpgradeResponse* upgrade_response() const { return upgrade_.get(); }
    // Bytes the server sent after its upgrade header (the start of its first frames).
    std::string take_leftover() {
        if (!upgrade_ || !upgrade_->complete() || !upgrade_->error().empty()) return {};
        const std::string& out = upgrade_->compact();
        std::string rest = out.substr(header_size(out));
        upgrade_.reset();
        return rest;
    }

    template <class Buffers, class Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        if (!upgrade_ || served_ == std::string::npos)
            return next_.async_read_some(buffers, std::forward<Token>(token));
        return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
            UpgradeReadOp<Buffers>{this, buffers}, token, next_);
    }

    template <class Buffers, class Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        return next_.async_write_some(buffers, std::forward<Token>(token));
    }

private:
    // The compact answer's header ends at its first empty line.
    static std::size_t header_size(const std::string& compact) {
        auto end = compact.find("\r\n\r\n");
        return end == std::string::npos ? compact.size() : end + 4;
    }

    template <class Buffers>
    struct UpgradeReadOp {
        UpgradeStream* s;
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
            const std::size_t header = header_size(out);
            std::size_t n_copied =
                boost::asio::buffer_copy(buffers, boost::asio::buffer(out.data() + s->served_, header - s->served_));
            s->served_ += n_copied;
            if (s->served_ >= header) s->served_ = std::string::npos;  // pass through from now on
            self.complete({}, n_copied);
        }
    };

    Next next_;
    std::unique_ptr<UpgradeResponse> upgrade_;
    std::size_t served_ = 0;  // bytes of the compact header handed on; npos once all were
    std::array<char, 16384> scratch_{};
};

// The library never closes the connection itself (the connection does, after its own close
// handshake); should it tear down, the socket is simply closed.
template <class Next>
void teardown(boost::beast::role_type, UpgradeStream<Next>& s, boost::system::error_code& ec) {
    boost::beast::get_lowest_layer(s).close(ec);
}

template <class Next, class Handler>
void async_teardown(boost::beast::role_type, UpgradeStream<Next>& s, Handler&& handler) {
    boost::system::error_code ec;
    boost::beast::get_lowest_layer(s).close(ec);
    auto ex = boost::asio::get_associated_executor(handler, s.get_executor());
    boost::asio::post(ex, [h = std::forward<Handler>(handler)]() mutable { h(boost::system::error_code{}); });
}

}  // namespace gridlet
