#pragma once
// The runs of user code in progress, and how they are interrupted.
//
// Each run registers itself on its worker for its duration (ActiveRun). The listener signals runs
// without the GIL (ActiveRuns::interrupt): it marks them and wakes every wait inside the kernel.
// A helper thread, which may take the GIL, then raises KeyboardInterrupt in the marked runs'
// threads (PyThreadState_SetAsyncExc), so it surfaces at the run's next Python instruction. A run
// waiting inside the kernel (InterruptibleWait: a host request, room in the write queue, a
// debugger pause) is woken at once instead and raises it itself when its wait ends. The helper
// also enforces the time limit of worksheet functions. When a run ends, an exception still
// pending for its thread is dropped, so it can never reach the worker's next run.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kernel/gil.hpp"

namespace gridlet {

class ActiveRun;

class ActiveRuns {
public:
    using Clock = std::chrono::steady_clock;

    ActiveRuns() = default;
    ~ActiveRuns();
    ActiveRuns(const ActiveRuns&) = delete;
    ActiveRuns& operator=(const ActiveRuns&) = delete;

    // Starts the helper thread; the interpreter must be initialised.
    void start();

    // The time limit of worksheet functions, as text in seconds ("" = none). False (and no limit)
    // when the text is not a positive number.
    bool set_time_limit(std::string_view text);
    const std::string& time_limit_text() const { return limit_text_; }

    // Called (without the GIL) whenever runs are interrupted, to wake threads that wait inside the
    // kernel; the waits then see their run's flag. Set up before start().
    void add_waker(std::function<void()> wake);

    // Listener: signals the run whose request id has the JSON text `request_id_json`, or every run
    // when there is none. Returns the request ids (JSON texts) of the runs signalled. Never takes
    // the GIL and never blocks on a worker.
    std::vector<std::string> interrupt(const std::optional<std::string>& request_id_json);

private:
    friend class ActiveRun;
    friend class InterruptibleWait;

    void link(ActiveRun* run);
    void unlink(ActiveRun* run);
    // Marks `run` interrupted and wakes its waits; registry lock held.
    void signal_locked(ActiveRun* run, bool timed_out);
    void helper_main();

    std::mutex mutex_;
    std::condition_variable helper_cv_;
    ActiveRun* head_ = nullptr;
    std::vector<std::function<void()>> wakers_;
    std::thread helper_;
    bool deliver_ = false;  // runs are marked: the helper raises in them
    bool helper_has_deadline_ = false;
    bool stopping_ = false;
    std::optional<Clock::duration> limit_;
    std::string limit_text_;
};

// The calling worker's run of user code, registered for the object's lifetime. Made and
// destroyed with the GIL held, on the run's own thread.
class ActiveRun {
public:
    // `request_id_json` (JSON text, "null" for none) must outlive the run. `time_limited`: the
    // worksheet-function time limit applies. `wake`, when given, is called (without the GIL) when
    // the run is interrupted, for waits of its own (a debugger pause).
    ActiveRun(const GilHeld& gil, ActiveRuns& runs, std::string_view request_id_json, bool time_limited = false,
              std::function<void()> wake = {});
    ~ActiveRun();
    ActiveRun(const ActiveRun&) = delete;
    ActiveRun& operator=(const ActiveRun&) = delete;

    // An interrupt reached this run (at any time during it).
    bool interrupted() const { return interrupted_.load(); }
    bool timed_out() const { return timed_out_.load(); }
    // When the pending exception is the KeyboardInterrupt of the time limit, replaces it with
    // TimeoutError("custom function exceeded the time limit of N s") with the same traceback.
    void convert_time_limit(const GilHeld&);

    // The run of the calling thread, or nullptr.
    static ActiveRun* current();
    // True when `exc_type` is KeyboardInterrupt and the calling thread's run was interrupted:
    // kernel code that reports or drops errors of user code lets it propagate instead.
    static bool interrupting(PyObject* exc_type);
    // Before kernel code drops a pending error: an interrupt of the calling thread's run is
    // raised again at the next Python instruction instead of being lost.
    static void keep_interrupt();

private:
    friend class ActiveRuns;
    friend class InterruptibleWait;

    const GilHeld& gil_;
    ActiveRuns& runs_;
    std::string_view request_id_json_;
    std::function<void()> wake_;
    ActiveRun* previous_current_;
    ActiveRun* prev_ = nullptr;
    ActiveRun* next_ = nullptr;
    PyThreadState* tstate_;
    unsigned long thread_id_;
    bool time_limited_;
    ActiveRuns::Clock::time_point deadline_{};
    // Set by the listener or the helper: an interrupt not yet raised in the run's thread.
    std::atomic<bool> requested_{false};
    std::atomic<bool> interrupted_{false};
    std::atomic<bool> timed_out_{false};
    int waits_ = 0;  // waits inside the kernel in progress; GIL held for every access
};

// A wait inside the kernel that an interrupt of the calling thread's run ends at once. Make it
// with the GIL held, before the GIL is released for the wait, and give stop_flag() to the wait's
// predicate. After the wait (GIL held again), raise_if_interrupted() turns an interrupt into the
// pending KeyboardInterrupt; if the caller does not, the interrupt is raised asynchronously when
// the wait object ends, at the next Python instruction.
class InterruptibleWait {
public:
    explicit InterruptibleWait(const GilHeld& gil);
    ~InterruptibleWait();
    InterruptibleWait(const InterruptibleWait&) = delete;
    InterruptibleWait& operator=(const InterruptibleWait&) = delete;

    // True once the run is interrupted; never null (a thread without a run gets a constant false).
    const std::atomic<bool>* stop_flag() const;
    bool interrupted() const { return stop_flag()->load(); }
    // Sets KeyboardInterrupt as the pending exception when the run was interrupted; true then.
    bool raise_if_interrupted(const GilHeld&);

private:
    const GilHeld& gil_;
    ActiveRun* run_;
};

}  // namespace gridlet
