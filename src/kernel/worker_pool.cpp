#include "kernel/worker_pool.hpp"

#include <pthread.h>

#include "kernel/control_queue.hpp"
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
    if (supervisor_.joinable()) supervisor_.join();
}

void WorkerPool::start(int threads) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this, i] { worker_main(i); });
    if (threads > 1) supervisor_ = std::thread([this] { supervisor_main(); });
}

void WorkerPool::wake_one_locked() {
    if (sleeping_ > pending_wakes_) {
        ++pending_wakes_;
        ready_.notify_one();
    }
}

void WorkerPool::submit(Task task) {
    const std::uint64_t ticket = gate_ ? gate_->ticket() : 0;
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    queue_.push_back({std::move(task), Clock::now(), ticket});
    queued_.store(queue_.size(), std::memory_order_relaxed);
    if (draining_ == 0 && pending_wakes_ == 0) wake_one_locked();
    if (supervisor_idle_ && supervisor_.joinable()) {
        supervisor_idle_ = false;
        supervise_.notify_one();
    }
}

void WorkerPool::shutdown() {
    std::deque<Queued> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        stopping_flag_.store(true, std::memory_order_relaxed);
        dropped.swap(queue_);
        queued_.store(0, std::memory_order_relaxed);
    }
    // Tasks may hold Python objects: a thread that must not take the GIL (the listener, at the
    // end of the process) leaves them be rather than release them.
    if (t_gil_forbidden && !dropped.empty()) new std::deque<Queued>(std::move(dropped));
    ready_.notify_all();
    supervise_.notify_all();
}

void WorkerPool::supervisor_main() {
    pthread_setname_np(pthread_self(), (prefix_.substr(0, 10) + "-sup").c_str());
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        supervise_.wait(lock, [&] { return stopping_ || !supervisor_idle_; });
        // Poll while there is queued work; go idle once the queue has stayed empty for a while.
        // Another worker is woken only when the queue is not moving: its first task has waited
        // kMaxQueueWait and no worker has taken a task since the last look (the awake ones are
        // busy with long tasks). A queue that is long but moving (a storm) is left to the
        // worker draining it: more workers would only take turns at the GIL.
        auto empty_since = Clock::now();
        std::uint64_t seen = taken();
        while (!stopping_) {
            supervise_.wait_for(lock, kMaxQueueWait);
            auto now = Clock::now();
            const bool moving = taken() != seen;
            seen = taken();
            if (queue_.empty()) {
                if (now - empty_since > std::chrono::milliseconds(20)) break;
                continue;
            }
            empty_since = now;
            if (!moving && now - queue_.front().queued_at >= kMaxQueueWait && pending_wakes_ == 0) wake_one_locked();
        }
        supervisor_idle_ = true;
    }
}

bool WorkerPool::spin_for_work() const {
    const auto until = Clock::now() + kIdleSpin;
    for (unsigned i = 1;; ++i) {
        if (queued_.load(std::memory_order_relaxed) > 0 || stopping_flag_.load(std::memory_order_relaxed)) return true;
        if ((i & 63) == 0 && Clock::now() >= until) return false;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

void WorkerPool::run(const GilHeld& token, Task& task, std::uint64_t ticket) {
    try {
        if (ticket) gate_->wait_applied(token, ticket);
        task(token);
    } catch (const std::exception& e) {
        GLOG_ERROR("[Kernel] [Worker Thread {}] Task failed: {}", t_worker_name, e.what());
    }
}

void WorkerPool::worker_main(int index) {
    t_worker_name = prefix_ + "_" + std::to_string(index);
    pthread_setname_np(pthread_self(), t_worker_name.substr(0, 15).c_str());
    // Register a thread state once; afterwards only the GIL is taken and dropped.
    PyGILState_Ensure();
    GilHeld token;
    if (thread_init_) thread_init_(token, t_worker_name);
    PyThreadState* tstate = PyEval_SaveThread();

    std::unique_lock lock(mutex_);
    for (;;) {
        while (queue_.empty() && !stopping_) {
            ++sleeping_;
            ready_.wait(lock);
            --sleeping_;
            if (pending_wakes_ > 0) --pending_wakes_;
        }
        if (stopping_) return;  // the thread state stays; the process is ending
        ++draining_;
        Task task = std::move(queue_.front().task);
        std::uint64_t ticket = queue_.front().ticket;
        queue_.pop_front();
        taken_.fetch_add(1, std::memory_order_relaxed);
        queued_.store(queue_.size(), std::memory_order_relaxed);
        lock.unlock();

        PyEval_RestoreThread(tstate);
        for (int ran = 1;; ++ran) {
            run(token, task, ticket);
            task = nullptr;
            lock.lock();
            if (queue_.empty() && !stopping_ && ran > 1 && kIdleSpin.count() > 0) {
                // The queue ran dry after more than one task (a storm, not a lone request): stay
                // awake a moment without the GIL, so that the storm's next call is taken without
                // a wake-up (the listener does not signal a pool that has a draining worker).
                lock.unlock();
                tstate = PyEval_SaveThread();
                const bool more = spin_for_work();
                PyEval_RestoreThread(tstate);
                lock.lock();
                (void)more;
            }
            if (queue_.empty() || stopping_) break;
            task = std::move(queue_.front().task);
            ticket = queue_.front().ticket;
            queue_.pop_front();
            taken_.fetch_add(1, std::memory_order_relaxed);
            queued_.store(queue_.size(), std::memory_order_relaxed);
            lock.unlock();
        }
        --draining_;
        lock.unlock();
        tstate = PyEval_SaveThread();
        lock.lock();
    }
}

}  // namespace gridlet
