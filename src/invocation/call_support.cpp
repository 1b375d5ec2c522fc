#include "invocation/call_support.hpp"

#include "execution/tracebacks.hpp"
#include "kernel/kernel.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"

namespace gridlet::invocation {
namespace {

// Serializer methods, read afresh each call so a replaced Serializer is honoured.
PyObject* serializer_method(Kernel& kernel, const char* name) {
    PyObject* serializer = PyObject_GetAttrString(kernel.bridge_module(), "Serializer");
    if (!serializer) return nullptr;
    PyObject* m = PyObject_GetAttrString(serializer, name);
    Py_DECREF(serializer);
    return m;
}

// JSON scalars are their own wire form under the bridge's own Serializer: skip the Python call.
bool is_plain_scalar(PyObject* v) {
    return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyUnicode_CheckExact(v);
}

bool is_default(Kernel& kernel, PyObject* method, const char* marker) {
    PyObject* func = PyObject_GetAttrString(method, "__func__");
    if (!func) {
        PyErr_Clear();
        func = method;
        Py_INCREF(func);
    }
    PyObject* flag = PyObject_GetAttrString(func, marker);
    Py_DECREF(func);
    if (!flag) {
        PyErr_Clear();
        return false;
    }
    bool yes = flag == Py_True;
    Py_DECREF(flag);
    (void)kernel;
    return yes;
}

}  // namespace

PyObject* import_module(const GilHeld&, const std::string& name, const std::string& missing_text) {
    PyObject* key = PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
    if (!key) return nullptr;
    PyObject* module = PyImport_GetModule(key);
    if (!module && !PyErr_Occurred()) {
        PyObject* imported = PyImport_Import(key);
        if (!imported) {
            Py_DECREF(key);
            return nullptr;
        }
        Py_DECREF(imported);
        module = PyImport_GetModule(key);
        if (!module && !PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, missing_text.c_str());
    }
    Py_DECREF(key);
    return module;
}

PyObject* find_function(const GilHeld&, PyObject* module, const std::string& module_name, const std::string& function) {
    PyObject* f = PyObject_GetAttrString(module, function.c_str());
    if (f) return f;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        std::string text = "Function '" + function + "' not found in module '" + module_name + "'";
        PyErr_SetString(PyExc_AttributeError, text.c_str());
    }
    return nullptr;
}

PyObject* deserialize_args(const GilHeld& gil, Kernel& kernel, const boost::json::value* args) {
    if (!args) return PyList_New(0);
    if (!args->is_array()) {
        PyErr_Format(PyExc_TypeError, "args must be a list, not %s", boost::json::to_string(args->kind()).data());
        return nullptr;
    }
    const auto& a = args->get_array();
    PyObject* out = PyList_New(0);
    if (a.empty()) return out;
    PyObject* from_wire = serializer_method(kernel, "from_wire");
    if (!from_wire) {
        Py_DECREF(out);
        return nullptr;
    }
    const bool fast = is_default(kernel, from_wire, "_gridlet_default");
    for (const auto& element : a) {
        PyObject* raw = py_json::to_python(gil, element);
        PyObject* value = raw && !(fast && is_plain_scalar(raw)) ? PyObject_CallOneArg(from_wire, raw) : raw;
        if (value != raw) Py_XDECREF(raw);
        if (!value || PyList_Append(out, value) < 0) {
            Py_XDECREF(value);
            Py_DECREF(out);
            Py_DECREF(from_wire);
            return nullptr;
        }
        Py_DECREF(value);
    }
    Py_DECREF(from_wire);
    return out;
}

PyObject* to_wire(const GilHeld&, Kernel& kernel, PyObject* value) {
    PyObject* fn = serializer_method(kernel, "to_wire");
    if (!fn) return nullptr;
    if (is_plain_scalar(value) && is_default(kernel, fn, "_gridlet_default")) {
        Py_DECREF(fn);
        Py_INCREF(value);
        return value;
    }
    PyObject* r = PyObject_CallOneArg(fn, value);
    Py_DECREF(fn);
    return r;
}

std::string report_exception(const GilHeld& gil, RunOutput* run) {
    PyObject* exc = fetch_exception(gil);
    if (!exc) return "Unknown error";
    std::string text = extract_traceback_string(gil, exc);
    Py_DECREF(exc);
    if (run) run->write(gil, StreamKind::err, text);
    return text;
}

std::string json_or_null(const boost::json::value* v) { return v ? json_text::serialize(*v) : "null"; }

}  // namespace gridlet::invocation
