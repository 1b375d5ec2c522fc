#include "execution/execution_request.hpp"

#include <boost/json.hpp>

#include <chrono>

#include "execution/active_runs.hpp"
#include "execution/code_executor.hpp"
#include "execution/display_data.hpp"
#include "execution/error_json.hpp"
#include "execution/run_output.hpp"
#include "kernel/fd_capture.hpp"
#include "kernel/kernel.hpp"
#include "messaging/fields.hpp"
#include "messaging/py_json.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace {

struct ExecutionRequest {
    std::string code;
    std::string request_id_json;     // "null" or a JSON string
    std::string request_id_display;  // for logs
    std::string function_name_json;  // "null" or a JSON string
    bool has_function_name = false;  // non-empty function_name: the result travels as a value
    std::string source_json;
    std::chrono::steady_clock::time_point start;
};

double elapsed_ms(const ExecutionRequest& r) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - r.start).count();
}

// The reply form for failures of the handler itself: no function_name, no workbook_id.
void send_unexpected_failure(Kernel& kernel, const GilHeld* gil, const ExecutionRequest& r, const ErrorRecord& e) {
    GLOG_ERROR("[TIMING] Execution failed: request_id={}, elapsed={:.1f}ms, error={}", r.request_id_display,
               elapsed_ms(r), e.message);
    GLOG_ERROR("[Kernel] Unexpected error in _execute_code_async: {}", e.message);
    std::string msg = "{\"type\":\"execution_error\",\"success\":false,\"error\":";
    append_error_record(msg, e);
    msg += ",\"request_id\":" + r.request_id_json + ",\"source\":" + r.source_json + "}";
    if (gil) kernel.post_from_worker(*gil, msg, {"execution_error", r.request_id_json});
    else kernel.send_json(msg, {"execution_error", r.request_id_json});
}

void run_on_worker(const GilHeld& gil, Kernel& kernel, const ExecutionRequest& r) {
    const std::string& thread = WorkerPool::current_thread_name();
    GLOG_DEBUG("[Kernel] [Worker Thread {}] Executing code (request_id={})", thread, r.request_id_display);
    const std::string tail = ",\"request_id\":" + r.request_id_json + ",\"workbook_id\":" + kernel.workbook_id_json() +
                             ",\"source\":" + r.source_json + "}";
    PyObject* code = py_json::str_of(gil, r.code);
    if (!code) {
        send_unexpected_failure(kernel, &gil, r, error_record_from_pending(gil));
        return;
    }
    ExecOutcome outcome;
    {
        RunOutput run(kernel, tail, /*keep_text=*/false, r.request_id_json);
        ActiveRun active(gil, kernel.runs(), r.request_id_json);
        RunScope scope(gil, run);
        outcome = kernel.executor().execute(gil, code);
        // Figures the code left open show once, before the reply, with the run's fields.
        display_data::show_open_figures(gil);
    }
    Py_DECREF(code);
    if (fd_capture::pending()) {
        // What the code wrote to fds 1/2 (os.system, C printf) leaves before the reply. Most runs
        // write nothing there and keep the GIL: handing it over and taking it back costs a wake-up,
        // and up to a switch interval when another thread wants it meanwhile.
        GilRelease released(gil);
        fd_capture::sync();
    }
    GLOG_DEBUG("[Kernel] [Worker Thread {}] Execution completed (request_id={})", thread, r.request_id_display);
    GLOG_DEBUG("[TIMING] Execution completed: request_id={}, elapsed={:.1f}ms", r.request_id_display, elapsed_ms(r));
    GLOG_DEBUG("[Kernel] [Async Task] Execution finished, success={} (request_id={})",
               outcome.success ? "True" : "False", r.request_id_display);

    if (!outcome.success) {
        const ErrorRecord& e = *outcome.error;
        std::string record = error_record_json(e);
        GLOG_INFO("[Kernel] Sending execution_error for request_id={}: {}", r.request_id_display, record);
        std::string msg = "{\"type\":\"execution_error\",\"success\":false,\"error\":" + record +
                          ",\"request_id\":" + r.request_id_json + ",\"function_name\":" + r.function_name_json +
                          ",\"workbook_id\":" + kernel.workbook_id_json() + ",\"source\":" + r.source_json + "}";
        kernel.post_from_worker(gil, msg, {"execution_error", r.request_id_json});
        return;
    }

    GLOG_INFO("[Kernel] Sending execution_result (success) for request_id={}", r.request_id_display);
    std::string result_json = "null";
    std::string result_output;
    if (outcome.result) {
        PyObject* repr = PyObject_Repr(outcome.result);
        if (!repr) {
            send_unexpected_failure(kernel, &gil, r, error_record_from_pending(gil));
            return;
        }
        std::string repr_text = py_json::utf8_of(gil, repr);
        Py_DECREF(repr);
        result_output = "{\"type\":\"result_output\",\"content\":\"Out: ";
        json_text::append_escaped(result_output, repr_text);
        result_output += "\\n\"";
        result_output += tail;
        if (r.has_function_name) {
            result_json.clear();
            try {
                py_json::append(gil, outcome.result, result_json);
            } catch (const py_json::EncodeError& e) {
                kernel.post_from_worker(gil, result_output, {"result_output", r.request_id_json});
                send_unexpected_failure(kernel, &gil, r, {"TypeError", e.what(), std::string("TypeError: ") + e.what() + "\n"});
                return;
            }
        } else {
            result_json.clear();
            json_text::append_string(result_json, repr_text);
        }
    }
    const std::string msg_tail = ",\"request_id\":" + r.request_id_json + ",\"function_name\":" + r.function_name_json +
                                 ",\"workbook_id\":" + kernel.workbook_id_json() + ",\"source\":" + r.source_json + "}";
    kernel.post_all_from_worker(gil, {{result_output, {"result_output", r.request_id_json}},
                                      {{"{\"type\":\"execution_result\",\"success\":true,\"result\":", result_json, msg_tail},
                                       {"execution_result", r.request_id_json}}});
}

}  // namespace

void start_execution_request(Kernel& kernel, boost::json::object&& message) {
    ExecutionRequest r;
    r.start = std::chrono::steady_clock::now();
    r.request_id_json = fields::echo(message, "request_id");
    r.request_id_display = fields::display(message, "request_id");
    r.source_json = fields::echo_or(message, "source", "\"ide\"");
    try {
        r.code = fields::text(message, "code", "").value();
        if (const auto* rid = message.if_contains("request_id"); rid && !rid->is_string() && !rid->is_null())
            throw fields::FieldError("Field 'request_id' must be a string or null");
        auto fn = fields::text(message, "function_name", std::nullopt, true);
        r.function_name_json = fields::echo(message, "function_name");
        r.has_function_name = fn && !fn->empty();
        auto source = fields::text(message, "source", "ide");
        GLOG_INFO("[Kernel] [Listener Thread] Received execution_request (source={}, request_id={})", *source,
                  r.request_id_display);
        GLOG_DEBUG("[Kernel] Code length: {} chars", r.code.size());
    } catch (const fields::FieldError& e) {
        send_unexpected_failure(kernel, nullptr, r, {"TypeError", e.what(), std::string("TypeError: ") + e.what() + "\n"});
        return;
    }
    GLOG_DEBUG("[TIMING] Execution started: request_id={}, function={}", r.request_id_display,
               fields::display(message, "function_name"));
    GLOG_DEBUG("[Kernel] [Async Task] Submitting execution to worker thread pool (request_id={})",
               r.request_id_display);
    kernel.pool().submit([&kernel, r = std::move(r)](const GilHeld& gil) { run_on_worker(gil, kernel, r); });
}

}  // namespace gridlet
