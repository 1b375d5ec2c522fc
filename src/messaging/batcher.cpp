#include "messaging/batcher.hpp"

namespace gridlet {

MessageBatcher::MessageBatcher(boost::asio::io_context& io, Send send) : send_(std::move(send)), timer_(io) {}

void MessageBatcher::start() { running_ = true; }

void MessageBatcher::stop() {
    running_ = false;
    armed_ = false;
    timer_.cancel();
    flush_now();
}

void MessageBatcher::enqueue(std::string json) {
    queue_.push_back(std::move(json));
    if (!running_ || armed_) return;
    armed_ = true;
    timer_.expires_after(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(FLUSH_INTERVAL)));
    timer_.async_wait([this](boost::system::error_code ec) {
        armed_ = false;
        if (!ec) flush_now();
    });
}

void MessageBatcher::flush_now() {
    if (queue_.empty()) return;
    std::vector<std::string> taken;
    taken.swap(queue_);
    if (taken.size() == 1) {
        send_(taken.front());
        return;
    }
    std::string batch = "{\"type\":\"batch\",\"messages\":[";
    for (std::size_t i = 0; i < taken.size(); ++i) {
        if (i) batch += ',';
        batch += taken[i];
    }
    batch += "]}";
    send_(batch);
}

}  // namespace gridlet
