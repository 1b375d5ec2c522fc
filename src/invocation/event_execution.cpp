// event_execution: a workbook event handler; COM events also hand their outcome to the registrar.
#include <boost/json.hpp>

#include "components/com_events.hpp"
#include "execution/active_runs.hpp"
#include "execution/tracebacks.hpp"
#include "invocation/call_support.hpp"
#include "invocation/invocation.hpp"
#include "kernel/kernel.hpp"  // the COM registrar
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_move.hpp"
#include "messaging/reply_builders.hpp"
#include "util/log.hpp"

namespace gridlet::invocation {
namespace {

struct EventCall {
    CallIds ids;
    std::string module_name, function_name, request_id;
    boost::json::value args;
    bool has_args = false;
    bool is_com = false;
};

void deliver(const GilHeld& gil, Kernel& kernel, const EventCall& c, bool ok, PyObject* return_value) {
    std::shared_ptr<ComEventRegistrar> registrar = kernel.com_registrar();
    if (!c.is_com || !registrar) return;
    auto nok = [&] {
        PyRef r = PyRef::steal(Py_BuildValue("{s:s}", "status", "nok"));
        try {
            registrar->deliver_com_response(gil, c.request_id, r.get());
        } catch (...) {
            py_error::clear_logged(gil, "[Kernel] Error delivering COM event nok response", py_error::Level::warning);
        }
    };
    PyRef response = PyRef::steal(
        ok ? Py_BuildValue("{s:s,s:O}", "status", "ok", "return_value", return_value ? return_value : Py_None)
           : Py_BuildValue("{s:s}", "status", "nok"));
    try {
        registrar->deliver_com_response(gil, c.request_id, response.get());
    } catch (const std::exception& e) {
        std::string text = PyErr_Occurred() ? error_record_from_pending(gil).message : e.what();
        GLOG_ERROR("[Kernel] Error delivering COM event response: {}", text);
        nok();
    }
}

void run_on_worker(const GilHeld& gil, HandlerContext ctx, const EventCall& c) {
    Kernel& kernel = *ctx.kernel;
    const std::string qualified = c.module_name + "." + c.function_name;
    GLOG_DEBUG("[Kernel] [Worker Thread {}] Executing event handler: {}", WorkerPool::current_thread_name(), qualified);
    RunOutput run(ctx.replies, reply::echo_tail(c.ids, reply::Echo::run), true, c.ids.request_id);
    std::string error_text;
    PyRef value;
    {
        ActiveRun active(gil, ctx.runs, c.ids.request_id);
        RunScope scope(gil, run);
        PyRef args = PyRef::steal(deserialize_args(gil, ctx.bridge, c.has_args ? &c.args : nullptr));
        PyRef module = PyRef::steal(
            args ? import_module(gil, c.module_name, "Module '" + c.module_name + "' not found in sys.modules")
                 : nullptr);
        PyRef func = PyRef::steal(module ? find_function(gil, module.get(), c.module_name, c.function_name) : nullptr);
        PyRef tuple = PyRef::steal(func ? PyList_AsTuple(args.get()) : nullptr);
        value = PyRef::steal(tuple ? PyObject_Call(func.get(), tuple.get(), nullptr) : nullptr);
        if (!value) error_text = report_exception(gil, &run);
    }
    const std::string logs = logs_json(run, "Event handler logs");
    deliver(gil, kernel, c, error_text.empty(), value.get());
    value.reset();

    if (error_text.empty()) GLOG_INFO("[Kernel] Event handler executed successfully: {}", qualified);
    else GLOG_ERROR("[Kernel] Event handler failed: {}", qualified);
    const std::string error = error_text.empty() ? std::string() : reply::text_json(error_text);
    ctx.replies.post(gil, reply::event_execution_result(error, logs, c.ids),
                     {"event_execution_result", c.ids.request_id});
}

}  // namespace

void start_event_execution(HandlerContext ctx, boost::json::object&& message) {
    EventCall c;
    c.ids.module_name = fields::echo_or(message, "module_name", "\"\"");
    c.ids.function_name = fields::echo_or(message, "function_name", "\"\"");
    c.ids.request_id = fields::echo(message, "request_id");
    c.ids.workbook_id = fields::echo_or(message, "workbook_id", ctx.replies.workbook_id_json());
    c.ids.source = "\"addin\"";
    c.module_name = fields::text(message, "module_name", "", true).value_or("");
    c.function_name = fields::text(message, "function_name", "", true).value_or("");
    c.request_id = fields::display(message, "request_id", "");
    if (const auto* com = message.if_contains("is_com")) c.is_com = com->is_bool() ? com->get_bool() : !com->is_null();
    if (c.module_name.empty() || c.function_name.empty()) {
        GLOG_ERROR("[Kernel] event_execution missing module_name or function_name");
        return;
    }
    GLOG_INFO("[Kernel] [Async Task] Received event_execution: {}.{} (object={}/{}, event={})", c.module_name,
              c.function_name, fields::display(message, "object_type", ""), fields::display(message, "object_name", ""),
              fields::display(message, "event_type", ""));
    if (auto* a = message.if_contains("args")) {
        json_move::take(c.args, *a);
        c.has_args = true;
    }
    GLOG_DEBUG("[Kernel] [Async Task] Dispatching event_execution to worker: {}.{}", c.module_name, c.function_name);
    ctx.pool.submit([ctx, c = std::move(c)](const GilHeld& gil) { run_on_worker(gil, ctx, c); });
}

}  // namespace gridlet::invocation
