#include "execution/execution_request.hpp"

#include <boost/json.hpp>

#include <chrono>

#include "execution/active_runs.hpp"
#include "execution/code_executor.hpp"
#include "execution/display_data.hpp"
#include "execution/error_json.hpp"
#include "execution/run_output.hpp"
#include "kernel/fd_capture.hpp"
#include "kernel/py_ref.hpp"
#include "kernel/replies.hpp"
#include "kernel/worker_pool.hpp"
#include "messaging/fields.hpp"
#include "messaging/py_json.hpp"
#include "messaging/reply_builders.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace {

struct ExecutionRequest {
    // request_id and function_name are "null" or JSON strings; workbook_id is the connection's.
    CallIds ids;
    std::string code;
    std::string request_id_display;  // for logs
    bool has_function_name = false;  // non-empty function_name: the result travels as a value
    std::chrono::steady_clock::time_point start;
};

double elapsed_ms(const ExecutionRequest& r) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - r.start).count();
}

// The reply form for failures of the handler itself: no function_name, no workbook_id. `gil`
// null: from the listener.
void send_unexpected_failure(Replies& replies, const GilHeld* gil, const ExecutionRequest& r, const ErrorRecord& e) {
    GLOG_ERROR("[TIMING] Execution failed: request_id={}, elapsed={:.1f}ms, error={}", r.request_id_display,
               elapsed_ms(r), e.message);
    GLOG_ERROR("[Kernel] Unexpected error in _execute_code_async: {}", e.message);
    const std::string msg =
        reply::execution_error(reply::error_json(e), {}, r.ids, reply::Echo::request_id | reply::Echo::source);
    if (gil) replies.post(*gil, msg, {"execution_error", r.ids.request_id});
    else replies.send(msg, {"execution_error", r.ids.request_id});
}

// The fields execution_result and execution_error echo.
constexpr unsigned kEcho =
    reply::Echo::request_id | reply::Echo::function_name | reply::Echo::workbook_id | reply::Echo::source;

void run_on_worker(const GilHeld& gil, HandlerContext ctx, const ExecutionRequest& r) {
    Replies& replies = ctx.replies;
    const std::string& rid = r.ids.request_id;
    const std::string& thread = WorkerPool::current_thread_name();
    GLOG_DEBUG("[Kernel] [Worker Thread {}] Executing code (request_id={})", thread, r.request_id_display);
    PyRef code = PyRef::steal(py_json::str_of(gil, r.code));
    if (!code) {
        send_unexpected_failure(replies, &gil, r, error_record_from_pending(gil));
        return;
    }
    ExecOutcome outcome;
    {
        RunOutput run(replies, reply::echo_tail(r.ids, reply::Echo::run), /*keep_text=*/false, rid);
        ActiveRun active(gil, ctx.runs, rid);
        RunScope scope(gil, run);
        outcome = ctx.executor->execute(gil, code.get());
        // Figures the code left open show once, before the reply, with the run's fields.
        display_data::show_open_figures(gil);
    }
    code.reset();
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
        const std::string record = reply::error_json(*outcome.error);
        GLOG_INFO("[Kernel] Sending execution_error for request_id={}: {}", r.request_id_display, record);
        replies.post(gil, reply::execution_error(record, {}, r.ids, kEcho), {"execution_error", rid});
        return;
    }

    GLOG_INFO("[Kernel] Sending execution_result (success) for request_id={}", r.request_id_display);
    std::string result_json = "null";
    std::string result_output;
    if (outcome.result) {
        PyRef repr = PyRef::steal(PyObject_Repr(outcome.result));
        if (!repr) {
            send_unexpected_failure(replies, &gil, r, error_record_from_pending(gil));
            return;
        }
        std::string repr_text = py_json::utf8_of(gil, repr.get());
        repr.reset();
        result_output = reply::result_output(repr_text, r.ids);
        if (r.has_function_name) {
            result_json.clear();
            try {
                py_json::append(gil, outcome.result, result_json);
            } catch (const py_json::EncodeError& e) {
                replies.post(gil, result_output, {"result_output", rid});
                send_unexpected_failure(replies, &gil, r,
                                        {"TypeError", e.what(), std::string("TypeError: ") + e.what() + "\n"});
                return;
            }
        } else {
            result_json = reply::text_json(repr_text);
        }
    }
    const reply::Framed framed = reply::execution_result({}, r.ids, kEcho);
    replies.post_all(
        gil, {{result_output, {"result_output", rid}}, {framed.around(result_json), {"execution_result", rid}}});
}

}  // namespace

void start_execution_request(HandlerContext ctx, boost::json::object&& message) {
    ExecutionRequest r;
    r.start = std::chrono::steady_clock::now();
    r.ids.request_id = fields::echo(message, "request_id");
    r.ids.workbook_id = ctx.replies.workbook_id_json();
    r.request_id_display = fields::display(message, "request_id");
    r.ids.source = fields::echo_or(message, "source", "\"ide\"");
    try {
        r.code = fields::text(message, "code", "").value();
        if (const auto* rid = message.if_contains("request_id"); rid && !rid->is_string() && !rid->is_null())
            throw fields::FieldError("Field 'request_id' must be a string or null");
        auto fn = fields::text(message, "function_name", std::nullopt, true);
        r.ids.function_name = fields::echo(message, "function_name");
        r.has_function_name = fn && !fn->empty();
        auto source = fields::text(message, "source", "ide");
        GLOG_INFO("[Kernel] [Listener Thread] Received execution_request (source={}, request_id={})", *source,
                  r.request_id_display);
        GLOG_DEBUG("[Kernel] Code length: {} chars", r.code.size());
    } catch (const fields::FieldError& e) {
        send_unexpected_failure(ctx.replies, nullptr, r,
                                {"TypeError", e.what(), std::string("TypeError: ") + e.what() + "\n"});
        return;
    }
    GLOG_DEBUG("[TIMING] Execution started: request_id={}, function={}", r.request_id_display,
               fields::display(message, "function_name"));
    GLOG_DEBUG("[Kernel] [Async Task] Submitting execution to worker thread pool (request_id={})",
               r.request_id_display);
    ctx.pool.submit([ctx, r = std::move(r)](const GilHeld& gil) { run_on_worker(gil, ctx, r); });
}

}  // namespace gridlet
