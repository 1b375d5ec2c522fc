#include "debugging/gridlet_debugger.hpp"

#include <boost/json.hpp>

#include <structmember.h>

#include "debugging/frame_snapshot.hpp"
#include "execution/active_runs.hpp"
#include "execution/tracebacks.hpp"
#include "kernel/kernel.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace {

thread_local GridletDebugger* t_active = nullptr;

// Raised into traced code by stop_debugging; a BaseException, so `except Exception` lets it pass.
PyObject* stop_exception() {
    static PyObject* exc = PyErr_NewException("_gridlet_kernel.DebuggerStopped", PyExc_BaseException, nullptr);
    return exc;
}

std::string filename_of(PyCodeObject* code) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(code->co_filename, &n);
    if (!s) {
        py_error::clear_logged(GilHeld::from_python(), "debugger: code file name");
        return {};
    }
    return std::string(s, std::size_t(n));
}

std::string basename_of(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

GridletDebugger::GridletDebugger(Kernel& kernel, std::string workbook_id_json, std::string request_id_json,
                                 std::string source_json)
    : kernel_(kernel),
      workbook_id_json_(std::move(workbook_id_json)),
      request_id_json_(std::move(request_id_json)),
      source_json_(std::move(source_json)) {}

GridletDebugger::~GridletDebugger() = default;

// ---------------------------------------------------------------- listener side

void GridletDebugger::command(Command c) {
    {
        std::lock_guard lock(mutex_);
        if (!paused_) return;  // steps only mean something at a pause
        pending_ = c;
    }
    wake_.notify_all();
}

void GridletDebugger::continue_execution() { command(Command::resume); }
void GridletDebugger::step_over() { command(Command::over); }
void GridletDebugger::step_into() { command(Command::into); }
void GridletDebugger::step_out() { command(Command::out); }

void GridletDebugger::stop_debugging() {
    {
        // Under the pause's lock: a pause checks the flag and starts waiting under it too.
        std::lock_guard lock(mutex_);
        stop_requested_ = true;
    }
    wake_.notify_all();
}

void GridletDebugger::ensure_traced(const GilHeld&) {
    if (!wants_trace_ && !stop_requested_) return;
    if (!running_ || traced_ || !run_tstate_) return;
    _PyEval_SetTrace(run_tstate_, &GridletDebugger::trace_entry, nullptr);
    traced_ = true;
}

void GridletDebugger::wake_for_interrupt() {
    { std::lock_guard lock(mutex_); }
    wake_.notify_all();
}

bool GridletDebugger::paused() const {
    std::lock_guard lock(const_cast<std::mutex&>(mutex_));
    return paused_;
}

bool GridletDebugger::evaluate_expression(const std::string& expression, const std::string& request_id_json) {
    {
        std::lock_guard lock(mutex_);
        if (!paused_) return false;
        evaluations_.emplace_back(expression, request_id_json);
    }
    wake_.notify_all();
    return true;
}

void GridletDebugger::set_breakpoints(const boost::json::array& breakpoints) {
    BreakpointMap map;
    bool uncaught = false;
    for (const auto& bp : breakpoints) {
        if (!bp.is_object()) continue;
        const auto& o = bp.get_object();
        if (const auto* e = o.if_contains("exception")) {
            uncaught = uncaught || (e->is_string() && e->get_string() == "uncaught");
            continue;
        }
        const auto* line = o.if_contains("line");
        if (!line || !line->is_int64() || line->get_int64() < 1) continue;
        std::string file;
        if (const auto* m = o.if_contains("module"); m && m->is_string()) {
            file = "<virtual:" + std::string(m->get_string()) + ">";
        } else if (const auto* f = o.if_contains("file"); f && f->is_string()) {
            file = std::string(f->get_string());
        } else {
            continue;
        }
        std::string condition;
        if (const auto* c = o.if_contains("condition"); c && c->is_string()) condition = std::string(c->get_string());
        map[file][int(line->get_int64())] = condition;
    }
    const bool any = !map.empty();
    pause_on_uncaught_ = uncaught;
    {
        std::lock_guard lock(mutex_);
        shared_breakpoints_ = std::move(map);
    }
    ++generation_;
    wants_trace_ = any;
}

void GridletDebugger::set_in_memory_modules(std::vector<std::string> names) {
    std::lock_guard lock(mutex_);
    in_memory_modules_ = std::move(names);
}

// ---------------------------------------------------------------- worker side

int GridletDebugger::trace_entry(PyObject*, PyFrameObject* frame, int what, PyObject* arg) {
    GridletDebugger* self = t_active;
    if (!self || self->in_pause_) return 0;
    return self->on_event(GilHeld::from_python(), frame, what, arg);
}

PyObject* GridletDebugger::runcall(const GilHeld& gil, const std::function<PyObject*()>& call) {
    t_active = this;
    top_frame_ = nullptr;
    top_exception_.reset();
    sync_breakpoints(gil, nullptr);
    run_tstate_ = PyThreadState_Get();
    running_ = true;
    traced_ = !breakpoints_.empty() || stop_requested_;
    if (traced_) PyEval_SetTrace(&GridletDebugger::trace_entry, nullptr);
    PyObject* result = call();
    if (traced_) PyEval_SetTrace(nullptr, nullptr);  // nothing stays traced after the run
    // An uncaught exception is reported by the caller; the editor may ask to pause on it first.
    // Whatever ends that pause (continue, a step or a stop), the exception stays the run's outcome.
    // An interrupted run ends at once: no pause for the interrupt it raised.
    const bool interrupt = !result && PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) && ActiveRun::current() &&
                           ActiveRun::current()->interrupted();
    const bool uncaught = !result && !stop_requested_ && !PyErr_ExceptionMatches(stop_exception()) && !interrupt;
    if (uncaught && pause_on_uncaught_) pause_at_exception(gil);
    running_ = false;
    traced_ = false;
    t_active = nullptr;
    top_frame_ = nullptr;
    step_ = Step::none;
    step_frame_ = nullptr;
    top_exception_.reset();
    if (uncaught) return nullptr;
    if (!result && py_error::clear_if(gil, stop_exception())) {
        stopped_ = true;
        Py_RETURN_NONE;
    }
    if (!result && stop_requested_) {
        // A stop that arrived while user code handled the stop exception itself.
        py_error::clear_logged(gil, "debugger: run ended by a stop");
        stopped_ = true;
        Py_RETURN_NONE;
    }
    return result;
}

void GridletDebugger::pause_at_exception(const GilHeld& gil) {
    // Pause where the uncaught exception was raised, when the editor asked for it: the traceback
    // keeps that frame and its variables alive, so it can be inspected and evaluated in before
    // the report.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    PyRef innermost = PyRef::steal(value ? reinterpret_cast<PyObject*>(innermost_frame(gil, value)) : nullptr);
    if (innermost && value) {
        top_exception_ = PyRef::borrow(value);
        pause(gil, debugging::as_frame(innermost), "exception");
        py_error::clear_logged(gil, "debugger: exception pause");
    }
    PyErr_Restore(type, value, tb);
}

void GridletDebugger::set_line_events(PyFrameObject* frame, bool on) {
    // f_trace_lines is a plain boolean member of frame objects: write it through its member
    // definition (found once) instead of a generic attribute assignment on every call.
    static Py_ssize_t offset = [] {
        PyObject* descr = PyDict_GetItemString(PyFrame_Type.tp_dict, "f_trace_lines");
        if (descr && Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
            PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
            if (def->type == T_BOOL) return def->offset;
        }
        return Py_ssize_t(-1);
    }();
    if (offset >= 0) {
        *(reinterpret_cast<char*>(frame) + offset) = on ? 1 : 0;
        return;
    }
    static PyObject* name = PyUnicode_InternFromString("f_trace_lines");
    if (PyObject_SetAttr(reinterpret_cast<PyObject*>(frame), name, on ? Py_True : Py_False) < 0)
        py_error::clear_logged(GilHeld::from_python(), "debugger: f_trace_lines");
}

void GridletDebugger::sync_breakpoints(const GilHeld&, PyFrameObject* frame) {
    const auto generation = generation_.load();
    if (generation == seen_generation_) return;
    {
        std::lock_guard lock(mutex_);
        breakpoints_ = shared_breakpoints_;
    }
    seen_generation_ = generation;
    code_has_bp_.clear();
    // Frames already running (the paused one and its callers) pick up new breakpoints too.
    for (PyRef f = PyRef::borrow(reinterpret_cast<PyObject*>(frame)); f;
         f = debugging::caller_of(debugging::as_frame(f)))
        if (code_has_breakpoints(debugging::as_code(debugging::code_of(debugging::as_frame(f)))))
            set_line_events(debugging::as_frame(f), true);
}

bool GridletDebugger::code_has_breakpoints(PyCodeObject* code) {
    if (breakpoints_.empty()) return false;
    auto it = code_has_bp_.find(code);
    if (it != code_has_bp_.end()) return it->second;
    // Only code whose own lines hold a breakpoint gets line events; its neighbours in the same
    // file run untraced.
    std::string file = filename_of(code);
    bool has = false;
    std::vector<const std::unordered_map<int, std::string>*> lines_of_file;
    for (const std::string& key : {file, basename_of(file)})
        if (auto f = breakpoints_.find(key); f != breakpoints_.end()) lines_of_file.push_back(&f->second);
    if (!lines_of_file.empty()) {
        PyRef ranges = PyRef::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(code), "co_lines", nullptr));
        PyRef iter = PyRef::steal(ranges ? PyObject_GetIter(ranges.get()) : nullptr);
        while (iter && !has) {
            PyRef entry = PyRef::steal(PyIter_Next(iter.get()));
            if (!entry) break;
            PyObject* line = PyTuple_Check(entry.get()) && PyTuple_GET_SIZE(entry.get()) == 3
                                 ? PyTuple_GET_ITEM(entry.get(), 2)  // borrowed
                                 : nullptr;
            if (line && PyLong_Check(line)) {
                int n = int(PyLong_AsLong(line));
                for (auto* lines : lines_of_file) has = has || lines->count(n);
            }
        }
        if (PyErr_Occurred()) {
            py_error::clear_logged(GilHeld::from_python(), "debugger: co_lines");
            has = true;  // cannot tell: trace it
        }
    }
    code_has_bp_.emplace(code, has);
    return has;
}

const std::string* GridletDebugger::breakpoint_at(PyCodeObject* code, int line) {
    if (!code_has_breakpoints(code)) return nullptr;
    std::string file = filename_of(code);
    for (const std::string& key : {file, basename_of(file)}) {
        auto f = breakpoints_.find(key);
        if (f == breakpoints_.end()) continue;
        auto l = f->second.find(line);
        if (l != f->second.end()) return &l->second;
    }
    return nullptr;
}

bool GridletDebugger::condition_holds(const GilHeld& gil, PyFrameObject* frame, const std::string& condition) {
    if (condition.empty()) return true;
    PyRef globals = PyRef::steal(PyFrame_GetGlobals(frame));
    PyRef locals = PyRef::steal(PyFrame_GetLocals(frame));
    PyRef value = PyRef::steal(
        globals && locals ? PyRun_String(condition.c_str(), Py_eval_input, globals.get(), locals.get()) : nullptr);
    int truth = value ? PyObject_IsTrue(value.get()) : -1;
    if (truth < 0) {
        // A condition that fails to evaluate pauses, so the user sees the problem.
        ActiveRun::keep_interrupt();
        py_error::clear_logged(gil, "debugger: breakpoint condition");
        return true;
    }
    return truth == 1;
}

int GridletDebugger::on_event(const GilHeld& gil, PyFrameObject* frame, int what, PyObject* arg) {
    if (stop_requested_) {
        if (what == PyTrace_EXCEPTION) return 0;
        PyErr_SetString(stop_exception(), "debugging stopped");
        return -1;
    }
    if (generation_.load(std::memory_order_relaxed) != seen_generation_) sync_breakpoints(gil, frame);
    switch (what) {
        case PyTrace_CALL: {
            if (!top_frame_) top_frame_ = frame;
            bool lines = step_ == Step::into || frame == step_frame_ ||
                         code_has_breakpoints(debugging::as_code(debugging::code_of(frame)));
            set_line_events(frame, lines);
            return 0;
        }
        case PyTrace_LINE: {
            const std::string* bp =
                breakpoint_at(debugging::as_code(debugging::code_of(frame)), PyFrame_GetLineNumber(frame));
            if (bp && condition_holds(gil, frame, *bp)) return pause(gil, frame, "breakpoint");
            if (step_ == Step::into || (step_ == Step::over && frame == step_frame_)) return pause(gil, frame, "step");
            return 0;
        }
        case PyTrace_RETURN: {
            if (step_ != Step::none && (frame == step_frame_ || step_ == Step::into)) {
                // Leaving the stepped frame: the step goes on in the caller.
                if (PyRef caller = debugging::caller_of(frame)) {
                    PyFrameObject* back = debugging::as_frame(caller);
                    set_line_events(back, true);
                    if (frame == step_frame_) {
                        step_frame_ = back;  // identity only: the running caller keeps it alive
                        if (step_ == Step::out) step_ = Step::over;
                    }
                } else if (frame == step_frame_) {
                    step_ = Step::none;
                    step_frame_ = nullptr;
                }
            }
            return 0;
        }
        default:
            return 0;
    }
}

void GridletDebugger::send_paused(const GilHeld& gil, PyFrameObject* frame, const char* reason) {
    PyRef code_ref = debugging::code_of(frame);
    PyCodeObject* code = debugging::as_code(code_ref);
    std::string msg;
    json_text::ObjectWriter w(msg);
    w.str("type", "debug_paused")
        .raw("workbook_id", workbook_id_json_)
        .raw("request_id", request_id_json_)
        .str("reason", reason)
        .str("module", debugging::module_of(gil, frame))
        .str("file", filename_of(code))
        .integer("line", PyFrame_GetLineNumber(frame))
        .str("function", py_json::utf8_of(gil, code->co_name));
    if (std::string_view(reason) == "exception" && top_exception_) {
        ErrorRecord e = error_record(gil, top_exception_.get());
        w.str("exception_type", e.type).str("exception_message", e.message);
    }
    w.key("call_stack");
    debugging::append_call_stack(gil, frame, msg);
    w.key("locals");
    debugging::append_variables(gil, PyRef::steal(PyFrame_GetLocals(frame)).get(), msg, false);
    w.key("globals");
    debugging::append_variables(gil, PyRef::steal(PyFrame_GetGlobals(frame)).get(), msg, true);
    w.close();
    py_error::clear_logged(gil, "debugger: pause snapshot");
    kernel_.post_from_worker(gil, msg, {"debug_paused", request_id_json_});
}

void GridletDebugger::evaluate_in(const GilHeld& gil, PyFrameObject* frame, const std::string& expression,
                                  const std::string& rid) {
    std::string msg;
    json_text::ObjectWriter w(msg);
    w.str("type", "debug_evaluate_result").raw("workbook_id", kernel_.workbook_id_json()).raw("request_id", rid);
    w.str("expression", expression);
    PyRef globals = PyRef::steal(PyFrame_GetGlobals(frame));
    PyRef locals = PyRef::steal(PyFrame_GetLocals(frame));
    PyRef source = PyRef::steal(PyUnicode_FromStringAndSize(expression.data(), Py_ssize_t(expression.size())));
    PyRef compiled = PyRef::steal(
        source ? Py_CompileStringObject(expression.c_str(), source.get(), Py_eval_input, nullptr, -1) : nullptr);
    PyRef value = PyRef::steal(compiled && expression.find('\0') == std::string::npos
                                   ? PyEval_EvalCode(compiled.get(), globals.get(), locals.get())
                                   : nullptr);
    if (!value && !PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "expression contains a null character");
    if (value) {
        w.str("result", repr_of(gil, value.get())).str("value_type", Py_TYPE(value.get())->tp_name);
    } else {
        ErrorRecord e = error_record_from_pending(gil);
        w.str("error", e.type + ": " + e.message);
    }
    w.close();
    kernel_.post_from_worker(gil, msg, {"debug_evaluate_result", rid});
}

int GridletDebugger::pause(const GilHeld& gil, PyFrameObject* frame, const char* reason) {
    {
        std::lock_guard lock(mutex_);
        paused_ = true;
        pending_ = Command::none;
    }
    in_pause_ = true;  // evaluations and snapshots below are not traced
    send_paused(gil, frame, reason);
    Command cmd = Command::none;
    InterruptibleWait interruptible(gil);
    for (;;) {
        std::pair<std::string, std::string> evaluation;
        bool evaluate = false;
        {
            GilRelease released(gil);  // the rest of the kernel goes on while we wait
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] {
                return pending_ != Command::none || !evaluations_.empty() || stop_requested_ ||
                       interruptible.interrupted();
            });
            if (stop_requested_ || interruptible.interrupted()) {
                cmd = Command::stop;
            } else if (!evaluations_.empty()) {
                evaluation = std::move(evaluations_.front());
                evaluations_.pop_front();
                evaluate = true;
            } else {
                cmd = pending_;
            }
            if (!evaluate) {
                pending_ = Command::none;
                paused_ = false;
            }
        }
        if (evaluate) {
            evaluate_in(gil, frame, evaluation.first, evaluation.second);
            continue;
        }
        break;
    }
    in_pause_ = false;
    sync_breakpoints(gil, frame);  // breakpoints changed during the pause apply from here on
    if (interruptible.raise_if_interrupted(gil)) return -1;
    switch (cmd) {
        case Command::stop:
            PyErr_SetString(stop_exception(), "debugging stopped");
            return -1;
        case Command::into:
            step_ = Step::into;
            step_frame_ = frame;
            break;
        case Command::over:
            step_ = Step::over;
            step_frame_ = frame;
            set_line_events(frame, true);
            break;
        case Command::out:
            step_ = Step::out;
            step_frame_ = frame;
            break;
        default:
            step_ = Step::none;
            step_frame_ = nullptr;
    }
    return 0;
}

}  // namespace gridlet
