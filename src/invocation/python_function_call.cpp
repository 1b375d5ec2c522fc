// python_function_call: a callable registered with the bridge module, called by its identifier.
#include <boost/json.hpp>

#include "execution/active_runs.hpp"
#include "execution/error_json.hpp"
#include "invocation/call_support.hpp"
#include "invocation/invocation.hpp"
#include "kernel/kernel.hpp"
#include "messaging/fields.hpp"
#include "messaging/py_json.hpp"
#include "modules/import_graph.hpp"
#include "modules/module_loader.hpp"
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

PyObject* registered(const GilHeld&, Kernel& kernel, const std::string& id) {
    PyObject* messaging = PyObject_GetAttrString(kernel.bridge_module(), "messaging");
    PyObject* func = messaging ? PyObject_CallMethod(messaging, "get_callable", "s", id.c_str()) : nullptr;
    Py_XDECREF(messaging);
    return func;
}

// The function `func` is or is bound from, when a workbook module defined it: its globals are
// that module's namespace. Borrowed, or nullptr.
PyObject* workbook_globals(const GilHeld&, Kernel& kernel, PyObject* func) {
    PyObject* f = PyMethod_Check(func) ? PyMethod_GET_FUNCTION(func) : func;
    if (!PyFunction_Check(f)) return nullptr;
    PyObject* globals = PyFunction_GET_GLOBALS(f);
    PyObject* loader = PyDict_GetItemString(globals, "__loader__");
    return loader == kernel.loader().instance() ? globals : nullptr;
}

// `module`'s attribute path `qualname` ("f", "Class.method") when it leads to a function that the
// module itself defines; nullptr otherwise (nested functions and lambdas have no such path).
PyObject* same_function_in(const GilHeld&, PyObject* module, PyObject* qualname) {
    if (!PyUnicode_Check(qualname) || PyUnicode_FindChar(qualname, '<', 0, PyUnicode_GET_LENGTH(qualname), 1) >= 0)
        return nullptr;
    PyObject* dot = PyUnicode_FromString(".");
    PyObject* parts = dot ? PyUnicode_Split(qualname, dot, -1) : nullptr;
    Py_XDECREF(dot);
    if (!parts) return nullptr;
    PyObject* obj = Py_NewRef(module);
    for (Py_ssize_t i = 0; obj && i < PyList_GET_SIZE(parts); ++i) {
        PyObject* next = PyObject_GetAttr(obj, PyList_GET_ITEM(parts, i));
        Py_DECREF(obj);
        obj = next;
    }
    Py_DECREF(parts);
    if (obj && PyFunction_Check(obj) && PyModule_Check(module) && PyFunction_GET_GLOBALS(obj) == PyModule_GetDict(module))
        return obj;
    Py_XDECREF(obj);
    return nullptr;
}

// A callable that a workbook module defined runs that module's current code. When the module is no
// longer the one in sys.modules (its source, or that of a workbook module it imports, was updated),
// it is imported again first; its top-level code normally registers its callables again under the
// same ids, replacing `func`. If it does not register this id again, the function of the same
// qualified name in the new module takes the id over. Callables of other code, bound methods of
// old instances and nested functions are called as they are. Consumes `func`.
PyObject* current_callable(const GilHeld& gil, Kernel& kernel, const std::string& id, PyObject* func) {
    PyObject* globals = workbook_globals(gil, kernel, func);
    PyObject* name = globals ? PyDict_GetItemString(globals, "__name__") : nullptr;
    if (!name || !PyUnicode_Check(name)) return func;
    import_graph::settle(gil);
    PyObject* current = PyImport_GetModule(name);
    const bool fresh = current && PyModule_Check(current) && PyModule_GetDict(current) == globals;
    Py_XDECREF(current);
    PyErr_Clear();
    if (fresh) return func;
    const std::string module_name = py_json::utf8_of(gil, name);
    GLOG_DEBUG("[Kernel] Callable {} belongs to module '{}', which changed; importing it again", id, module_name);
    PyObject* module = import_module(gil, module_name, "Module '" + module_name + "' not found in sys.modules");
    if (!module) {
        Py_DECREF(func);
        return nullptr;
    }
    PyObject* again = registered(gil, kernel, id);
    if (!again) {
        Py_DECREF(module);
        Py_DECREF(func);
        return nullptr;
    }
    if (again != func && again != Py_None) {
        Py_DECREF(module);
        Py_DECREF(func);
        return again;
    }
    Py_DECREF(again);
    PyObject* replacement = nullptr;
    if (PyFunction_Check(func)) {
        PyObject* qualname = PyObject_GetAttrString(func, "__qualname__");
        replacement = qualname ? same_function_in(gil, module, qualname) : nullptr;
        Py_XDECREF(qualname);
        PyErr_Clear();
    }
    Py_DECREF(module);
    if (!replacement) return func;
    PyObject* messaging = PyObject_GetAttrString(kernel.bridge_module(), "messaging");
    PyObject* r = messaging ? PyObject_CallMethod(messaging, "register_callable", "Os", replacement, id.c_str()) : nullptr;
    Py_XDECREF(messaging);
    Py_XDECREF(r);
    PyErr_Clear();
    Py_DECREF(func);
    return replacement;
}

PyObject* lookup_callable(const GilHeld& gil, Kernel& kernel, const std::string& id) {
    PyObject* func = registered(gil, kernel, id);
    if (func && func != Py_None) func = current_callable(gil, kernel, id, func);
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
            PyObject* wire = value && encode_value(gil, kernel, value, result) ? Py_NewRef(Py_None) : nullptr;
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
            std::string out = "{\"type\":\"result_output\",\"content\":\"Out: ";
            json_text::append_escaped(out, result.repr);
            std::string().swap(result.repr);
            out += "\\n\"" + ids(c);
            kernel.post_from_worker(gil, out, {"result_output", c.request_id_json});
        }
        const std::string tail = ",\"logs\":" + logs + ids(c);
        kernel.post_from_worker(gil, {"{\"type\":\"python_function_result\",\"success\":true,\"result\":", result.json, tail},
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
