// python_function_call: a callable registered with the bridge module, called by its identifier.
#include <boost/json.hpp>

#include "execution/active_runs.hpp"
#include "execution/error_json.hpp"
#include "invocation/call_support.hpp"
#include "invocation/invocation.hpp"
#include "kernel/kernel.hpp"
#include "messaging/fields.hpp"
#include "messaging/py_json.hpp"
#include "util/log.hpp"

namespace gridlet::invocation {
namespace {

struct CallableCall {
    std::string callable_id;
    boost::json::value args;
    bool has_args = false;
    std::string request_id_json, workbook_json;
};

std::string ids(const CallableCall& c) {
    return ",\"request_id\":" + c.request_id_json + ",\"workbook_id\":" + c.workbook_json + "}";
}

void send_refusal(Kernel& kernel, const CallableCall& c, const ErrorRecord& e) {
    std::string msg = "{\"type\":\"python_function_result\",\"success\":false,\"error\":" + error_record_json(e) + ids(c);
    kernel.send_json(msg, {"python_function_result", c.request_id_json});
}

PyObject* lookup_callable(const GilHeld&, Kernel& kernel, const std::string& id) {
    PyObject* messaging = PyObject_GetAttrString(kernel.bridge_module(), "messaging");
    PyObject* func = messaging ? PyObject_CallMethod(messaging, "get_callable", "s", id.c_str()) : nullptr;
    Py_XDECREF(messaging);
    if (!func) return nullptr;
    if (func == Py_None) {
        Py_DECREF(func);
        PyErr_Format(PyExc_ValueError, "Callable '%s' not found in registry", id.c_str());
        return nullptr;
    }
    if (!PyCallable_Check(func)) {
        Py_DECREF(func);
        PyErr_Format(PyExc_TypeError, "Object with id '%s' is not callable", id.c_str());
        return nullptr;
    }
    return func;
}

void run_on_worker(const GilHeld& gil, Kernel& kernel, const CallableCall& c) {
    GLOG_DEBUG("[Kernel] [Worker Thread {}] Executing callable: {}", WorkerPool::current_thread_name(), c.callable_id);
    RunOutput run(kernel, ",\"request_id\":" + c.request_id_json + ",\"workbook_id\":" + c.workbook_json +
                              ",\"source\":\"addin\"}", true, c.request_id_json);
    std::string error_text;
    EncodedResult result;
    {
        ActiveRun active(gil, kernel.runs(), c.request_id_json);
        RunScope scope(gil, run);
        PyObject* func = lookup_callable(gil, kernel, c.callable_id);
        PyObject* args = func ? deserialize_args(gil, kernel, c.has_args ? &c.args : nullptr) : nullptr;
        if (!args) {
            // Lookup and conversion failures print no traceback into the capture.
            PyObject* exc = fetch_exception(gil);
            error_text = exc ? extract_traceback_string(gil, exc) : "Unknown error";
            Py_XDECREF(exc);
        } else {
            PyObject* tuple = PyList_AsTuple(args);
            PyObject* value = PyObject_Call(func, tuple, nullptr);
            PyObject* wire = value ? to_wire(gil, kernel, value) : nullptr;
            if (wire && !encode_result(gil, wire, value, result)) Py_CLEAR(wire);
            if (!wire) error_text = report_exception(gil, &run);
            Py_XDECREF(wire);
            Py_XDECREF(value);
            Py_DECREF(tuple);
        }
        Py_XDECREF(args);
        Py_XDECREF(func);
    }
    const std::string logs = logs_json(run, "Callable logs");
    if (error_text.empty()) {
        if (result.has_value) {
            std::string out = "{\"type\":\"result_output\",\"content\":";
            json_text::append_string(out, "Out: " + result.repr + "\n");
            out += ids(c);
            kernel.post_from_worker(gil, out, {"result_output", c.request_id_json});
        }
        kernel.post_from_worker(gil,
                                "{\"type\":\"python_function_result\",\"success\":true,\"result\":" + result.json +
                                    ",\"logs\":" + logs + ids(c),
                                {"python_function_result", c.request_id_json});
        GLOG_INFO("[Kernel] Python function call succeeded: callable_id={}", c.callable_id);
        return;
    }
    std::string err;
    json_text::append_string(err, error_text);
    kernel.post_from_worker(gil,
                            "{\"type\":\"python_function_result\",\"success\":false,\"error\":" + err +
                                ",\"logs\":" + logs + ids(c),
                            {"python_function_result", c.request_id_json});
    GLOG_ERROR("[Kernel] Python function call failed: callable_id={}", c.callable_id);
}

}  // namespace

void start_python_function_call(Kernel& kernel, boost::json::object&& message) {
    CallableCall c;
    c.request_id_json = fields::echo(message, "request_id");
    c.workbook_json = fields::echo(message, "workbook_id");
    GLOG_INFO("[Kernel] Received python_function_call: callable_id={} (request_id={})",
              fields::display(message, "callable_id", ""), fields::display(message, "request_id"));
    try {
        c.callable_id = fields::text(message, "callable_id", "", true).value_or("");
    } catch (const fields::FieldError& e) {
        send_refusal(kernel, c, {"TypeError", e.what(), ""});
        return;
    }
    if (c.callable_id.empty()) {
        send_refusal(kernel, c, {"ValidationError", "Missing callable_id", ""});
        return;
    }
    if (auto* a = message.if_contains("args")) {
        c.args = std::move(*a);
        c.has_args = true;
    }
    GLOG_DEBUG("[Kernel] [Async Task] Dispatching python_function_call to worker: callable_id={}", c.callable_id);
    kernel.pool().submit([&kernel, c = std::move(c)](const GilHeld& gil) { run_on_worker(gil, kernel, c); });
}

}  // namespace gridlet::invocation
