#pragma once
// The threads that run user code. Each keeps its own Python thread state and takes the GIL once
// per burst of queued tasks rather than once per task. While one worker is draining the queue,
// new tasks wake nobody (a storm of small calls costs no thread wake-ups and no GIL hand-offs);
// a supervisor wakes another worker when a queued task has waited too long behind a long or
// blocked one (no task taken from the queue meanwhile), so a slow call never holds up the next.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel/gil.hpp"

namespace gridlet {

class ControlQueue;

class WorkerPool {
public:
    using Task = std::function<void(const GilHeld&)>;
    using Clock = std::chrono::steady_clock;

    explicit WorkerPool(std::string name_prefix) : prefix_(std::move(name_prefix)) {}
    ~WorkerPool();

    // Runs on each worker, with the GIL, before it takes its first task.
    void on_thread_start(std::function<void(const GilHeld&, const std::string& name)> init) {
        thread_init_ = std::move(init);
    }
    void start(int threads);
    // Tasks submitted from now on first wait until every state change queued before them on
    // `gate` has been applied (see ControlQueue). Set before start().
    void set_gate(ControlQueue* gate) { gate_ = gate; }
    void submit(Task task);
    // Stops taking tasks; running ones are not waited for.
    void shutdown();

    // Tasks waiting in the queue, and tasks taken from it so far (readable from any thread).
    std::size_t queued() const { return queued_.load(std::memory_order_relaxed); }
    std::uint64_t taken() const { return taken_.load(std::memory_order_relaxed); }

    // Name of the calling worker thread ("" on other threads).
    static const std::string& current_thread_name();

    // How long a queued task may wait behind a busy worker before another one is woken.
    static constexpr auto kMaxQueueWait = std::chrono::microseconds(1000);
    // How long a worker whose queue ran dry after a burst of tasks polls for the next one (GIL
    // released) before it goes to sleep. A worker that ran a single task sleeps at once.
    static constexpr auto kIdleSpin = std::chrono::microseconds(20);

private:
    struct Queued {
        Task task;
        Clock::time_point queued_at;
        std::uint64_t ticket;  // state change the task must see applied (0: none)
    };
    void worker_main(int index);
    void supervisor_main();
    void wake_one_locked();
    bool spin_for_work() const;

    void run(const GilHeld& token, Task& task, std::uint64_t ticket);

    std::string prefix_;
    ControlQueue* gate_ = nullptr;
    std::function<void(const GilHeld&, const std::string&)> thread_init_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable supervise_;
    std::deque<Queued> queue_;
    std::atomic<std::size_t> queued_{0};  // queue_.size(), readable without the mutex
    std::atomic<bool> stopping_flag_{false};
    std::vector<std::thread> threads_;
    std::thread supervisor_;
    std::atomic<std::uint64_t> taken_{0};  // tasks taken from the queue so far
    int sleeping_ = 0;                     // waiting on `ready_`
    int pending_wakes_ = 0;                // notified, not yet awake
    int draining_ = 0;                     // awake and taking tasks from the queue
    bool supervisor_idle_ = true;
    bool stopping_ = false;
};

}  // namespace gridlet
