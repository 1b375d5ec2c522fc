#include "kernel/worker_pool.hpp"

#include <pthread.h>

#include <chrono>

#include "util/log.hpp"

namespace gridlet {
namespace {
thread_local std::string t_worker_name;
}

const std::string& WorkerPool::current_thread_name() { return t_worker_name; }

WorkerPool::~WorkerPool() {
    // Only reached in tests: the kernel's pools live as long as the process.
    shutdown();
    for (auto& t : threads_)
        if (t.joinable()) t.join();
}

void WorkerPool::start(int threads) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this, i] { worker_main(i); });
}

void WorkerPool::wake_one_locked() {
    // Keep one awake worker heading for every queued task, so a long or blocked task never holds
    // up the next; workers already awake (waiting for the GIL) pick up bursts without wake-ups.
    if (!queue_.empty() && sleeping_ > pending_wakes_ && std::size_t(pending_wakes_) < queue_.size()) {
        ++pending_wakes_;
        ready_.notify_one();
    }
}

void WorkerPool::submit(Task task) {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    queue_.push_back(std::move(task));
    wake_one_locked();
}

void WorkerPool::shutdown() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    ready_.notify_all();
}

void WorkerPool::worker_main(int index) {
    t_worker_name = prefix_ + "_" + std::to_string(index);
    pthread_setname_np(pthread_self(), t_worker_name.substr(0, 15).c_str());
    // Register a thread state once; afterwards only the GIL is taken and dropped.
    PyGILState_STATE registered = PyGILState_Ensure();
    (void)registered;
    PyThreadState* tstate = PyEval_SaveThread();
    GilHeld token;

    std::unique_lock lock(mutex_);
    for (;;) {
        if (queue_.empty() && !stopping_) {
            ++sleeping_;
            ready_.wait(lock, [&] { return stopping_ || !queue_.empty() || pending_wakes_ > 0; });
            --sleeping_;
            if (pending_wakes_ > 0) --pending_wakes_;
            continue;
        }
        if (stopping_) return;  // the thread state stays; the process is ending
        Task task = std::move(queue_.front());
        queue_.pop_front();
        wake_one_locked();
        lock.unlock();

        PyEval_RestoreThread(tstate);
        for (;;) {
            try {
                task(token);
            } catch (const std::exception& e) {
                GLOG_ERROR("[Kernel] [Worker Thread {}] Task failed: {}", t_worker_name, e.what());
            }
            task = nullptr;
            lock.lock();
            if (queue_.empty() || stopping_) break;
            task = std::move(queue_.front());
            queue_.pop_front();
            wake_one_locked();
            lock.unlock();
        }
        lock.unlock();
        tstate = PyEval_SaveThread();
        lock.lock();
    }
}

}  // namespace gridlet
