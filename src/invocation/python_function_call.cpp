// python_function_call: a callable registered with the bridge module, called by its identifier.
#include <boost/json.hpp>

#include "execution/active_runs.hpp"
#include "execution/error_json.hpp"
#include "execution/tracebacks.hpp"
#include "invocation/call_support.hpp"
#include "invocation/invocation.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "kernel/replies.hpp"
#include "kernel/worker_pool.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_move.hpp"
#include "messaging/py_json.hpp"
#include "messaging/reply_builders.hpp"
#include "modules/import_graph.hpp"
#include "modules/module_loader.hpp"
#include "util/log.hpp"

namespace gridlet::invocation {
namespace {

struct CallableCall {
    CallIds ids;
    std::string callable_id;
    boost::json::value args;
    bool has_args = false;
};

constexpr unsigned kEcho = reply::Echo::request_id | reply::Echo::workbook_id;

void send_refusal(Replies& replies, const CallableCall& c, const ErrorRecord& e) {
    replies.send(reply::python_function_failed(reply::error_json(e), {}, c.ids),
                 {"python_function_result", c.ids.request_id});
}

PyObject* registered(const GilHeld&, PyObject* bridge, const std::string& id) {
    PyRef messaging = PyRef::steal(PyObject_GetAttrString(bridge, "messaging"));
    return messaging ? PyObject_CallMethod(messaging.get(), "get_callable", "s", id.c_str()) : nullptr;
}

// The function `func` is or is bound from, when a workbook module defined it: its globals are
// that module's namespace. Borrowed, or nullptr.
PyObject* workbook_globals(const GilHeld&, const ModuleLoader& loader, PyObject* func) {
    PyObject* f = PyMethod_Check(func) ? PyMethod_GET_FUNCTION(func) : func;
    if (!PyFunction_Check(f)) return nullptr;
    PyObject* globals = PyFunction_GET_GLOBALS(f);
    PyObject* module_loader = PyDict_GetItemString(globals, "__loader__");
    return module_loader == loader.instance() ? globals : nullptr;
}

// `module`'s attribute path `qualname` ("f", "Class.method") when it leads to a function that the
// module itself defines; nullptr otherwise (nested functions and lambdas have no such path).
PyRef same_function_in(const GilHeld&, PyObject* module, PyObject* qualname) {
    if (!PyUnicode_Check(qualname) || PyUnicode_FindChar(qualname, '<', 0, PyUnicode_GET_LENGTH(qualname), 1) >= 0)
        return {};
    PyRef dot = PyRef::steal(PyUnicode_FromString("."));
    PyRef parts = PyRef::steal(dot ? PyUnicode_Split(qualname, dot.get(), -1) : nullptr);
    if (!parts) return {};
    PyRef obj = PyRef::borrow(module);
    for (Py_ssize_t i = 0; obj && i < PyList_GET_SIZE(parts.get()); ++i)
        obj = PyRef::steal(PyObject_GetAttr(obj.get(), PyList_GET_ITEM(parts.get(), i)));
    if (obj && PyFunction_Check(obj.get()) && PyModule_Check(module) &&
        PyFunction_GET_GLOBALS(obj.get()) == PyModule_GetDict(module))
        return obj;
    return {};
}

// A callable that a workbook module defined runs that module's current code. When the module is no
// longer the one in sys.modules (its source, or that of a workbook module it imports, was updated),
// it is imported again first; its top-level code normally registers its callables again under the
// same ids, replacing `func`. If it does not register this id again, the function of the same
// qualified name in the new module takes the id over. Callables of other code, bound methods of
// old instances and nested functions are called as they are. Null with the error set when the
// module cannot be imported again.
PyRef current_callable(const GilHeld& gil, HandlerContext ctx, const std::string& id, PyRef func) {
    PyObject* globals = workbook_globals(gil, *ctx.loader, func.get());
    PyObject* name = globals ? PyDict_GetItemString(globals, "__name__") : nullptr;
    if (!name || !PyUnicode_Check(name)) return func;
    import_graph::settle(gil);
    PyRef current = PyRef::steal(PyImport_GetModule(name));
    const bool fresh = current && PyModule_Check(current.get()) && PyModule_GetDict(current.get()) == globals;
    if (!current) py_error::clear_logged(gil, "[Kernel] Looking up a callable's module in sys.modules");
    if (fresh) return func;
    const std::string module_name = py_json::utf8_of(gil, name);
    GLOG_DEBUG("[Kernel] Callable {} belongs to module '{}', which changed; importing it again", id, module_name);
    PyRef module =
        PyRef::steal(import_module(gil, module_name, "Module '" + module_name + "' not found in sys.modules"));
    if (!module) return {};
    PyRef again = PyRef::steal(registered(gil, ctx.bridge, id));
    if (!again) return {};
    if (again.get() != func.get() && again.get() != Py_None) return again;
    PyRef replacement;
    if (PyFunction_Check(func.get())) {
        PyRef qualname = PyRef::steal(PyObject_GetAttrString(func.get(), "__qualname__"));
        if (qualname) replacement = same_function_in(gil, module.get(), qualname.get());
        if (PyErr_Occurred()) py_error::clear_logged(gil, "[Kernel] Finding a callable in its updated module");
    }
    if (!replacement) return func;
    PyRef messaging = PyRef::steal(PyObject_GetAttrString(ctx.bridge, "messaging"));
    if (!messaging ||
        !drop(PyObject_CallMethod(messaging.get(), "register_callable", "Os", replacement.get(), id.c_str())))
        py_error::clear_logged(gil, "[Kernel] Registering a callable's updated function", py_error::Level::warning);
    return replacement;
}

PyRef lookup_callable(const GilHeld& gil, HandlerContext ctx, const std::string& id) {
    PyRef func = PyRef::steal(registered(gil, ctx.bridge, id));
    if (func && func.get() != Py_None) func = current_callable(gil, ctx, id, std::move(func));
    if (!func) return {};
    if (func.get() == Py_None) {
        PyErr_Format(PyExc_ValueError, "Callable '%s' not found in registry", id.c_str());
        return {};
    }
    if (!PyCallable_Check(func.get())) {
        PyErr_Format(PyExc_TypeError, "Object with id '%s' is not callable", id.c_str());
        return {};
    }
    return func;
}

void run_on_worker(const GilHeld& gil, HandlerContext ctx, const CallableCall& c) {
    GLOG_DEBUG("[Kernel] [Worker Thread {}] Executing callable: {}", WorkerPool::current_thread_name(), c.callable_id);
    RunOutput run(ctx.replies, reply::echo_tail(c.ids, reply::Echo::run), true, c.ids.request_id);
    std::string error_text;
    EncodedResult result;
    {
        ActiveRun active(gil, ctx.runs, c.ids.request_id);
        RunScope scope(gil, run);
        PyRef func = lookup_callable(gil, ctx, c.callable_id);
        PyRef args = PyRef::steal(func ? deserialize_args(gil, ctx.bridge, c.has_args ? &c.args : nullptr) : nullptr);
        if (!args) {
            // Lookup and conversion failures print no traceback into the capture.
            PyRef exc = PyRef::steal(fetch_exception(gil));
            error_text = exc ? extract_traceback_string(gil, exc.get()) : "Unknown error";
        } else {
            PyRef tuple = PyRef::steal(PyList_AsTuple(args.get()));
            PyRef value = PyRef::steal(tuple ? PyObject_Call(func.get(), tuple.get(), nullptr) : nullptr);
            if (!value || !encode_value(gil, ctx.bridge, value.get(), result)) error_text = report_exception(gil, &run);
        }
    }
    const std::string logs = logs_json(run, "Callable logs");
    if (error_text.empty()) {
        reply::ResultOutput out;
        if (result.has_value) out = result.result_output(c.ids, kEcho);
        const reply::Framed framed = result.frame(reply::python_function_result(logs, c.ids));
        ctx.replies.post_all(gil, {{result.has_value ? out.text() : MessageText(), {"result_output", c.ids.request_id}},
                                   {framed.around(result.json_body()), {"python_function_result", c.ids.request_id}}});
        GLOG_INFO("[Kernel] Python function call succeeded: callable_id={}", c.callable_id);
        return;
    }
    ctx.replies.post(gil, reply::python_function_failed(reply::text_json(error_text), logs, c.ids),
                     {"python_function_result", c.ids.request_id});
    GLOG_ERROR("[Kernel] Python function call failed: callable_id={}", c.callable_id);
}

}  // namespace

void start_python_function_call(HandlerContext ctx, boost::json::object&& message) {
    CallableCall c;
    c.ids.request_id = fields::echo(message, "request_id");
    c.ids.workbook_id = fields::echo(message, "workbook_id");
    c.ids.source = "\"addin\"";
    GLOG_INFO("[Kernel] Received python_function_call: callable_id={} (request_id={})",
              fields::display(message, "callable_id", ""), fields::display(message, "request_id"));
    try {
        c.callable_id = fields::text(message, "callable_id", "", true).value_or("");
    } catch (const fields::FieldError& e) {
        send_refusal(ctx.replies, c, {"TypeError", e.what(), ""});
        return;
    }
    if (c.callable_id.empty()) {
        send_refusal(ctx.replies, c, {"ValidationError", "Missing callable_id", ""});
        return;
    }
    if (auto* a = message.if_contains("args")) {
        json_move::take(c.args, *a);
        c.has_args = true;
    }
    GLOG_DEBUG("[Kernel] [Async Task] Dispatching python_function_call to worker: callable_id={}", c.callable_id);
    ctx.pool.submit([ctx, c = std::move(c)](const GilHeld& gil) { run_on_worker(gil, ctx, c); });
}

}  // namespace gridlet::invocation
