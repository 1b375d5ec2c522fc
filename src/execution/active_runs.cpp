#include "execution/active_runs.hpp"

#include <pthread.h>

#include <charconv>
#include <cmath>

#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace {
thread_local ActiveRun* t_current = nullptr;
const std::atomic<bool> kNeverInterrupted{false};

// Drops an asynchronous exception still pending for the calling thread (GIL held).
void clear_own_async_exception(PyThreadState* tstate, unsigned long thread_id) {
    if (tstate->async_exc) PyThreadState_SetAsyncExc(thread_id, nullptr);
}
}  // namespace

// ---------------------------------------------------------------- registry

ActiveRuns::~ActiveRuns() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    helper_cv_.notify_all();
    if (helper_.joinable()) helper_.join();
}

void ActiveRuns::start() {
    if (!helper_.joinable()) helper_ = std::thread([this] { helper_main(); });
}

bool ActiveRuns::set_time_limit(std::string_view text) {
    std::lock_guard lock(mutex_);
    limit_.reset();
    limit_text_.clear();
    if (text.empty()) return true;
    double seconds = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds) || seconds <= 0) return false;
    limit_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    limit_text_ = std::string(text);
    return true;
}

void ActiveRuns::add_waker(std::function<void()> wake) {
    std::lock_guard lock(mutex_);
    wakers_.push_back(std::move(wake));
}

void ActiveRuns::link(ActiveRun* run) {
    std::lock_guard lock(mutex_);
    if (run->time_limited_ && limit_) {
        run->deadline_ = Clock::now() + *limit_;
        // Later runs never have earlier deadlines: only an idle helper needs waking.
        if (!helper_has_deadline_) helper_cv_.notify_one();
    } else {
        run->time_limited_ = false;
    }
    run->next_ = head_;
    if (head_) head_->prev_ = run;
    head_ = run;
}

void ActiveRuns::unlink(ActiveRun* run) {
    std::lock_guard lock(mutex_);
    if (run->prev_) run->prev_->next_ = run->next_;
    else head_ = run->next_;
    if (run->next_) run->next_->prev_ = run->prev_;
}

void ActiveRuns::signal_locked(ActiveRun* run, bool timed_out) {
    if (timed_out) run->timed_out_ = true;
    run->interrupted_ = true;
    run->requested_ = true;
    if (run->wake_) run->wake_();
    deliver_ = true;
}

std::vector<std::string> ActiveRuns::interrupt(const std::optional<std::string>& request_id_json) {
    std::vector<std::string> signalled;
    {
        std::lock_guard lock(mutex_);
        for (ActiveRun* run = head_; run; run = run->next_) {
            if (request_id_json && run->request_id_json_ != *request_id_json) continue;
            signal_locked(run, false);
            signalled.emplace_back(run->request_id_json_);
        }
        if (!signalled.empty()) {
            for (auto& wake : wakers_) wake();
            helper_cv_.notify_one();
        }
    }
    return signalled;
}

void ActiveRuns::helper_main() {
    pthread_setname_np(pthread_self(), "interrupter");
    // A thread state of its own, kept; the GIL is taken only to raise exceptions in runs.
    PyGILState_Ensure();
    PyThreadState* tstate = PyEval_SaveThread();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        std::optional<Clock::time_point> next_deadline;
        bool expired = false;
        for (ActiveRun* run = head_; run; run = run->next_) {
            if (!run->time_limited_ || run->timed_out_) continue;
            if (run->deadline_ <= now) {
                GLOG_WARN("[Kernel] Run {} exceeded the time limit of {} s: interrupting it", run->request_id_json_,
                          limit_text_);
                signal_locked(run, true);
                expired = true;
            } else if (!next_deadline || run->deadline_ < *next_deadline) {
                next_deadline = run->deadline_;
            }
        }
        if (expired)
            for (auto& wake : wakers_) wake();
        if (deliver_) {
            deliver_ = false;
            // GIL before the registry lock, as on the workers.
            lock.unlock();
            PyEval_RestoreThread(tstate);
            lock.lock();
            for (ActiveRun* run = head_; run; run = run->next_) {
                // A run waiting inside the kernel raises the interrupt itself when its wait ends.
                if (!run->requested_ || run->waits_ > 0) continue;
                run->requested_ = false;
                PyThreadState_SetAsyncExc(run->thread_id_, PyExc_KeyboardInterrupt);
            }
            lock.unlock();
            tstate = PyEval_SaveThread();
            lock.lock();
            continue;
        }
        helper_has_deadline_ = next_deadline.has_value();
        if (next_deadline) helper_cv_.wait_until(lock, *next_deadline);
        else helper_cv_.wait(lock);
    }
}

// ---------------------------------------------------------------- one run

ActiveRun::ActiveRun(const GilHeld& gil, ActiveRuns& runs, std::string_view request_id_json, bool time_limited,
                     std::function<void()> wake)
    : gil_(gil),
      runs_(runs),
      request_id_json_(request_id_json),
      wake_(std::move(wake)),
      previous_current_(t_current),
      tstate_(PyThreadState_Get()),
      thread_id_(tstate_->thread_id),
      time_limited_(time_limited) {
    // Nothing from before this run may interrupt it.
    clear_own_async_exception(tstate_, thread_id_);
    runs_.link(this);
    t_current = this;
}

ActiveRun::~ActiveRun() {
    t_current = previous_current_;
    // The GIL is held: once unlinked, the helper can no longer raise anything in this thread.
    runs_.unlink(this);
    clear_own_async_exception(tstate_, thread_id_);
}

ActiveRun* ActiveRun::current() { return t_current; }

bool ActiveRun::interrupting(PyObject* exc_type) {
    return exc_type && t_current && t_current->interrupted() &&
           PyErr_GivenExceptionMatches(exc_type, PyExc_KeyboardInterrupt);
}

void ActiveRun::keep_interrupt() {
    PyObject* pending = PyErr_Occurred();
    if (interrupting(pending)) PyThreadState_SetAsyncExc(t_current->thread_id_, PyExc_KeyboardInterrupt);
}

void ActiveRun::convert_time_limit(const GilHeld& gil) {
    if (!timed_out_ || !PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef interrupt_type = PyRef::steal(type), interrupt = PyRef::steal(value), traceback = PyRef::steal(tb);
    const std::string text = "custom function exceeded the time limit of " + runs_.time_limit_text() + " s";
    PyRef timeout = PyRef::steal(PyObject_CallFunction(PyExc_TimeoutError, "s", text.c_str()));
    if (!timeout) {  // the interrupt is reported as it is
        py_error::clear_logged(gil, "time limit: making the TimeoutError", py_error::Level::warning);
        PyErr_Restore(interrupt_type.release(), interrupt.release(), traceback.release());
        return;
    }
    if (traceback) PyException_SetTraceback(timeout.get(), traceback.get());
    // PyErr_Restore takes over all three references.
    PyErr_Restore(PyRef::borrow(PyExc_TimeoutError).release(), timeout.release(), traceback.release());
}

// ---------------------------------------------------------------- waits

InterruptibleWait::InterruptibleWait(const GilHeld& gil) : gil_(gil), run_(ActiveRun::current()) {
    if (!run_) return;
    ++run_->waits_;
    // An interrupt already handed to the thread but not yet raised ends the wait before it starts.
    if (run_->tstate_->async_exc) {
        PyThreadState_SetAsyncExc(run_->thread_id_, nullptr);
        run_->requested_ = true;
    }
}

InterruptibleWait::~InterruptibleWait() {
    if (!run_) return;
    --run_->waits_;
    if (run_->requested_.exchange(false)) PyThreadState_SetAsyncExc(run_->thread_id_, PyExc_KeyboardInterrupt);
}

const std::atomic<bool>* InterruptibleWait::stop_flag() const { return run_ ? &run_->requested_ : &kNeverInterrupted; }

bool InterruptibleWait::raise_if_interrupted(const GilHeld&) {
    if (!run_ || !run_->requested_.exchange(false)) return false;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return true;
}

}  // namespace gridlet
