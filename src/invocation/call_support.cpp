#include "invocation/call_support.hpp"

#include <cmath>
#include <cstring>

#include "execution/tracebacks.hpp"
#include "invocation/fast_repr.hpp"
#include "invocation/wire_args.hpp"
#include "invocation/wire_json.hpp"
#include "kernel/kernel.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "modules/import_graph.hpp"
#include "util/memory_release.hpp"
#include "util/log.hpp"

namespace gridlet::invocation {
namespace {

// gridlet.Serializer's conversions, looked up once and reused while neither the bridge's
// Serializer nor its class attributes change (the type's version tag tells).
struct WireMethods {
    PyObject* serializer = nullptr;
    unsigned int version = 0;
    PyObject* from_wire = nullptr;
    PyObject* to_wire = nullptr;
    bool from_default = false;  // the stock conversion: JSON scalars are their own wire form
    bool to_default = false;
};

bool marked_default(PyObject* method) {
    static PyObject* marker = PyUnicode_InternFromString("_gridlet_default");
    PyObject* func = PyObject_GetAttrString(method, "__func__");
    if (!func) {
        PyErr_Clear();
        func = Py_NewRef(method);
    }
    PyObject* flag = PyObject_GetAttr(func, marker);
    Py_DECREF(func);
    if (!flag) {
        PyErr_Clear();
        return false;
    }
    bool yes = flag == Py_True;
    Py_DECREF(flag);
    return yes;
}

const WireMethods* wire_methods(Kernel& kernel) {
    static WireMethods cache;
    static PyObject* name = PyUnicode_InternFromString("Serializer");
    PyObject* serializer = PyObject_GetAttr(kernel.bridge_module(), name);
    if (!serializer) return nullptr;
    const bool is_type = PyType_Check(serializer);
    auto* type = reinterpret_cast<PyTypeObject*>(serializer);
    if (serializer == cache.serializer && is_type && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
        type->tp_version_tag == cache.version) {
        Py_DECREF(serializer);
        return &cache;
    }
    PyObject* from_wire = PyObject_GetAttrString(serializer, "from_wire");
    PyObject* to_wire = from_wire ? PyObject_GetAttrString(serializer, "to_wire") : nullptr;
    if (!to_wire) {
        Py_XDECREF(from_wire);
        Py_DECREF(serializer);
        return nullptr;
    }
    Py_XDECREF(cache.serializer);
    Py_XDECREF(cache.from_wire);
    Py_XDECREF(cache.to_wire);
    cache.serializer = serializer;  // keeps the reference
    cache.from_wire = from_wire;
    cache.to_wire = to_wire;
    cache.from_default = marked_default(from_wire);
    cache.to_default = marked_default(to_wire);
    cache.version = is_type && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
    if (!is_type) cache.serializer = nullptr, Py_DECREF(serializer);  // objects other than classes: no caching
    return &cache;
}

// JSON scalars are their own wire form under the bridge's own Serializer: skip the Python call.
bool is_plain_scalar(PyObject* v) {
    return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyUnicode_CheckExact(v);
}

// Raises the TypeError of an argument list that is not a list from a small function of the
// kernel's own, so that the error carries a real traceback. Its source is put in linecache, so
// the traceback shows the raising line.
void raise_args_type_error(const GilHeld& gil, const boost::json::value& args) {
    static const char* kFile = "<gridlet-kernel>";
    static const char* kSource =
        "def _deserialize_args(args):\n"
        "    raise TypeError(f\"args must be a list, not {type(args).__name__}\")\n";
    static PyObject* helper = [] {
        PyObject* globals = PyDict_New();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
        PyObject* code = Py_CompileString(kSource, kFile, Py_file_input);
        PyObject* r = code ? PyEval_EvalCode(code, globals, globals) : nullptr;
        Py_XDECREF(r);
        Py_XDECREF(code);
        PyObject* f = PyDict_GetItemString(globals, "_deserialize_args");
        Py_XINCREF(f);
        Py_DECREF(globals);
        PyErr_Clear();
        return f;
    }();
    if (!helper) {
        PyErr_Format(PyExc_TypeError, "args must be a list, not %s", std::string(fields::python_type_name(args)).c_str());
        return;
    }
    if (PyObject* linecache = PyImport_ImportModule("linecache")) {
        PyObject* cache = PyObject_GetAttrString(linecache, "cache");
        PyObject* text = PyUnicode_FromString(kSource);
        PyObject* lines = text ? PyUnicode_Splitlines(text, 1) : nullptr;
        PyObject* entry = lines ? Py_BuildValue("(nOOs)", Py_ssize_t(std::strlen(kSource)), Py_None, lines, kFile) : nullptr;
        Py_XDECREF(lines);
        Py_XDECREF(text);
        if (cache && entry && PyDict_Check(cache)) PyDict_SetItemString(cache, kFile, entry);
        Py_XDECREF(entry);
        Py_XDECREF(cache);
        Py_DECREF(linecache);
    }
    PyErr_Clear();
    PyObject* value = py_json::to_python(gil, args);
    PyObject* r = value ? PyObject_CallOneArg(helper, value) : nullptr;
    Py_XDECREF(value);
    Py_XDECREF(r);
}

}  // namespace

PyObject* import_module(const GilHeld& gil, const std::string& name, const std::string& missing_text) {
    import_graph::settle(gil);
    PyObject* key = py_json::str_of(gil, name);
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

PyObject* find_function(const GilHeld& gil, PyObject* module, const std::string& module_name,
                        const std::string& function) {
    PyObject* attr = py_json::str_of(gil, function);
    PyObject* f = attr ? PyObject_GetAttr(module, attr) : nullptr;
    Py_XDECREF(attr);
    if (f) return f;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        std::string text = "Function '" + function + "' not found in module '" + module_name + "'";
        if (PyObject* message = py_json::str_of(gil, text)) {
            PyErr_SetObject(PyExc_AttributeError, message);
            Py_DECREF(message);
        }
    }
    return nullptr;
}

PyObject* deserialize_args(const GilHeld& gil, Kernel& kernel, const boost::json::value* args) {
    if (!args) return PyList_New(0);
    if (!args->is_array()) {
        raise_args_type_error(gil, *args);
        return nullptr;
    }
    const auto& a = args->get_array();
    PyObject* out = PyList_New(0);
    if (a.empty()) return out;
    const WireMethods* wire = wire_methods(kernel);
    if (!wire) {
        Py_DECREF(out);
        return nullptr;
    }
    PyObject* from_wire = Py_NewRef(wire->from_wire);
    const bool fast = wire->from_default;
    for (const auto& element : a) {
        if (fast && (element.is_array() || element.is_object())) {
            // Containers in one C++ conversion; the Python path only where it gives up.
            if (PyObject* value = wire_args::from_json(gil, element, from_wire)) {
                const bool appended = PyList_Append(out, value) == 0;
                Py_DECREF(value);
                if (appended) continue;
                Py_DECREF(out);
                Py_DECREF(from_wire);
                return nullptr;
            }
        }
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
    const WireMethods* wire = wire_methods(kernel);
    if (!wire) return nullptr;
    if (wire->to_default && is_plain_scalar(value) && !(PyFloat_CheckExact(value) && std::isnan(PyFloat_AS_DOUBLE(value))))
        return Py_NewRef(value);
    PyObject* fn = Py_NewRef(wire->to_wire);
    PyObject* r = PyObject_CallOneArg(fn, value);
    Py_DECREF(fn);
    return r;
}

bool encode_value(const GilHeld& gil, Kernel& kernel, PyObject* value, EncodedResult& out) {
    const WireMethods* wire = wire_methods(kernel);
    if (!wire) return false;
    if (wire->to_default && wire_json::applies(gil, value)) {
        PyObject* fn = Py_NewRef(wire->to_wire);
        const std::size_t expected = wire_json::estimate(gil, value);
        memory_release::reserve_large(out.json, expected);
        if (!wire_json::has_own_repr(value)) memory_release::reserve_large(out.repr, expected + expected / 4);
        const bool written = wire_json::append(gil, value, fn, out.json);
        Py_DECREF(fn);
        if (written) {
            out.has_value = true;  // containers, arrays and frames are never None on the wire
            if (fast_repr::append(gil, value, out.repr)) return true;
            out = EncodedResult{};
            return false;
        }
        out.json.clear();  // the Python path makes the result or the error
    }
    PyObject* w = to_wire(gil, kernel, value);
    const bool ok = w && encode_result(gil, w, value, out);
    Py_XDECREF(w);
    return ok;
}

bool encode_result(const GilHeld& gil, PyObject* wire, PyObject* value, EncodedResult& out) {
    try {
        py_json::append(gil, wire, out.json);
    } catch (const py_json::EncodeError& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
        return false;
    }
    out.has_value = wire != Py_None;
    if (!out.has_value) return true;
    return fast_repr::append(gil, value, out.repr);
}

std::string logs_json(RunOutput& run, const char* log_title) {
    std::string logs = run.logs();
    if (!logs.empty()) GLOG_INFO("[Kernel] {}:\n{}", log_title, logs);
    std::string out;
    json_text::append_string(out, logs);
    return out;
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
