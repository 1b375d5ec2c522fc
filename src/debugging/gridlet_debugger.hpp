#pragma once
// GridletDebugger: a line debugger on the interpreter's C-level trace hook. Only frames of files
// with breakpoints (or the frames a step needs) get line events; breakpoint lookup is a hash
// lookup. A paused worker waits with the GIL released, so the rest of the kernel goes on; the
// listener steers it through thread-safe commands.
#include <boost/json/array.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "components/debugger.hpp"
#include "kernel/gil.hpp"
#include "kernel/py_ref.hpp"

namespace gridlet {

class Kernel;

class GridletDebugger final : public DebugSession {
public:
    // `workbook_id_json` / `request_id_json` / `source_json`: the run's fields, for its messages.
    GridletDebugger(Kernel& kernel, std::string workbook_id_json, std::string request_id_json, std::string source_json);
    ~GridletDebugger() override;

    // ---- listener side (any thread) ----
    void continue_execution() override;
    void step_over() override;
    void step_into() override;
    void step_out() override;
    void stop_debugging() override;
    bool evaluate_expression(const std::string& expression, const std::string& request_id_json) override;
    // [{"line": n, "module": name | "file": name, "condition": expr?}, ...]; an entry
    // {"exception": "uncaught"} asks for a pause where an uncaught exception was raised.
    void set_breakpoints(const boost::json::array& breakpoints) override;
    void set_in_memory_modules(std::vector<std::string> names);
    void ensure_traced(const GilHeld&) override;
    // The run was interrupted: a pause ends and raises KeyboardInterrupt in the paused frame.
    void wake_for_interrupt();

    // ---- worker side ----
    // Runs `call` traced on the calling thread. Returns its result (new reference), nullptr with
    // the exception set, or None when the run was stopped (then stopped() is true).
    PyObject* runcall(const GilHeld&, const std::function<PyObject*()>& call);
    bool stopped() const { return stopped_; }
    bool paused() const;

    static int trace_entry(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg);

private:
    enum class Command { none, resume, over, into, out, stop };
    enum class Step { none, into, over, out };
    using BreakpointMap = std::unordered_map<std::string, std::unordered_map<int, std::string>>;

    int on_event(const GilHeld&, PyFrameObject* frame, int what, PyObject* arg);
    void sync_breakpoints(const GilHeld&, PyFrameObject* frame);
    bool code_has_breakpoints(PyCodeObject* code);
    const std::string* breakpoint_at(PyCodeObject* code, int line);
    bool condition_holds(const GilHeld&, PyFrameObject* frame, const std::string& condition);
    void set_line_events(PyFrameObject* frame, bool on);
    // Blocks until a command arrives; serves evaluations meanwhile. Returns -1 to stop the run.
    int pause(const GilHeld&, PyFrameObject* frame, const char* reason);
    void pause_at_exception(const GilHeld&);
    void send_paused(const GilHeld&, PyFrameObject* frame, const char* reason);
    void evaluate_in(const GilHeld&, PyFrameObject* frame, const std::string& expression, const std::string& rid);
    void command(Command c);

    Kernel& kernel_;
    std::string workbook_id_json_, request_id_json_, source_json_;

    // Shared with the listener.
    std::mutex mutex_;
    std::condition_variable wake_;
    BreakpointMap shared_breakpoints_;
    std::atomic<std::uint64_t> generation_{1};
    Command pending_ = Command::none;
    std::deque<std::pair<std::string, std::string>> evaluations_;
    bool paused_ = false;
    std::atomic<bool> wants_trace_{false};     // breakpoints are set
    std::atomic<bool> stop_requested_{false};  // written under mutex_: a pause cannot miss it
    std::atomic<bool> pause_on_uncaught_{false};
    std::vector<std::string> in_memory_modules_;

    // Written with the GIL held (worker or listener).
    PyThreadState* run_tstate_ = nullptr;
    bool running_ = false;
    bool traced_ = false;

    // Worker only.
    std::uint64_t seen_generation_ = 0;
    BreakpointMap breakpoints_;
    std::unordered_map<PyCodeObject*, bool> code_has_bp_;
    Step step_ = Step::none;
    PyFrameObject* step_frame_ = nullptr;  // identity only, never dereferenced after it returns
    PyFrameObject* top_frame_ = nullptr;
    PyRef top_exception_;  // the uncaught exception of an exception pause
    bool in_pause_ = false;
    bool stopped_ = false;
};

}  // namespace gridlet
