#pragma once
// Collects messages enqueued within FLUSH_INTERVAL and sends them as one {"type":"batch"} message
// (a single message is sent unchanged). Runs on the listener; started and stopped with the
// connection. The flush timer only runs while something is queued.
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace gridlet {

class MessageBatcher {
public:
    static constexpr double FLUSH_INTERVAL = 0.01;
    using Send = std::function<void(std::string_view json)>;

    // `send` writes one message directly (the kernel's send path).
    MessageBatcher(boost::asio::io_context& io, Send send);
    void start();
    // Final flush: nothing enqueued is lost.
    void stop();
    // Listener thread only. `json` is one encoded message object.
    void enqueue(std::string json);
    bool running() const { return running_; }

private:
    void flush_now();

    Send send_;
    boost::asio::steady_timer timer_;
    std::vector<std::string> queue_;
    bool running_ = false;
    bool armed_ = false;
};

}  // namespace gridlet
