#include "debugging/debug_run.hpp"

#include <boost/asio/post.hpp>
#include <boost/json.hpp>

#include <regex>

#include "debugging/debug_control.hpp"
#include "debugging/frame_snapshot.hpp"
#include "debugging/gridlet_debugger.hpp"
#include "execution/active_runs.hpp"
#include "execution/error_json.hpp"
#include "execution/tracebacks.hpp"
#include "invocation/call_support.hpp"
#include "kernel/kernel.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/constants.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_move.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "modules/module_loader.hpp"
#include "util/log.hpp"

namespace gridlet::debugging {
namespace {

struct DebugRun {
    std::string module_name, function_name;
    boost::json::value args;
    bool has_args = false;
    std::string request_id_json, workbook_json, source_json;
    std::shared_ptr<GridletDebugger> debugger;
};

struct ErrorLocation {
    std::string module, file;
    int line = 0;
};

// The workbook module and line an error happened at: the innermost "<virtual:NAME>" frame of the
// traceback text, else the first in-memory module named in a frame's file path.
ErrorLocation parse_error_location(const std::string& traceback, const std::vector<std::string>& modules) {
    static const std::regex virtual_frame(R"(File ["']<virtual:(\w+)>["'], line (\d+))");
    ErrorLocation loc;
    for (auto it = std::sregex_iterator(traceback.begin(), traceback.end(), virtual_frame);
         it != std::sregex_iterator(); ++it) {
        loc.module = (*it)[1];
        loc.line = std::stoi((*it)[2]);
    }
    if (!loc.module.empty()) {
        loc.file = "<virtual:" + loc.module + ">";
        return loc;
    }
    for (const auto& name : modules) {
        std::string escaped;
        for (char c : name) {
            if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) escaped += '\\';
            escaped += c;
        }
        std::smatch m;
        if (std::regex_search(traceback, m, std::regex("File [\"'][^\"']*" + escaped + "[^\"']*[\"'], line (\\d+)"))) {
            return {name, "<virtual:" + name + ">", std::stoi(m[1])};
        }
    }
    return loc;
}

std::vector<std::string> module_names(const GilHeld& gil, Kernel& kernel) {
    std::vector<std::string> names;
    PyObject* cache = kernel.loader().source_cache(gil);
    PyRef keys = PyRef::steal(cache ? PyMapping_Keys(cache) : nullptr);
    for (Py_ssize_t i = 0; keys && i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);  // borrowed
        if (PyUnicode_Check(key)) names.push_back(py_json::utf8_of(gil, key));
    }
    py_error::clear_logged(gil, "debugger: module names");
    return names;
}

void post(Kernel& kernel, const GilHeld& gil, const std::string& msg, const char* type, const DebugRun& r) {
    kernel.post_from_worker(gil, msg, {type, r.request_id_json});
}

std::string result_output(const DebugRun& r, const std::string& content) {
    std::string msg = "{\"type\":\"result_output\",\"content\":";
    json_text::append_string(msg, content);
    msg += ",\"request_id\":" + r.request_id_json + ",\"workbook_id\":" + r.workbook_json +
           ",\"source\":" + r.source_json + "}";
    return msg;
}

std::string terminated(const DebugRun& r) {
    return "{\"type\":\"debug_terminated\",\"request_id\":" + r.request_id_json +
           ",\"workbook_id\":" + r.workbook_json + "}";
}

// The exception report: where it happened and what the innermost frame held.
bool send_debug_exception(const GilHeld& gil, Kernel& kernel, const DebugRun& r, PyObject* exc,
                          const std::vector<std::string>& modules) {
    ErrorRecord e = error_record(gil, exc);
    GLOG_ERROR("[Kernel] Debug execution error: {}", e.message);
    GLOG_ERROR("[Kernel] Traceback: {}", e.traceback);
    ErrorLocation loc = parse_error_location(e.traceback, modules);
    GLOG_INFO("[Kernel] Parsed error location: {}",
              loc.module.empty() ? "{}" : loc.module + ":" + std::to_string(loc.line));
    GLOG_INFO("[Kernel] Sending debug_exception message...");
    PyRef innermost_ref = PyRef::steal(reinterpret_cast<PyObject*>(innermost_frame(gil, exc)));
    auto* innermost = reinterpret_cast<PyFrameObject*>(innermost_ref.get());
    std::string msg;
    json_text::ObjectWriter w(msg);
    w.str("type", "debug_exception")
        .raw("workbook_id", r.workbook_json)
        .str("module", loc.module.empty() ? r.module_name : loc.module)
        .integer("line", loc.line ? loc.line : 1)
        .str("file", loc.file)
        .str("exception_type", e.type)
        .str("exception_message", e.message)
        .str("exception_traceback", e.traceback);
    if (innermost) {
        PyRef locals = PyRef::steal(PyFrame_GetLocals(innermost));
        PyRef globals = PyRef::steal(PyFrame_GetGlobals(innermost));
        w.key("locals");
        append_variables(gil, locals.get(), msg, false);
        w.key("globals");
        append_variables(gil, globals.get(), msg, true);
        w.key("call_stack");
        append_call_stack(gil, innermost, msg);
    } else {
        w.raw("locals", "[]").raw("globals", "[]").raw("call_stack", "[]");
    }
    w.close();
    py_error::clear_logged(gil, "debugger: exception report");
    auto seq = kernel.post_from_worker(gil, msg, {"debug_exception", r.request_id_json});
    bool sent;
    {
        GilRelease released(gil);
        sent = seq && kernel.outbox().wait_written(seq, std::chrono::duration<double>(DEBUG_MESSAGE_SEND_TIMEOUT));
    }
    if (sent) GLOG_INFO("[Kernel] debug_exception message sent successfully");
    else GLOG_ERROR("[Kernel] Failed to send debug_exception: not written within {}s", DEBUG_MESSAGE_SEND_TIMEOUT);
    return sent;
}

// Runs the function under the debugger and reports its result; returns the exception it raised
// (a new reference), or null when it ended normally.
PyRef run_traced(const GilHeld& gil, Kernel& kernel, const DebugRun& r) {
    GridletDebugger& dbg = *r.debugger;
    PyRef module =
        PyRef::steal(invocation::import_module(gil, r.module_name, "Module '" + r.module_name + "' not found"));
    if (!module) return PyRef::steal(fetch_exception(gil));
    PyRef func = PyRef::steal(invocation::find_function(gil, module.get(), r.module_name, r.function_name));
    if (!func) return PyRef::steal(fetch_exception(gil));
    PyRef args = PyRef::steal(invocation::deserialize_args(gil, kernel.bridge_module(), r.has_args ? &r.args : nullptr));
    if (!args) return PyRef::steal(fetch_exception(gil));
    PyRef tuple = PyRef::steal(PyList_AsTuple(args.get()));
    if (!tuple) return PyRef::steal(fetch_exception(gil));
    PyRef result = PyRef::steal(dbg.runcall(gil, [&] { return PyObject_Call(func.get(), tuple.get(), nullptr); }));
    if (!result) return PyRef::steal(fetch_exception(gil));
    if (PyGen_Check(result.get()) && !dbg.stopped()) {
        // The generator's body runs under a second traced call that iterates it to the end.
        long count = 0;
        result = PyRef::steal(dbg.runcall(gil, [&]() -> PyObject* {
            PyRef gen = PyRef::steal(PyObject_Call(func.get(), tuple.get(), nullptr));
            if (!gen) return nullptr;
            while (PyRef item = PyRef::steal(PyIter_Next(gen.get()))) {
                ++count;
                std::string line = "Yield [" + std::to_string(count) + "]: " + repr_of(gil, item.get()) + "\n";
                post(kernel, gil, result_output(r, line), "result_output", r);
            }
            if (PyErr_Occurred()) return nullptr;
            Py_RETURN_TRUE;
        }));
        if (!result) return PyRef::steal(fetch_exception(gil));
        std::string content = dbg.stopped() || count == 0
                                  ? std::string("Out: Generator stoped before ending\n")
                                  : "Out: Generator completed with " + std::to_string(count) + " yields\n";
        post(kernel, gil, result_output(r, content), "result_output", r);
    } else if (!dbg.stopped()) {
        post(kernel, gil, result_output(r, "Out: " + repr_of(gil, result.get()) + "\n"), "result_output", r);
    }
    GLOG_INFO("[Kernel] Debug execution completed successfully, sending debug_terminated");
    post(kernel, gil, terminated(r), "debug_terminated", r);
    return {};
}

void run_on_worker(const GilHeld& gil, Kernel& kernel, const DebugRun& r) {
    GridletDebugger& dbg = *r.debugger;
    std::vector<std::string> modules = module_names(gil, kernel);
    dbg.set_in_memory_modules(modules);
    RunOutput run(kernel.replies(),
                  ",\"request_id\":" + r.request_id_json + ",\"workbook_id\":" + r.workbook_json +
                      ",\"source\":" + r.source_json + "}",
                  false, r.request_id_json);
    PyRef exc;
    {
        ActiveRun active(gil, kernel.runs(), r.request_id_json, false, [&dbg] { dbg.wake_for_interrupt(); });
        RunScope scope(gil, run);
        exc = run_traced(gil, kernel, r);
    }
    if (!exc) return;
    if (send_debug_exception(gil, kernel, r, exc.get(), modules)) {
        GLOG_INFO("[Kernel] Debug exception already sent, sending debug_terminated");
        post(kernel, gil, terminated(r), "debug_terminated", r);
    } else {
        ErrorRecord e = error_record(gil, exc.get());
        std::string msg = "{\"type\":\"execution_error\",\"success\":false,\"error\":{\"status\":\"error\",\"type\":";
        json_text::append_string(msg, e.type);
        msg += ",\"message\":";
        json_text::append_string(msg, e.message);
        msg += ",\"traceback\":";
        json_text::append_string(msg, e.traceback);
        msg += ",\"debug_exception_sent\":false},\"request_id\":" + r.request_id_json +
               ",\"workbook_id\":" + r.workbook_json + ",\"source\":" + r.source_json + "}";
        GLOG_ERROR("[Kernel] Debug execution failed: {}", e.message);
        post(kernel, gil, msg, "execution_error", r);
    }
}

}  // namespace

void start_debug_run(Kernel& kernel, boost::json::object&& m) {
    DebugRun r;
    r.request_id_json = fields::echo(m, "request_id");
    r.workbook_json = fields::echo_or(m, "workbook_id", "\"\"");
    r.source_json = fields::echo_or(m, "source", "\"ide\"");
    try {
        r.module_name = fields::text(m, "module_name", "", true).value_or("");
        r.function_name = fields::text(m, "function_name", "", true).value_or("");
    } catch (const fields::FieldError& e) {
        // The run cannot start: answered as a debug run that failed before the debugger ran.
        GLOG_ERROR("[Kernel] Error in debug execution: {}", e.what());
        std::string msg = "{\"type\":\"execution_error\",\"success\":false,\"error\":";
        append_error_record(msg, {"TypeError", e.what(), ""});
        msg += ",\"request_id\":" + r.request_id_json + ",\"workbook_id\":" + r.workbook_json +
               ",\"source\":" + r.source_json + "}";
        kernel.send_json(msg, {"execution_error", r.request_id_json});
        return;
    }
    if (auto* a = m.if_contains("args")) {
        json_move::take(r.args, *a);
        r.has_args = true;
    }
    // One debug run at a time: an active one is stopped as debug_stop would stop it, so that it
    // ends (with its own debug_terminated) instead of staying paused where nothing can reach it.
    if (stop_active_run(kernel)) GLOG_INFO("[Kernel] Stopped the active debug run before starting a new one");
    r.debugger = std::make_shared<GridletDebugger>(kernel, r.workbook_json, r.request_id_json, r.source_json);
    const auto* bps = m.if_contains("breakpoints");
    r.debugger->set_breakpoints(bps && bps->is_array() ? bps->get_array() : boost::json::array{});
    kernel.set_debugger(r.debugger);
    kernel.pool().submit([&kernel, r = std::move(r)](const GilHeld& gil) {
        run_on_worker(gil, kernel, r);
        // Back on the listener: the slot is freed unless a newer run took it.
        const DebugSession* done = r.debugger.get();
        boost::asio::post(kernel.io(), [&kernel, keep = r.debugger, done] {
            kernel.clear_debugger(done);
            GLOG_DEBUG("[Kernel] Debugger instance cleaned up");
        });
    });
}

}  // namespace gridlet::debugging
