// custom_function_call: a worksheet function of a workbook module, called from Excel.
#include <boost/json.hpp>

#include "execution/active_runs.hpp"
#include "execution/error_json.hpp"
#include "execution/tracebacks.hpp"
#include "invocation/call_support.hpp"
#include "invocation/invocation.hpp"
#include "kernel/py_ref.hpp"
#include "kernel/replies.hpp"
#include "kernel/worker_pool.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_move.hpp"
#include "messaging/py_json.hpp"
#include "messaging/reply_builders.hpp"
#include "util/log.hpp"

namespace gridlet::invocation {
namespace {

struct Call {
    CallIds ids;
    std::string module_name, function_name;
    boost::json::value args;
    bool has_args = false;
    bool time_limited = true;
};

// Refusals and failures of the kernel itself: the error is an error record. `gil` null: from the
// listener.
void send_error_pair(Replies& replies, const GilHeld* gil, const Call& c, const ErrorRecord& e) {
    const std::string record = reply::error_json(e);
    const std::string first = reply::execution_error(record, {}, c.ids, reply::Echo::all);
    const std::string second = reply::function_execution_refused(record, c.ids);
    if (gil) {
        replies.post(*gil, first, {"execution_error", c.ids.request_id});
        replies.post(*gil, second, {"function_execution_result", c.ids.request_id});
    } else {
        replies.send(first, {"execution_error", c.ids.request_id});
        replies.send(second, {"function_execution_result", c.ids.request_id});
    }
}

// A generator's result is the list of all its items, each converted. Null with the error set.
PyRef collect_generator(const GilHeld& gil, PyObject* bridge, PyObject* generator) {
    PyRef wire = PyRef::steal(PyList_New(0));
    if (!wire) return {};
    while (PyRef item = PyRef::steal(PyIter_Next(generator))) {
        PyRef w = PyRef::steal(to_wire(gil, bridge, item.get()));
        if (!w || PyList_Append(wire.get(), w.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return wire;
}

void run_on_worker(const GilHeld& gil, HandlerContext ctx, const Call& c) {
    PyObject* const bridge = ctx.bridge;
    const std::string qualified = c.module_name + "." + c.function_name;
    if (c.has_args && !c.args.is_array()) {
        // Arguments that are not a list: the call is refused before anything is imported or run.
        drop(deserialize_args(gil, bridge, &c.args));
        PyRef exc = PyRef::steal(fetch_exception(gil));
        ErrorRecord e = exc ? error_record(gil, exc.get()) : ErrorRecord{"TypeError", "args must be a list", ""};
        GLOG_ERROR("[Kernel] Custom function call refused: {}: {}", qualified, e.message);
        send_error_pair(ctx.replies, &gil, c, e);
        return;
    }
    GLOG_DEBUG("[Kernel] [Worker Thread {}] Executing custom function: {}", WorkerPool::current_thread_name(),
               qualified);
    RunOutput run(ctx.replies, reply::echo_tail(c.ids, reply::Echo::run), /*keep_text=*/true, c.ids.request_id);
    std::string error_text;
    EncodedResult result;
    {
        ActiveRun active(gil, ctx.runs, c.ids.request_id, c.time_limited);
        RunScope scope(gil, run);
        bool ok = false;
        PyRef module = PyRef::steal(import_module(gil, c.module_name,
                                                  "Module '" + c.module_name +
                                                      "' not found in sys.modules. Make sure the module has been "
                                                      "synced via update_module."));
        PyRef func = PyRef::steal(module ? find_function(gil, module.get(), c.module_name, c.function_name) : nullptr);
        PyRef args = PyRef::steal(func ? deserialize_args(gil, bridge, c.has_args ? &c.args : nullptr) : nullptr);
        PyRef tuple = PyRef::steal(args ? PyList_AsTuple(args.get()) : nullptr);
        PyRef value = PyRef::steal(tuple ? PyObject_Call(func.get(), tuple.get(), nullptr) : nullptr);
        if (value && PyGen_Check(value.get())) {
            PyRef wire = collect_generator(gil, bridge, value.get());
            ok = wire && encode_result(gil, wire.get(), value.get(), result);
        } else if (value) {
            ok = encode_value(gil, bridge, value.get(), result);
        }
        if (!ok) {
            active.convert_time_limit(gil);
            error_text = report_exception(gil, &run);
        }
    }

    const std::string logs = logs_json(run, "Function logs");

    if (error_text.empty()) {
        reply::ResultOutput out;
        if (result.has_value) out = result.result_output(c.ids, reply::Echo::run);
        // The repr and the result's JSON are framed from their one copy each into the replies.
        const reply::Framed first = result.frame(reply::execution_result(logs, c.ids, reply::Echo::all));
        const reply::Framed second = result.frame(reply::function_execution_result(logs, c.ids));
        ctx.replies.post_all(gil,
                             {{result.has_value ? out.text() : MessageText(), {"result_output", c.ids.request_id}},
                              {first.around(result.json_body()), {"execution_result", c.ids.request_id}},
                              {second.around(result.json_body()), {"function_execution_result", c.ids.request_id}}});
        GLOG_INFO("[Kernel] Custom function call succeeded: {}", qualified);
        return;
    }
    const std::string err = reply::text_json(error_text);
    ctx.replies.post_all(
        gil, {{reply::execution_error(err, logs, c.ids, reply::Echo::all), {"execution_error", c.ids.request_id}},
              {reply::function_execution_failed(err, logs, c.ids), {"function_execution_result", c.ids.request_id}}});
    GLOG_ERROR("[Kernel] Custom function call failed: {}", qualified);
}

}  // namespace

void start_custom_function_call(HandlerContext ctx, boost::json::object&& message, bool time_limited) {
    Call c;
    c.time_limited = time_limited;
    c.ids.module_name = fields::echo_or(message, "module_name", "\"\"");
    c.ids.function_name = fields::echo_or(message, "function_name", "\"\"");
    c.ids.request_id = fields::echo(message, "request_id");
    c.ids.workbook_id = fields::echo(message, "workbook_id");
    c.ids.source = fields::echo_or(message, "source", "\"addin\"");
    GLOG_INFO("[Kernel] Received custom_function_call: {}.{} (source={}, request_id={})",
              fields::display(message, "module_name", ""), fields::display(message, "function_name", ""),
              fields::display(message, "source", "addin"), fields::display(message, "request_id"));
    try {
        c.module_name = fields::text(message, "module_name", "", true).value_or("");
        c.function_name = fields::text(message, "function_name", "", true).value_or("");
    } catch (const fields::FieldError& e) {
        send_error_pair(ctx.replies, nullptr, c, {"TypeError", e.what(), ""});
        return;
    }
    if (c.module_name.empty()) {
        send_error_pair(ctx.replies, nullptr, c, {"ValidationError", "Missing module_name", ""});
        return;
    }
    if (c.function_name.empty()) {
        send_error_pair(ctx.replies, nullptr, c, {"ValidationError", "Missing function_name", ""});
        return;
    }
    if (auto* a = message.if_contains("args")) {
        json_move::take(c.args, *a);
        c.has_args = true;
    }
    GLOG_DEBUG("[Kernel] [Async Task] Dispatching custom_function_call to worker: {}.{}", c.module_name,
               c.function_name);
    ctx.pool.submit([ctx, c = std::move(c)](const GilHeld& gil) { run_on_worker(gil, ctx, c); });
}

}  // namespace gridlet::invocation
