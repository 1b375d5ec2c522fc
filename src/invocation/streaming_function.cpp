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
#include "kernel/kernel.hpp"  // the outbox the stream paces itself on, and the cancellation marks
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "messaging/reply_builders.hpp"
#include "modules/module_loader.hpp"
#include "util/log.hpp"

namespace gridlet::invocation {
namespace {

using Clock = std::chrono::steady_clock;

// Values in flight before the worker waits for the socket; each wait is bounded by kSendTimeout.
constexpr std::size_t kWindow = 256;
constexpr std::chrono::duration<double> kSendTimeout{1.0};

struct Stream {
    // The run's stream messages echo the request's workbook_id; the stream's own replies carry
    // the connection's.
    CallIds ids;
    std::string request_id, module_name, function_name;
    boost::json::value args;
    bool has_args = false;
    Clock::time_point start;
};

double elapsed_ms(const Stream& s) { return std::chrono::duration<double, std::milli>(Clock::now() - s.start).count(); }

std::string final_message(Replies& replies, const Stream& s, const std::string* error) {
    return reply::streaming_done(error ? reply::text_json(*error) : std::string(), s.ids, replies.workbook_id_json());
}

std::string py_list_text(const GilHeld& gil, PyObject* list) {
    PyRef r = PyRef::steal(PyObject_Repr(list));
    if (!r) {
        py_error::clear_logged(gil, "[Kernel] repr of a module's names");
        return "[]";
    }
    return py_json::utf8_of(gil, r.get());
}

// Why the worker stage ended: nullopt for a completed stream, else the error text ("" = cancelled).
struct Outcome {
    bool canceled = false;
    std::optional<std::string> error;
    std::size_t count = 0;
};

Outcome stream_values(const GilHeld& gil, HandlerContext ctx, const Stream& s) {
    Kernel& kernel = *ctx.kernel;
    Outcome out;
    PyRef gen;
    {
        PyRef module = PyRef::steal(import_module(gil, s.module_name, "Module not found: " + s.module_name));
        if (!module) return out;  // the import error is pending
        GLOG_DEBUG("[Kernel] Found module in sys.modules: {}", s.module_name);
        PyRef func = PyRef::steal(PyObject_GetAttrString(module.get(), s.function_name.c_str()));
        if (!func) {
            py_error::clear_expecting(gil, PyExc_AttributeError, "[Kernel] Looking up a streaming function");
            PyRef names = PyRef::steal(PyObject_Dir(module.get()));
            GLOG_ERROR("[Kernel] Function not found in module: {}", s.function_name);
            if (names) GLOG_ERROR("[Kernel] Available functions in module: {}", py_list_text(gil, names.get()));
            else py_error::clear_logged(gil, "[Kernel] dir() of a module");
            out.error = "Function not found: " + s.function_name;
            return out;
        }
        module.reset();
        GLOG_DEBUG("[Kernel] Found function: {}", s.function_name);
        PyRef args = PyRef::steal(deserialize_args(gil, ctx.bridge, s.has_args ? &s.args : nullptr));
        PyRef tuple = PyRef::steal(args ? PyList_AsTuple(args.get()) : nullptr);
        gen = PyRef::steal(tuple ? PyObject_Call(func.get(), tuple.get(), nullptr) : nullptr);
    }
    if (!gen) return out;  // error pending
    if (!PyGen_Check(gen.get())) {
        GLOG_ERROR("[Kernel] Function {} is not a generator function", s.function_name);
        out.error = "Function " + s.function_name + " is not a generator function";
        return out;
    }

    GLOG_INFO("[Kernel] Starting to stream results from generator: {}", s.function_name);
    std::array<Outbox::Sequence, kWindow> window{};
    std::string msg;
    const reply::Framed value = reply::streaming_value(s.ids, ctx.replies.workbook_id_json());
    const MessageInfo info{"streaming_function_result", s.ids.request_id};
    while (PyRef item = PyRef::steal(PyIter_Next(gen.get()))) {
        if (kernel.take_cancelled(s.request_id)) {
            item.reset();
            auto seq = ctx.replies.post(gil, reply::streaming_canceled(s.ids, ctx.replies.workbook_id_json()), info);
            {
                GilRelease released(gil);
                kernel.outbox().wait_written(seq, kSendTimeout);
            }
            out.canceled = true;
            return out;
        }
        PyRef wire = PyRef::steal(to_wire(gil, ctx.bridge, item.get()));
        item.reset();
        if (!wire) break;
        msg = value.head;
        try {
            py_json::append(gil, wire.get(), msg);
        } catch (const py_json::EncodeError& e) {
            PyErr_SetString(PyExc_TypeError, e.what());
            break;
        }
        wire.reset();
        msg += value.tail;
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
                out.error = "Timed out after 1.0s sending a streamed value";
                return out;
            }
        }
        bool over = false;
        slot = kernel.outbox().post(msg, info, &over);
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
                out.error = "Timed out after 1.0s sending a streamed value";
                return out;
            }
        }
    }
    return out;  // error pending when iteration failed
}

void run_on_worker(const GilHeld& gil, HandlerContext ctx, const Stream& s) {
    GLOG_DEBUG("[TIMING] Streaming worker started: thread={}, request_id={}", WorkerPool::current_thread_name(),
               s.request_id);
    RunOutput run(ctx.replies, reply::echo_tail(s.ids, reply::Echo::run), false, s.ids.request_id);
    Outcome out;
    {
        ActiveRun active(gil, ctx.runs, s.ids.request_id);
        RunScope scope(gil, run);
        out = stream_values(gil, ctx, s);
        if (!out.error && !out.canceled && PyErr_Occurred()) {
            PyRef exc = PyRef::steal(fetch_exception(gil));
            std::string text = str_of(gil, exc.get());
            run.write(gil, StreamKind::err, extract_traceback_string(gil, exc.get()));
            GLOG_ERROR("[TIMING] Streaming error: request_id={}, error={}", s.request_id, text);
            // A final message always carries a reason, even for exceptions without text.
            out.error = text.empty() ? error_record(gil, exc.get()).type : text;
        }
    }
    ctx.kernel->forget_cancelled(s.request_id);
    if (out.canceled) {
        GLOG_DEBUG("[TIMING] Streaming canceled: request_id={}, elapsed={:.1f}ms", s.request_id, elapsed_ms(s));
        return;
    }
    const MessageInfo info{"streaming_function_result", s.ids.request_id};
    if (out.error) {
        GLOG_ERROR("[TIMING] Streaming error: request_id={}, elapsed={:.1f}ms, error={}", s.request_id, elapsed_ms(s),
                   *out.error);
        ctx.replies.post(gil, final_message(ctx.replies, s, &*out.error), info);
        return;
    }
    GLOG_DEBUG("[TIMING] Streaming completed: request_id={}, elapsed={:.1f}ms, results={}", s.request_id, elapsed_ms(s),
               out.count);
    ctx.replies.post(gil, final_message(ctx.replies, s, nullptr), info);
}

// A stream of a module the kernel does not have asks the Business Layer for it and waits up to
// 5 s for its update_module, checking every 100 ms with the GIL released in between.
bool module_ready(const GilHeld& gil, HandlerContext ctx, const Stream& s) {
    if (ctx.loader->has_source(gil, s.module_name)) return true;
    GLOG_WARN("[Kernel] Module '{}' not in cache, requesting sync", s.module_name);
    std::string req;
    json_text::ObjectWriter w(req);
    w.str("type", "request_module_sync")
        .str("module_name", s.module_name)
        .raw("workbook_id", ctx.replies.workbook_id_json());
    w.close();
    ctx.replies.post(gil, req, {"request_module_sync", {}});
    for (int i = 0; i < 50; ++i) {
        {
            GilRelease released(gil);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (ctx.loader->has_source(gil, s.module_name)) return true;
    }
    GLOG_ERROR("[TIMING] Streaming failed: request_id={}, elapsed={:.1f}ms, error=Module not found after sync",
               s.request_id, elapsed_ms(s));
    GLOG_ERROR("[Kernel] Module '{}' not found after sync attempt", s.module_name);
    std::string error = "Module '" + s.module_name + "' not found after sync attempt";
    ctx.replies.post(gil, final_message(ctx.replies, s, &error), {"streaming_function_result", s.ids.request_id});
    return false;
}

}  // namespace

void start_streaming_function(HandlerContext ctx, boost::json::object&& message) {
    auto s = std::make_shared<Stream>();
    s->start = Clock::now();
    s->ids.request_id = fields::echo(message, "request_id");
    // A request whose fields cannot be used is answered in its own kind, as the end of a stream
    // that failed at once, echoing whatever request_id it carried (null when none).
    auto refuse = [&](const std::string& text) {
        GLOG_ERROR("[Kernel] {}", text);
        ctx.replies.send(final_message(ctx.replies, *s, &text), {"streaming_function_result", s->ids.request_id});
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
    s->ids.workbook_id = fields::echo_or(message, "workbook_id", "\"\"");
    s->ids.source = fields::echo_or(message, "source", "\"addin\"");
    if (args) {
        s->args = *args;
        s->has_args = true;
    }
    GLOG_DEBUG("[TIMING] Streaming execution started: request_id={}, function={}.{}", s->request_id, s->module_name,
               s->function_name);
    GLOG_INFO("[Kernel] _execute_streaming_function: module={}, function={}, request_id={}", s->module_name,
              s->function_name, s->request_id);
    ctx.pool.submit([ctx, s](const GilHeld& gil) {
        if (module_ready(gil, ctx, *s)) run_on_worker(gil, ctx, *s);
    });
}

}  // namespace gridlet::invocation
