// execute_streaming_function: a generator whose values are streamed one message each, as they are
// produced, until it ends, fails or is cancelled.
#include <boost/json.hpp>

#include <array>
#include <chrono>
#include <thread>

#include "execution/active_runs.hpp"
#include "execution/tracebacks.hpp"
#include "invocation/call_support.hpp"
#include "invocation/invocation.hpp"
#include "kernel/kernel.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "modules/module_loader.hpp"
#include "util/log.hpp"

namespace gridlet::invocation {
namespace {

using Clock = std::chrono::steady_clock;

// Values in flight before the worker waits for the socket; each wait is bounded by kSendTimeout.
constexpr std::size_t kWindow = 256;
constexpr std::chrono::duration<double> kSendTimeout{1.0};

struct Stream {
    std::string request_id, module_name, function_name;
    boost::json::value args;
    bool has_args = false;
    std::string request_id_json, stream_tail;
    Clock::time_point start;
};

double elapsed_ms(const Stream& s) { return std::chrono::duration<double, std::milli>(Clock::now() - s.start).count(); }

std::string final_message(Kernel& kernel, const Stream& s, const std::string* error) {
    std::string msg = "{\"type\":\"streaming_function_result\",\"request_id\":" + s.request_id_json;
    if (error) {
        msg += ",\"error\":";
        json_text::append_string(msg, *error);
    }
    msg += ",\"done\":true,\"workbook_id\":" + kernel.workbook_id_json() + "}";
    return msg;
}

std::string py_list_text(const GilHeld& gil, PyObject* list) {
    PyObject* r = PyObject_Repr(list);
    if (!r) {
        PyErr_Clear();
        return "[]";
    }
    std::string s = py_json::utf8_of(gil, r);
    Py_DECREF(r);
    return s;
}

// Why the worker stage ended: nullopt for a completed stream, else the error text ("" = cancelled).
struct Outcome {
    bool canceled = false;
    std::optional<std::string> error;
    std::size_t count = 0;
};

Outcome stream_values(const GilHeld& gil, Kernel& kernel, const Stream& s) {
    Outcome out;
    PyObject* module = import_module(gil, s.module_name, "Module not found: " + s.module_name);
    if (!module) return out;  // the import error is pending
    GLOG_DEBUG("[Kernel] Found module in sys.modules: {}", s.module_name);
    PyObject* func = PyObject_GetAttrString(module, s.function_name.c_str());
    if (!func) {
        PyErr_Clear();
        PyObject* names = PyObject_Dir(module);
        GLOG_ERROR("[Kernel] Function not found in module: {}", s.function_name);
        if (names) {
            GLOG_ERROR("[Kernel] Available functions in module: {}", py_list_text(gil, names));
            Py_DECREF(names);
        }
        Py_DECREF(module);
        out.error = "Function not found: " + s.function_name;
        return out;
    }
    Py_DECREF(module);
    GLOG_DEBUG("[Kernel] Found function: {}", s.function_name);
    PyObject* args = deserialize_args(gil, kernel, s.has_args ? &s.args : nullptr);
    PyObject* tuple = args ? PyList_AsTuple(args) : nullptr;
    PyObject* gen = tuple ? PyObject_Call(func, tuple, nullptr) : nullptr;
    Py_XDECREF(tuple);
    Py_XDECREF(args);
    Py_DECREF(func);
    if (!gen) return out;  // error pending
    if (!PyGen_Check(gen)) {
        Py_DECREF(gen);
        GLOG_ERROR("[Kernel] Function {} is not a generator function", s.function_name);
        out.error = "Function " + s.function_name + " is not a generator function";
        return out;
    }
    GLOG_INFO("[Kernel] Starting to stream results from generator: {}", s.function_name);
    std::array<Outbox::Sequence, kWindow> window{};
    std::string msg;
    const std::string head = "{\"type\":\"streaming_function_result\",\"request_id\":" + s.request_id_json + ",\"result\":";
    const std::string tail = ",\"done\":false,\"workbook_id\":" + kernel.workbook_id_json() + "}";
    while (PyObject* item = PyIter_Next(gen)) {
        if (kernel.take_cancelled(s.request_id)) {
            Py_DECREF(item);
            std::string canceled = "{\"type\":\"streaming_function_result\",\"request_id\":" + s.request_id_json +
                                   ",\"result\":\"Canceled\",\"done\":true,\"workbook_id\":" + kernel.workbook_id_json() + "}";
            auto seq = kernel.post_from_worker(gil, canceled, {"streaming_function_result", s.request_id_json});
            {
                GilRelease released(gil);
                kernel.outbox().wait_written(seq, kSendTimeout);
            }
            out.canceled = true;
            Py_DECREF(gen);
            return out;
        }
        PyObject* wire = to_wire(gil, kernel, item);
        Py_DECREF(item);
        if (!wire) break;
        msg = head;
        try {
            py_json::append(gil, wire, msg);
        } catch (const py_json::EncodeError& e) {
            Py_DECREF(wire);
            PyErr_SetString(PyExc_TypeError, e.what());
            break;
        }
        Py_DECREF(wire);
        msg += tail;
        // Bounded window of unwritten values: wait for the one kWindow back before going on.
        Outbox::Sequence& slot = window[out.count % kWindow];
        if (slot) {
            bool written;
            InterruptibleWait interruptible(gil);
            {
                GilRelease released(gil);
                written = kernel.outbox().wait_written(slot, kSendTimeout, interruptible.stop_flag());
            }
            if (!written && interruptible.raise_if_interrupted(gil)) break;
            if (!written) {
                Py_DECREF(gen);
                out.error = "Timed out after 1.0s sending a streamed value";
                return out;
            }
        }
        bool over = false;
        slot = kernel.outbox().post(msg, {"streaming_function_result", s.request_id_json}, &over);
        ++out.count;
        if (over) {
            // Far more than the socket has taken: the next value waits, at most the send limit.
            bool room;
            InterruptibleWait interruptible(gil);
            {
                GilRelease released(gil);
                room = kernel.outbox().wait_for_room(kSendTimeout, interruptible.stop_flag());
            }
            if (!room && interruptible.raise_if_interrupted(gil)) break;
            if (!room) {
                Py_DECREF(gen);
                out.error = "Timed out after 1.0s sending a streamed value";
                return out;
            }
        }
    }
    Py_DECREF(gen);
    return out;  // error pending when iteration failed
}

void run_on_worker(const GilHeld& gil, Kernel& kernel, const Stream& s) {
    GLOG_DEBUG("[TIMING] Streaming worker started: thread={}, request_id={}", WorkerPool::current_thread_name(),
               s.request_id);
    RunOutput run(kernel.replies(), s.stream_tail, false, s.request_id_json);
    Outcome out;
    {
        ActiveRun active(gil, kernel.runs(), s.request_id_json);
        RunScope scope(gil, run);
        out = stream_values(gil, kernel, s);
        if (!out.error && !out.canceled && PyErr_Occurred()) {
            PyObject* exc = fetch_exception(gil);
            std::string text = str_of(gil, exc);
            run.write(gil, StreamKind::err, extract_traceback_string(gil, exc));
            GLOG_ERROR("[TIMING] Streaming error: request_id={}, error={}", s.request_id, text);
            // A final message always carries a reason, even for exceptions without text.
            out.error = text.empty() ? error_record(gil, exc).type : text;
            Py_DECREF(exc);
        }
    }
    kernel.forget_cancelled(s.request_id);
    if (out.canceled) {
        GLOG_DEBUG("[TIMING] Streaming canceled: request_id={}, elapsed={:.1f}ms", s.request_id, elapsed_ms(s));
        return;
    }
    if (out.error) {
        GLOG_ERROR("[TIMING] Streaming error: request_id={}, elapsed={:.1f}ms, error={}", s.request_id, elapsed_ms(s),
                   *out.error);
        kernel.post_from_worker(gil, final_message(kernel, s, &*out.error), {"streaming_function_result", s.request_id_json});
        return;
    }
    GLOG_DEBUG("[TIMING] Streaming completed: request_id={}, elapsed={:.1f}ms, results={}", s.request_id, elapsed_ms(s),
               out.count);
    kernel.post_from_worker(gil, final_message(kernel, s, nullptr), {"streaming_function_result", s.request_id_json});
}

// A stream of a module the kernel does not have asks the Business Layer for it and waits up to
// 5 s for its update_module, checking every 100 ms with the GIL released in between.
bool module_ready(const GilHeld& gil, Kernel& kernel, const Stream& s) {
    if (kernel.loader().has_source(gil, s.module_name)) return true;
    GLOG_WARN("[Kernel] Module '{}' not in cache, requesting sync", s.module_name);
    std::string req;
    json_text::ObjectWriter w(req);
    w.str("type", "request_module_sync").str("module_name", s.module_name).raw("workbook_id", kernel.workbook_id_json());
    w.close();
    kernel.post_from_worker(gil, req, {"request_module_sync", {}});
    for (int i = 0; i < 50; ++i) {
        {
            GilRelease released(gil);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (kernel.loader().has_source(gil, s.module_name)) return true;
    }
    GLOG_ERROR("[TIMING] Streaming failed: request_id={}, elapsed={:.1f}ms, error=Module not found after sync",
               s.request_id, elapsed_ms(s));
    GLOG_ERROR("[Kernel] Module '{}' not found after sync attempt", s.module_name);
    std::string error = "Module '" + s.module_name + "' not found after sync attempt";
    kernel.post_from_worker(gil, final_message(kernel, s, &error), {"streaming_function_result", s.request_id_json});
    return false;
}

void submit(Kernel& kernel, std::shared_ptr<Stream> s) {
    kernel.pool().submit([&kernel, s](const GilHeld& gil) {
        if (module_ready(gil, kernel, *s)) run_on_worker(gil, kernel, *s);
    });
}

}  // namespace

void start_streaming_function(HandlerContext ctx, boost::json::object&& message) {
    Kernel& kernel = *ctx.kernel;
    auto s = std::make_shared<Stream>();
    s->start = Clock::now();
    s->request_id_json = fields::echo(message, "request_id");
    // A request whose fields cannot be used is answered in its own kind, as the end of a stream
    // that failed at once, echoing whatever request_id it carried (null when none).
    auto refuse = [&](const std::string& text) {
        GLOG_ERROR("[Kernel] {}", text);
        kernel.send_json(final_message(kernel, *s, &text), {"streaming_function_result", s->request_id_json});
    };
    for (const char* key : {"request_id", "module_name", "function_name"}) {
        const auto* v = message.if_contains(key);
        if (!v || !v->is_string()) {
            refuse(std::string("execute_streaming_function requires '") + key + "' as a string" +
                   (v ? ", not " + std::string(fields::python_type_name(*v)) : std::string()));
            return;
        }
    }
    const auto* args = message.if_contains("args");
    if (args && !args->is_array()) {
        refuse("execute_streaming_function requires 'args' as a list, not " +
               std::string(fields::python_type_name(*args)));
        return;
    }
    s->request_id = std::string(message.at("request_id").get_string());
    s->module_name = std::string(message.at("module_name").get_string());
    s->function_name = std::string(message.at("function_name").get_string());
    s->stream_tail = ",\"request_id\":" + s->request_id_json + ",\"workbook_id\":" +
                     fields::echo_or(message, "workbook_id", "\"\"") + ",\"source\":" +
                     fields::echo_or(message, "source", "\"addin\"") + "}";
    if (args) {
        s->args = *args;
        s->has_args = true;
    }
    GLOG_DEBUG("[TIMING] Streaming execution started: request_id={}, function={}.{}", s->request_id, s->module_name,
               s->function_name);
    GLOG_INFO("[Kernel] _execute_streaming_function: module={}, function={}, request_id={}", s->module_name,
              s->function_name, s->request_id);
    submit(kernel, s);
}

}  // namespace gridlet::invocation
