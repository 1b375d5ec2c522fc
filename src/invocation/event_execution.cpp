// event_execution: a workbook event handler; COM events also hand their outcome to the registrar.
#include <boost/json.hpp>

#include "components/com_events.hpp"
#include "execution/active_runs.hpp"
#include "execution/tracebacks.hpp"
#include "invocation/call_support.hpp"
#include "invocation/invocation.hpp"
#include "kernel/kernel.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_text.hpp"
#include "util/log.hpp"

namespace gridlet::invocation {
namespace {

struct EventCall {
    std::string module_name, function_name, request_id;
    boost::json::value args;
    bool has_args = false;
    bool is_com = false;
    std::string module_json, function_json, request_id_json, workbook_json;
};

void deliver(const GilHeld& gil, Kernel& kernel, const EventCall& c, bool ok, PyObject* return_value) {
    std::shared_ptr<ComEventRegistrar> registrar = kernel.com_registrar();
    if (!c.is_com || !registrar) return;
    auto nok = [&] {
        PyObject* r = Py_BuildValue("{s:s}", "status", "nok");
        try {
            registrar->deliver_com_response(gil, c.request_id, r);
        } catch (...) {
            PyErr_Clear();
        }
        Py_DECREF(r);
    };
    PyObject* response = ok ? Py_BuildValue("{s:s,s:O}", "status", "ok", "return_value",
                                            return_value ? return_value : Py_None)
                            : Py_BuildValue("{s:s}", "status", "nok");
    try {
        registrar->deliver_com_response(gil, c.request_id, response);
    } catch (const std::exception& e) {
        std::string text = PyErr_Occurred() ? error_record_from_pending(gil).message : e.what();
        GLOG_ERROR("[Kernel] Error delivering COM event response: {}", text);
        nok();
    }
    Py_DECREF(response);
}

void run_on_worker(const GilHeld& gil, Kernel& kernel, const EventCall& c) {
    const std::string qualified = c.module_name + "." + c.function_name;
    GLOG_DEBUG("[Kernel] [Worker Thread {}] Executing event handler: {}", WorkerPool::current_thread_name(), qualified);
    RunOutput run(kernel, ",\"request_id\":" + c.request_id_json + ",\"workbook_id\":" + c.workbook_json +
                              ",\"source\":\"addin\"}", true, c.request_id_json);
    std::string error_text;
    PyObject* value = nullptr;
    {
        ActiveRun active(gil, kernel.runs(), c.request_id_json);
        RunScope scope(gil, run);
        PyObject* args = deserialize_args(gil, kernel, c.has_args ? &c.args : nullptr);
        PyObject* module = args ? import_module(gil, c.module_name, "Module '" + c.module_name + "' not found in sys.modules")
                                : nullptr;
        PyObject* func = module ? find_function(gil, module, c.module_name, c.function_name) : nullptr;
        PyObject* tuple = func ? PyList_AsTuple(args) : nullptr;
        value = tuple ? PyObject_Call(func, tuple, nullptr) : nullptr;
        if (!value) error_text = report_exception(gil, &run);
        Py_XDECREF(tuple);
        Py_XDECREF(func);
        Py_XDECREF(module);
        Py_XDECREF(args);
    }
    const std::string logs = logs_json(run, "Event handler logs");
    deliver(gil, kernel, c, error_text.empty(), value);
    Py_XDECREF(value);

    std::string tail = ",\"request_id\":" + c.request_id_json + ",\"module_name\":" + c.module_json +
                       ",\"function_name\":" + c.function_json + ",\"workbook_id\":" + c.workbook_json + "}";
    std::string msg;
    if (error_text.empty()) {
        GLOG_INFO("[Kernel] Event handler executed successfully: {}", qualified);
        msg = "{\"type\":\"event_execution_result\",\"status\":\"success\",\"logs\":" + logs + ",\"error\":null" + tail;
    } else {
        GLOG_ERROR("[Kernel] Event handler failed: {}", qualified);
        std::string err;
        json_text::append_string(err, error_text);
        msg = "{\"type\":\"event_execution_result\",\"status\":\"error\",\"logs\":" + logs + ",\"error\":" + err + tail;
    }
    kernel.post_from_worker(gil, msg, {"event_execution_result", c.request_id_json});
}

}  // namespace

void start_event_execution(Kernel& kernel, boost::json::object&& message) {
    EventCall c;
    c.module_json = fields::echo_or(message, "module_name", "\"\"");
    c.function_json = fields::echo_or(message, "function_name", "\"\"");
    c.request_id_json = fields::echo(message, "request_id");
    c.workbook_json = fields::echo_or(message, "workbook_id", kernel.workbook_id_json());
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
        c.args = std::move(*a);
        c.has_args = true;
    }
    GLOG_DEBUG("[Kernel] [Async Task] Dispatching event_execution to worker: {}.{}", c.module_name, c.function_name);
    kernel.pool().submit([&kernel, c = std::move(c)](const GilHeld& gil) { run_on_worker(gil, kernel, c); });
}

}  // namespace gridlet::invocation
