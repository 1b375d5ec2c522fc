#pragma once
// The threads that run user code. Each keeps its own Python thread state and takes the GIL once
// per burst of queued tasks rather than once per task, so a storm of small calls does not pay a
// GIL hand-off (and a thread wake-up) for every call.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel/gil.hpp"

namespace gridlet {

class WorkerPool {
public:
    using Task = std::function<void(const GilHeld&)>;

    explicit WorkerPool(std::string name_prefix) : prefix_(std::move(name_prefix)) {}
    ~WorkerPool();

    // Call with the GIL held by the caller (threads are registered with the interpreter).
    void start(int threads);
    void submit(Task task);
    // Stops taking tasks; running ones are not waited for.
    void shutdown();

    // Name of the calling worker thread ("" on other threads).
    static const std::string& current_thread_name();

private:
    void worker_main(int index);

    std::string prefix_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Task> queue_;
    std::vector<std::thread> threads_;
    void wake_one_locked();

    int sleeping_ = 0;       // waiting on `ready_`
    int pending_wakes_ = 0;  // notified, not yet awake
    bool stopping_ = false;
};

}  // namespace gridlet
