#include "kernel/control_queue.hpp"

#include "util/log.hpp"

namespace gridlet {

void ControlQueue::start() { thread_.start(1); }

void ControlQueue::submit(WorkerPool::Task task) {
    std::lock_guard order(submit_mutex_);
    const std::uint64_t ticket = queued_.load(std::memory_order_relaxed) + 1;
    queued_.store(ticket, std::memory_order_release);
    thread_.submit([this, ticket, task = std::move(task)](const GilHeld& gil) {
        // Applied even when the change failed: later requests must not wait for ever.
        struct Done {
            ControlQueue* q;
            std::uint64_t t;
            ~Done() { q->mark_applied(t); }
        } done{this, ticket};
        task(gil);
    });
}

void ControlQueue::mark_applied(std::uint64_t ticket) {
    {
        std::lock_guard lock(mutex_);
        applied_.store(ticket, std::memory_order_release);
    }
    cv_.notify_all();
}

void ControlQueue::wait_applied(const GilHeld& gil, std::uint64_t ticket) {
    if (applied_.load(std::memory_order_acquire) >= ticket) return;
    GilRelease released(gil);
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return stopping_ || applied_.load(std::memory_order_acquire) >= ticket; });
}

bool ControlQueue::wait_applied_for(std::uint64_t ticket, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] {
        return stopping_ || applied_.load(std::memory_order_acquire) >= ticket;
    }) && applied_.load(std::memory_order_acquire) >= ticket;
}

void ControlQueue::shutdown() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    thread_.shutdown();
}

}  // namespace gridlet
