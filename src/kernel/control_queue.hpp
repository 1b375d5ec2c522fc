#pragma once
// Messages that change Python state (module sources, paths, the namespace, breakpoints) are applied
// in arrival order by one thread of their own, never by the listener. Each has a ticket; a task
// queued on a gated pool after such a message waits (with the GIL released) until that message
// has been applied, so a call that arrives after an update_module always sees the new code.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "kernel/worker_pool.hpp"

namespace gridlet {

class ControlQueue {
public:
    ControlQueue() = default;
    ControlQueue(const ControlQueue&) = delete;
    ControlQueue& operator=(const ControlQueue&) = delete;

    // Starts the thread (it registers with the interpreter, so Python must be initialised).
    void start();
    // Queues a state change (any thread, in practice the listener). Never blocks.
    void submit(WorkerPool::Task task);
    // The ticket of the newest state change queued so far (0: none yet).
    std::uint64_t ticket() const { return queued_.load(std::memory_order_acquire); }
    // Blocks a Python thread until the state change `ticket` has been applied (or the queue stops).
    void wait_applied(const GilHeld& gil, std::uint64_t ticket);
    // Same without the GIL, bounded: false when not applied in time.
    bool wait_applied_for(std::uint64_t ticket, std::chrono::milliseconds timeout);
    void shutdown();

private:
    void mark_applied(std::uint64_t ticket);

    WorkerPool thread_{"Control"};
    std::mutex submit_mutex_;  // keeps ticket order and queue order the same
    std::atomic<std::uint64_t> queued_{0};
    std::atomic<std::uint64_t> applied_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopping_ = false;
};

}  // namespace gridlet
