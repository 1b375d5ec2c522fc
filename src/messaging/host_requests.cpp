#include "messaging/host_requests.hpp"

#include <chrono>

namespace gridlet {

void HostRequests::add(const std::string& id, Waiter* w) {
    std::lock_guard lock(mutex_);
    if (closed_) w->cancelled = true;
    waiting_[id] = w;
}

void HostRequests::remove(const std::string& id) {
    std::lock_guard lock(mutex_);
    waiting_.erase(id);
}

bool HostRequests::deliver(const std::string& id, boost::json::object&& payload) {
    std::lock_guard lock(mutex_);
    auto it = waiting_.find(id);
    if (it == waiting_.end() || it->second->answered) return false;
    it->second->payload = std::move(payload);
    it->second->answered = true;
    it->second->cv.notify_one();
    return true;
}

void HostRequests::cancel_all() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (auto& [id, w] : waiting_) {
        w->cancelled = true;
        w->cv.notify_one();
    }
}

void HostRequests::wake_all() {
    std::lock_guard lock(mutex_);
    for (auto& [id, w] : waiting_) w->cv.notify_one();
}

bool HostRequests::wait(const std::string& id, Waiter& w, double timeout_seconds, const std::atomic<bool>* stop) {
    std::unique_lock lock(mutex_);
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(
                        !(timeout_seconds > 0) ? 0 : (timeout_seconds > 1e7 ? 1e7 : timeout_seconds)));
    w.cv.wait_until(lock, deadline, [&] { return w.answered || w.cancelled || (stop && stop->load()); });
    waiting_.erase(id);
    return w.answered;
}

std::size_t HostRequests::size() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

}  // namespace gridlet
