// The server end of one kernel's WebSocket connection.
//
// The HTTP upgrade is done by Beast. After it, frames are read and written directly on the TCP
// socket: reads take up to 256 KiB per system call and every complete frame in that block is
// handled before the next read, and all frames queued while a write is in flight leave together
// in the next write. This keeps the benchmark's own CPU cost small next to the kernel's.
#pragma once

#include <boost/asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace bench {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// A one-shot flag that one coroutine can wait for with a time limit.
class Signal {
public:
    explicit Signal(asio::any_io_executor ex) : timer_(ex) {}
    void fire() {
        fired_ = true;
        timer_.cancel();
    }
    void reset() { fired_ = false; }
    bool fired() const { return fired_; }
    // Returns when fired or after `limit`, whichever comes first.
    asio::awaitable<void> wait_for(Clock::duration limit);

private:
    asio::steady_timer timer_;
    bool fired_ = false;
};

struct LinkStats {
    std::uint64_t bytes_in = 0;
    std::uint64_t frames_in = 0;
    std::uint64_t messages_in = 0;  // after chunk reassembly
    std::uint64_t chunk_pieces = 0;
    std::uint64_t chunked_messages = 0;
    std::uint64_t bytes_out = 0;
    std::uint64_t writes = 0;  // write system calls' worth of batches
    std::uint64_t reads = 0;
};

class KernelLink : public std::enable_shared_from_this<KernelLink> {
public:
    using Handler = std::function<void(std::string_view)>;

    explicit KernelLink(asio::any_io_executor ex);

    // Reads the upgrade request from `socket` and answers it; gives up after `limit`. Returns the
    // request target the kernel asked for. Throws on failure.
    asio::awaitable<std::string> accept(tcp::socket socket, Clock::duration limit);

    // Starts the reader and writer coroutines. Complete messages (chunked ones already joined) go
    // to the handler; the view is valid only during the call.
    void start(Handler handler);
    void set_handler(Handler handler) { handler_ = std::move(handler); }

    // Queues one text message.
    void send(std::string_view text);
    // Bytes queued but not yet handed to the socket.
    std::size_t pending_bytes() const { return outbox_.size(); }
    // Waits until fewer than `bytes` are queued, the link closes or `patience` has passed without
    // any write completing.
    asio::awaitable<void> drain_below(std::size_t bytes, Clock::duration patience);
    // The same until everything queued has been written to the socket.
    asio::awaitable<void> flushed(Clock::duration patience);

    // Sends a close frame (once) after whatever is queued.
    void send_close();
    // Closes the socket at once.
    void abort();

    bool open() const { return open_; }
    bool peer_closed() const { return peer_closed_; }
    const std::string& close_reason() const { return close_reason_; }
    Clock::time_point last_receive() const { return last_rx_; }
    const LinkStats& stats() const { return stats_; }
    // Fired when the connection ends.
    Signal& closed_signal() { return closed_; }

private:
    asio::awaitable<void> read_loop();
    asio::awaitable<void> write_loop();
    // Handles every complete frame in the read buffer; returns false on a protocol error.
    bool process_frames();
    void on_frame(unsigned opcode, bool fin, char* payload, std::size_t len);
    void on_message(std::string_view text);
    void on_chunk(std::string_view text);
    void queue_frame(unsigned opcode, std::string_view payload);
    void finish(std::string reason);

    tcp::socket socket_;
    Handler handler_;

    std::vector<char> rbuf_;
    std::size_t rbegin_ = 0, rend_ = 0;
    std::string fragments_;  // payload of a fragmented message being collected
    bool in_fragmented_ = false;

    std::string outbox_;    // frames waiting for the writer
    std::string inflight_;  // frames being written
    asio::steady_timer writer_wake_;
    bool writing_ = false;
    bool close_sent_ = false;
    Signal drained_;

    // A chunked message being joined. Pieces that arrive in order are decoded straight onto the
    // end of `text`; others wait in `early` until their turn.
    struct Partial {
        std::string text;
        std::unordered_map<std::size_t, std::string> early;
        std::vector<bool> filled;
        std::size_t next = 0;
        std::size_t received = 0;
    };
    std::unordered_map<std::string, Partial> chunks_;

    bool open_ = false;
    bool peer_closed_ = false;
    std::string close_reason_;
    Clock::time_point last_rx_ = Clock::now();
    LinkStats stats_;
    Signal closed_;
};

}  // namespace bench
