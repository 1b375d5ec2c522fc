// custom_function_call: a worksheet function of a workbook module, called from Excel.
#include <boost/json.hpp>

#include "execution/active_runs.hpp"
#include "execution/error_json.hpp"
#include "execution/tracebacks.hpp"
#include "invocation/call_support.hpp"
#include "invocation/invocation.hpp"
#include "kernel/kernel.hpp"
#include "messaging/fields.hpp"
#include "messaging/py_json.hpp"
#include "util/log.hpp"

namespace gridlet::invocation {
namespace {

struct Call {
    std::string module_name, function_name;
    boost::json::value args;
    bool has_args = false;
    bool time_limited = true;
    // Echoed JSON texts
    std::string module_json, function_json, request_id_json, workbook_json, source_json;
    std::string request_id_display, source_display;
};

std::string reply_tail(const Call& c) {
    return ",\"request_id\":" + c.request_id_json + ",\"module_name\":" + c.module_json +
           ",\"function_name\":" + c.function_json + ",\"workbook_id\":" + c.workbook_json +
           ",\"source\":" + c.source_json + "}";
}

// Refusals and failures of the kernel itself: the error is an error record.
void send_error_pair(Kernel& kernel, const GilHeld* gil, const Call& c, const ErrorRecord& e) {
    std::string record = error_record_json(e);
    std::string first = "{\"type\":\"execution_error\",\"success\":false,\"error\":" + record + reply_tail(c);
    std::string second = "{\"type\":\"function_execution_result\",\"request_id\":" + c.request_id_json +
                         ",\"status\":\"error\",\"error\":" + record + "}";
    if (gil) {
        kernel.post_from_worker(*gil, first, {"execution_error", c.request_id_json});
        kernel.post_from_worker(*gil, second, {"function_execution_result", c.request_id_json});
    } else {
        kernel.send_json(first, {"execution_error", c.request_id_json});
        kernel.send_json(second, {"function_execution_result", c.request_id_json});
    }
}

void run_on_worker(const GilHeld& gil, Kernel& kernel, const Call& c) {
    const std::string qualified = c.module_name + "." + c.function_name;
    if (c.has_args && !c.args.is_array()) {
        // Arguments that are not a list: the call is refused before anything is imported or run.
        deserialize_args(gil, kernel, &c.args);
        PyObject* exc = fetch_exception(gil);
        ErrorRecord e = exc ? error_record(gil, exc) : ErrorRecord{"TypeError", "args must be a list", ""};
        Py_XDECREF(exc);
        GLOG_ERROR("[Kernel] Custom function call refused: {}: {}", qualified, e.message);
        send_error_pair(kernel, &gil, c, e);
        return;
    }
    GLOG_DEBUG("[Kernel] [Worker Thread {}] Executing custom function: {}", WorkerPool::current_thread_name(),
               qualified);
    RunOutput run(kernel,
                  ",\"request_id\":" + c.request_id_json + ",\"workbook_id\":" + c.workbook_json +
                      ",\"source\":" + c.source_json + "}", /*keep_text=*/true, c.request_id_json);
    std::string error_text;
    EncodedResult result;
    {
        ActiveRun active(gil, kernel.runs(), c.request_id_json, c.time_limited);
        RunScope scope(gil, run);
        PyObject* module = import_module(gil, c.module_name,
                                         "Module '" + c.module_name +
                                             "' not found in sys.modules. Make sure the module has been synced via "
                                             "update_module.");
        PyObject* func = module ? find_function(gil, module, c.module_name, c.function_name) : nullptr;
        PyObject* args = func ? deserialize_args(gil, kernel, c.has_args ? &c.args : nullptr) : nullptr;
        PyObject* tuple = args ? PyList_AsTuple(args) : nullptr;
        PyObject* value = tuple ? PyObject_Call(func, tuple, nullptr) : nullptr;
        PyObject* wire = nullptr;
        if (value && PyGen_Check(value)) {
            // A generator's result is the list of all its items, each converted.
            wire = PyList_New(0);
            while (PyObject* item = PyIter_Next(value)) {
                PyObject* w = to_wire(gil, kernel, item);
                Py_DECREF(item);
                if (!w || PyList_Append(wire, w) < 0) {
                    Py_XDECREF(w);
                    Py_CLEAR(wire);
                    break;
                }
                Py_DECREF(w);
            }
            if (wire && PyErr_Occurred()) Py_CLEAR(wire);
            if (wire && !encode_result(gil, wire, value, result)) Py_CLEAR(wire);
        } else if (value) {
            wire = encode_value(gil, kernel, value, result) ? Py_NewRef(Py_None) : nullptr;
        }
        if (!wire) {
            active.convert_time_limit(gil);
            error_text = report_exception(gil, &run);
        }
        Py_XDECREF(wire);
        Py_XDECREF(value);
        Py_XDECREF(tuple);
        Py_XDECREF(args);
        Py_XDECREF(func);
        Py_XDECREF(module);
    }

    const std::string logs = logs_json(run, "Function logs");

    if (error_text.empty()) {
        std::string out;
        if (result.has_value) {
            out = "{\"type\":\"result_output\",\"content\":\"Out: ";
            json_text::append_escaped(out, result.repr);
            std::string().swap(result.repr);
            out += "\\n\",\"request_id\":" + c.request_id_json + ",\"workbook_id\":" + c.workbook_json +
                   ",\"source\":" + c.source_json + "}";
        }
        // The result's JSON is framed from its one copy into both replies.
        const std::string first_head = "{\"type\":\"execution_result\",\"success\":true,\"result\":";
        const std::string first_tail = ",\"logs\":" + logs + reply_tail(c);
        const std::string second_head = "{\"type\":\"function_execution_result\",\"request_id\":" +
                                        c.request_id_json + ",\"status\":\"success\",\"result\":";
        const std::string second_tail = ",\"logs\":" + logs + "}";
        kernel.post_all_from_worker(gil, {{out, {"result_output", c.request_id_json}},
                                          {{first_head, result.json, first_tail}, {"execution_result", c.request_id_json}},
                                          {{second_head, result.json, second_tail},
                                           {"function_execution_result", c.request_id_json}}});
        GLOG_INFO("[Kernel] Custom function call succeeded: {}", qualified);
        return;
    }
    std::string err;
    json_text::append_string(err, error_text);
    std::string first = "{\"type\":\"execution_error\",\"success\":false,\"error\":" + err + ",\"logs\":" + logs +
                        reply_tail(c);
    std::string second = "{\"type\":\"function_execution_result\",\"request_id\":" + c.request_id_json +
                         ",\"status\":\"error\",\"result\":null,\"logs\":" + logs + ",\"error\":" + err + "}";
    kernel.post_all_from_worker(gil, {{first, {"execution_error", c.request_id_json}},
                                      {second, {"function_execution_result", c.request_id_json}}});
    GLOG_ERROR("[Kernel] Custom function call failed: {}", qualified);
}

}  // namespace

void start_custom_function_call(Kernel& kernel, boost::json::object&& message, bool time_limited) {
    Call c;
    c.time_limited = time_limited;
    c.module_json = fields::echo_or(message, "module_name", "\"\"");
    c.function_json = fields::echo_or(message, "function_name", "\"\"");
    c.request_id_json = fields::echo(message, "request_id");
    c.workbook_json = fields::echo(message, "workbook_id");
    c.source_json = fields::echo_or(message, "source", "\"addin\"");
    c.request_id_display = fields::display(message, "request_id");
    c.source_display = fields::display(message, "source", "addin");
    GLOG_INFO("[Kernel] Received custom_function_call: {}.{} (source={}, request_id={})",
              fields::display(message, "module_name", ""), fields::display(message, "function_name", ""),
              c.source_display, c.request_id_display);
    try {
        c.module_name = fields::text(message, "module_name", "", true).value_or("");
        c.function_name = fields::text(message, "function_name", "", true).value_or("");
    } catch (const fields::FieldError& e) {
        send_error_pair(kernel, nullptr, c, {"TypeError", e.what(), ""});
        return;
    }
    if (c.module_name.empty()) {
        send_error_pair(kernel, nullptr, c, {"ValidationError", "Missing module_name", ""});
        return;
    }
    if (c.function_name.empty()) {
        send_error_pair(kernel, nullptr, c, {"ValidationError", "Missing function_name", ""});
        return;
    }
    if (auto* a = message.if_contains("args")) {
        c.args = std::move(*a);
        c.has_args = true;
    }
    GLOG_DEBUG("[Kernel] [Async Task] Dispatching custom_function_call to worker: {}.{}", c.module_name,
               c.function_name);
    kernel.pool().submit([&kernel, c = std::move(c)](const GilHeld& gil) { run_on_worker(gil, kernel, c); });
}

}  // namespace gridlet::invocation
