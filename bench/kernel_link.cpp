#include "kernel_link.hpp"

#include "wire.hpp"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <cstring>
#include <stdexcept>

namespace bench {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

asio::awaitable<void> Signal::wait_for(Clock::duration limit) {
    if (fired_) co_return;
    timer_.expires_after(limit);
    boost::system::error_code ec;
    co_await timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

namespace {

constexpr std::size_t kReadBlock = 256 * 1024;
constexpr std::size_t kMaxFrame = 512u * 1024 * 1024;

// XORs the payload with the client's masking key, eight bytes at a time.
void unmask(char* p, std::size_t n, const unsigned char key[4]) {
    unsigned char k8[8];
    std::memcpy(k8, key, 4);
    std::memcpy(k8 + 4, key, 4);
    std::uint64_t k;
    std::memcpy(&k, k8, 8);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        w ^= k;
        std::memcpy(p + i, &w, 8);
    }
    for (; i < n; ++i) p[i] = static_cast<char>(p[i] ^ key[i & 3]);
}

}  // namespace

KernelLink::KernelLink(asio::any_io_executor ex) : socket_(ex), writer_wake_(ex), drained_(ex), closed_(ex) {}

asio::awaitable<std::string> KernelLink::accept(tcp::socket socket, Clock::duration limit) {
    socket_ = std::move(socket);
    // A peer that connects but never completes the upgrade must not hang the benchmark.
    asio::steady_timer watchdog(socket_.get_executor());
    watchdog.expires_after(limit);
    watchdog.async_wait([self = shared_from_this()](boost::system::error_code ec) {
        if (!ec && !self->open_) {
            boost::system::error_code ig;
            self->socket_.cancel(ig);
        }
    });
    beast::flat_buffer buf;
    http::request<http::string_body> req;
    co_await http::async_read(socket_, buf, req, asio::use_awaitable);
    watchdog.cancel();
    if (!websocket::is_upgrade(req)) throw std::runtime_error("request is not a WebSocket upgrade");
    std::string target(req.target());

    websocket::stream<tcp::socket> ws(std::move(socket_));
    ws.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, "gridlet-bench"); }));
    co_await ws.async_accept(req, asio::use_awaitable);
    socket_ = std::move(ws.next_layer());
    socket_.set_option(tcp::no_delay(true));

    rbuf_.resize(kReadBlock);
    auto leftover = buf.data();
    rend_ = asio::buffer_copy(asio::buffer(rbuf_), leftover);
    rbegin_ = 0;
    open_ = true;
    last_rx_ = Clock::now();
    co_return target;
}

void KernelLink::start(Handler handler) {
    handler_ = std::move(handler);
    auto ex = socket_.get_executor();
    asio::co_spawn(
        ex,
        [](std::shared_ptr<KernelLink> self) -> asio::awaitable<void> {
            co_await self->read_loop();
        }(shared_from_this()),
        asio::detached);
    asio::co_spawn(
        ex,
        [](std::shared_ptr<KernelLink> self) -> asio::awaitable<void> {
            co_await self->write_loop();
        }(shared_from_this()),
        asio::detached);
}

asio::awaitable<void> KernelLink::read_loop() {
    // Frames already in the buffer (sent right after the upgrade) come first.
    if (rend_ > rbegin_ && !process_frames()) {
        finish("protocol error from the kernel");
        co_return;
    }
    while (open_) {
        std::size_t avail = rend_ - rbegin_;
        if (rbegin_ > 0 && (avail == 0 || rend_ + 4096 > rbuf_.size())) {
            std::memmove(rbuf_.data(), rbuf_.data() + rbegin_, avail);
            rbegin_ = 0;
            rend_ = avail;
        }
        if (rend_ == rbuf_.size()) rbuf_.resize(rbuf_.size() * 2);

        boost::system::error_code ec;
        std::size_t n = co_await socket_.async_read_some(asio::buffer(rbuf_.data() + rend_, rbuf_.size() - rend_),
                                                         asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            finish(ec == asio::error::eof ? "connection closed by the kernel" : ec.message());
            co_return;
        }
        rend_ += n;
        stats_.bytes_in += n;
        ++stats_.reads;
        last_rx_ = Clock::now();
        if (!process_frames()) {
            finish("protocol error from the kernel");
            co_return;
        }
    }
}

bool KernelLink::process_frames() {
    while (open_) {
        std::size_t avail = rend_ - rbegin_;
        auto* p = reinterpret_cast<unsigned char*>(rbuf_.data() + rbegin_);
        if (avail < 2) return true;
        bool fin = p[0] & 0x80;
        unsigned rsv = p[0] & 0x70;
        unsigned opcode = p[0] & 0x0F;
        bool masked = p[1] & 0x80;
        std::uint64_t len = p[1] & 0x7F;
        std::size_t hdr = 2;
        if (len == 126) {
            if (avail < 4) return true;
            len = (std::uint64_t(p[2]) << 8) | p[3];
            hdr = 4;
        } else if (len == 127) {
            if (avail < 10) return true;
            len = 0;
            for (int i = 0; i < 8; ++i) len = (len << 8) | p[2 + i];
            hdr = 10;
        }
        if (rsv != 0 || len > kMaxFrame) return false;
        std::size_t mask_at = hdr;
        if (masked) hdr += 4;
        std::size_t total = hdr + static_cast<std::size_t>(len);
        if (avail < total) {
            // Make room for the whole frame so the next read can complete it.
            if (total > rbuf_.size()) rbuf_.resize(std::max(total, rbuf_.size() * 2) + kReadBlock);
            return true;
        }
        char* payload = rbuf_.data() + rbegin_ + hdr;
        if (masked) unmask(payload, len, p + mask_at);
        rbegin_ += total;
        ++stats_.frames_in;
        on_frame(opcode, fin, payload, static_cast<std::size_t>(len));
    }
    return true;
}

void KernelLink::on_frame(unsigned opcode, bool fin, char* payload, std::size_t len) {
    switch (opcode) {
        case 0x1:
        case 0x2:
            if (fin) {
                on_message(std::string_view(payload, len));
            } else {
                fragments_.assign(payload, len);
                in_fragmented_ = true;
            }
            break;
        case 0x0:
            if (!in_fragmented_) break;
            fragments_.append(payload, len);
            if (fin) {
                in_fragmented_ = false;
                std::string whole;
                whole.swap(fragments_);
                on_message(whole);
            }
            break;
        case 0x8: {
            peer_closed_ = true;
            if (close_sent_) {
                finish("closed");
            } else {
                // Echo the peer's close code, then end the connection once it is written.
                queue_frame(0x8, std::string_view(payload, std::min<std::size_t>(len, 2)));
                close_sent_ = true;
            }
            break;
        }
        case 0x9:
            queue_frame(0xA, std::string_view(payload, len));
            break;
        default:
            break;
    }
}

void KernelLink::on_message(std::string_view text) {
    ++stats_.messages_in;
    std::string scratch;
    if (text.size() > 8 && text[0] == '{' && message_type(text, scratch) == "chunk") {
        on_chunk(text);
        return;
    }
    if (handler_) handler_(text);
}

void KernelLink::on_chunk(std::string_view text) {
    ++stats_.chunk_pieces;
    ChunkPiece piece;
    auto data_pos = scan_chunk_header(text, piece);
    bool header_ok = data_pos || parse_chunk(text, piece);
    if (!header_ok || piece.total_chunks <= 0 || piece.total_chunks > 10'000'000 || piece.chunk_index < 0 ||
        piece.chunk_index >= piece.total_chunks) {
        if (handler_) handler_(text);  // let the scenario see what is wrong with it
        return;
    }
    auto& part = chunks_[piece.chunk_id];
    auto total = static_cast<std::size_t>(piece.total_chunks);
    if (part.filled.empty()) {
        part.filled.resize(total, false);
        part.text.reserve(total * 65536);
    }
    auto idx = static_cast<std::size_t>(piece.chunk_index);
    if (idx >= part.filled.size() || part.filled[idx]) return;  // first arrival wins

    // Decode the piece's data into its place: the end of the text when it is next in line.
    std::string& target = idx == part.next ? part.text : part.early[idx];
    if (data_pos) {
        std::size_t pos = *data_pos;
        std::size_t before = target.size();
        if (!decode_json_string(text, pos, target)) {
            target.resize(before);
            if (!parse_chunk(text, piece)) {
                if (handler_) handler_(text);
                return;
            }
            target += piece.data;
        }
    } else {
        target += piece.data;
    }
    part.filled[idx] = true;
    ++part.received;
    if (idx == part.next) {
        ++part.next;
        for (auto it = part.early.find(part.next); it != part.early.end(); it = part.early.find(part.next)) {
            part.text += it->second;
            part.early.erase(it);
            ++part.next;
        }
    }
    if (part.received < part.filled.size()) return;

    std::string whole = std::move(part.text);
    chunks_.erase(piece.chunk_id);
    ++stats_.chunked_messages;
    if (handler_) handler_(whole);
}

void KernelLink::queue_frame(unsigned opcode, std::string_view payload) {
    if (!open_ || close_sent_) return;
    char hdr[10];
    std::size_t n = 0;
    std::size_t len = payload.size();
    hdr[n++] = static_cast<char>(0x80 | opcode);
    if (len < 126) {
        hdr[n++] = static_cast<char>(len);
    } else if (len <= 0xFFFF) {
        hdr[n++] = 126;
        hdr[n++] = static_cast<char>(len >> 8);
        hdr[n++] = static_cast<char>(len & 0xFF);
    } else {
        hdr[n++] = 127;
        for (int i = 7; i >= 0; --i) hdr[n++] = static_cast<char>((std::uint64_t(len) >> (8 * i)) & 0xFF);
    }
    outbox_.append(hdr, n);
    outbox_.append(payload.data(), payload.size());
    if (!writing_) writer_wake_.cancel();
}

void KernelLink::send(std::string_view text) { queue_frame(0x1, text); }

void KernelLink::send_close() {
    if (!open_ || close_sent_) return;
    static constexpr char normal[2] = {0x03, static_cast<char>(0xE8)};  // 1000
    queue_frame(0x8, std::string_view(normal, 2));
    close_sent_ = true;
}

asio::awaitable<void> KernelLink::write_loop() {
    while (open_) {
        if (outbox_.empty()) {
            if (close_sent_ && peer_closed_) {
                finish("closed");
                break;
            }
            writer_wake_.expires_at(asio::steady_timer::time_point::max());
            boost::system::error_code ec;
            co_await writer_wake_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            continue;
        }
        inflight_.swap(outbox_);
        writing_ = true;
        boost::system::error_code ec;
        std::size_t n =
            co_await asio::async_write(socket_, asio::buffer(inflight_), asio::redirect_error(asio::use_awaitable, ec));
        writing_ = false;
        stats_.bytes_out += n;
        ++stats_.writes;
        inflight_.clear();
        drained_.fire();
        if (ec) {
            finish("write failed: " + ec.message());
            break;
        }
    }
}

asio::awaitable<void> KernelLink::drain_below(std::size_t bytes, Clock::duration patience) {
    auto last_progress = Clock::now();
    while (open_ && outbox_.size() >= bytes && Clock::now() - last_progress < patience) {
        drained_.reset();
        co_await drained_.wait_for(std::chrono::milliseconds(200));
        if (drained_.fired()) last_progress = Clock::now();
    }
}

asio::awaitable<void> KernelLink::flushed(Clock::duration patience) {
    auto last_progress = Clock::now();
    while (open_ && (!outbox_.empty() || writing_) && Clock::now() - last_progress < patience) {
        drained_.reset();
        co_await drained_.wait_for(std::chrono::milliseconds(200));
        if (drained_.fired()) last_progress = Clock::now();
    }
}

void KernelLink::abort() { finish("aborted by the benchmark"); }

void KernelLink::finish(std::string reason) {
    if (!open_) return;
    open_ = false;
    close_reason_ = std::move(reason);
    boost::system::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    writer_wake_.cancel();
    drained_.fire();
    closed_.fire();
}

}  // namespace bench
