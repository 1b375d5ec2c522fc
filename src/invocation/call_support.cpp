#include "invocation/call_support.hpp"

#include <cmath>
#include <cstring>

#include "execution/tracebacks.hpp"
#include "invocation/fast_repr.hpp"
#include "invocation/plain_walk.hpp"
#include "invocation/wire_args.hpp"
#include "invocation/wire_json.hpp"
#include "kernel/kernel.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "modules/import_graph.hpp"
#include "util/log.hpp"
#include "util/memory_release.hpp"
#include "util/swar.hpp"

namespace gridlet::invocation {
namespace {

// gridlet.Serializer's conversions, looked up once and reused while neither the bridge's
// Serializer nor its class attributes change (the type's version tag tells).
struct WireMethods {
    PyRef serializer;  // empty when Serializer is not a class (then nothing is reused)
    unsigned int version = 0;
    PyRef from_wire;
    PyRef to_wire;
    bool from_default = false;  // the stock conversion: JSON scalars are their own wire form
    bool to_default = false;
};

bool marked_default(const GilHeld& gil, PyObject* method) {
    static PyObject* marker = PyUnicode_InternFromString("_gridlet_default");  // lives as long as the process
    PyRef func = PyRef::steal(PyObject_GetAttrString(method, "__func__"));
    if (!func) {
        py_error::clear_expecting(gil, PyExc_AttributeError, "Serializer method's __func__");
        func = PyRef::borrow(method);
    }
    const PyRef flag = PyRef::steal(PyObject_GetAttr(func.get(), marker));
    if (!flag) {
        py_error::clear_expecting(gil, PyExc_AttributeError, "Serializer method's default mark");
        return false;
    }
    return flag.get() == Py_True;
}

// The methods are replaced while Python code may run on other workers: callers take their own
// reference to the one they call.
const WireMethods* wire_methods(const GilHeld& gil, PyObject* bridge) {
    // Never destroyed: its references must not be dropped after the interpreter is gone.
    static WireMethods& cache = *new WireMethods;
    static PyObject* name = PyUnicode_InternFromString("Serializer");  // lives as long as the process
    PyRef serializer = PyRef::steal(PyObject_GetAttr(bridge, name));
    if (!serializer) return nullptr;
    const bool is_type = PyType_Check(serializer.get());
    auto* type = reinterpret_cast<PyTypeObject*>(serializer.get());
    if (serializer.get() == cache.serializer.get() && is_type &&
        PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == cache.version)
        return &cache;
    PyRef from_wire = PyRef::steal(PyObject_GetAttrString(serializer.get(), "from_wire"));
    if (!from_wire) return nullptr;
    PyRef to_wire = PyRef::steal(PyObject_GetAttrString(serializer.get(), "to_wire"));
    if (!to_wire) return nullptr;
    cache.serializer.reset();
    cache.from_wire = std::move(from_wire);
    cache.to_wire = std::move(to_wire);
    cache.from_default = marked_default(gil, cache.from_wire.get());
    cache.to_default = marked_default(gil, cache.to_wire.get());
    // Read after the lookups above, which give the type its version tag.
    cache.version = is_type && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
    if (is_type) cache.serializer = std::move(serializer);  // objects other than classes: no caching
    return &cache;
}

// JSON scalars are their own wire form under the bridge's own Serializer: skip the Python call.
bool is_plain_scalar(PyObject* v) {
    return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyUnicode_CheckExact(v);
}

// Puts the kernel's own helper source in linecache, so tracebacks through it show their lines.
void add_helper_source(const GilHeld& gil, const char* file, const char* source) {
    const PyRef linecache = PyRef::steal(PyImport_ImportModule("linecache"));
    const PyRef cache = linecache ? PyRef::steal(PyObject_GetAttrString(linecache.get(), "cache")) : PyRef();
    const PyRef text = cache ? PyRef::steal(PyUnicode_FromString(source)) : PyRef();
    const PyRef lines = text ? PyRef::steal(PyUnicode_Splitlines(text.get(), 1)) : PyRef();
    const PyRef entry =
        lines ? PyRef::steal(Py_BuildValue("(nOOs)", Py_ssize_t(std::strlen(source)), Py_None, lines.get(), file))
              : PyRef();
    if (entry && PyDict_Check(cache.get())) PyDict_SetItemString(cache.get(), file, entry.get());
    py_error::clear_logged(gil, "linecache entry of a kernel helper");
}

// Raises the TypeError of an argument list that is not a list from a small function of the
// kernel's own, so that the error carries a real traceback. Its source is put in linecache, so
// the traceback shows the raising line.
void raise_args_type_error(const GilHeld& gil, const boost::json::value& args) {
    static const char* kFile = "<gridlet-kernel>";
    static const char* kSource =
        "def _deserialize_args(args):\n"
        "    raise TypeError(f\"args must be a list, not {type(args).__name__}\")\n";
    static PyObject* helper = [&gil]() -> PyObject* {  // lives as long as the process
        PyRef globals = PyRef::steal(PyDict_New());
        if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
            py_error::clear_logged(gil, "args type error helper", py_error::Level::warning);
            return nullptr;
        }
        const PyRef code = PyRef::steal(Py_CompileString(kSource, kFile, Py_file_input));
        if (!code || !drop(PyEval_EvalCode(code.get(), globals.get(), globals.get()))) {
            py_error::clear_logged(gil, "args type error helper", py_error::Level::warning);
            return nullptr;
        }
        return PyRef::borrow(PyDict_GetItemString(globals.get(), "_deserialize_args")).release();
    }();
    if (!helper) {
        PyErr_Format(PyExc_TypeError, "args must be a list, not %s",
                     std::string(fields::python_type_name(args)).c_str());
        return;
    }
    add_helper_source(gil, kFile, kSource);
    const PyRef value = PyRef::steal(py_json::to_python(gil, args));
    if (value) drop(PyObject_CallOneArg(helper, value.get()));  // raises the TypeError
}

// Views the text of an exact str when it is printable ASCII without '"' and '\\': its JSON and its
// repr are then the text itself between quotes ('"' for JSON; for repr '\'', or '"' when the text
// has a '\''). One pass, eight bytes at a time.
bool view_plain_str(PyObject* s, EncodedResult& out) {
    if (PyUnicode_READY(s) < 0) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_IS_ASCII(s)) return false;
    const char* p = static_cast<const char*>(PyUnicode_DATA(s));
    const std::size_t n = std::size_t(PyUnicode_GET_LENGTH(s));
    std::uint64_t special = 0, single = 0;
    std::size_t i = 0;
    for (; i + 8 <= n && !special; i += 8) {
        const std::uint64_t w = swar::load(p + i);
        special = swar::has_below(w, 0x20) | swar::has_byte(w, 0x7F) | swar::has_byte(w, '"') | swar::has_byte(w, '\\');
        single |= swar::has_byte(w, '\'');
    }
    for (; i < n && !special; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        special = c < 0x20 || c == 0x7F || c == '"' || c == '\\';
        single |= c == '\'';
    }
    if (special) return false;
    out.text = PyRef::borrow(s);
    out.body = std::string_view(p, n);  // an ASCII str's data is its UTF-8 text
    out.repr_quote = single ? '"' : '\'';
    out.has_value = true;
    return true;
}

}  // namespace

reply::Framed EncodedResult::frame(reply::Framed f) const {
    if (text) {
        f.head.push_back('"');
        f.tail.insert(f.tail.begin(), '"');
    }
    return f;
}

reply::ResultOutput EncodedResult::result_output(const CallIds& ids, unsigned echo) const {
    if (!text) return reply::result_output_parts(repr, ids, echo);
    // A viewed str is printable ASCII without quotes or backslashes: only its quote may need
    // escaping in the JSON string.
    reply::ResultOutput r = reply::result_output_parts(body, ids, echo);
    const std::string_view quote = repr_quote == '"' ? std::string_view("\\\"") : std::string_view("'");
    r.frame.head += quote;
    r.frame.tail.insert(0, quote);
    return r;
}

PyObject* import_module(const GilHeld& gil, const std::string& name, const std::string& missing_text) {
    import_graph::settle(gil);
    const PyRef key = PyRef::steal(py_json::str_of(gil, name));
    if (!key) return nullptr;
    PyObject* module = PyImport_GetModule(key.get());
    if (module || PyErr_Occurred()) return module;
    if (!drop(PyImport_Import(key.get()))) return nullptr;
    module = PyImport_GetModule(key.get());
    if (!module && !PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, missing_text.c_str());
    return module;
}

PyObject* find_function(const GilHeld& gil, PyObject* module, const std::string& module_name,
                        const std::string& function) {
    const PyRef attr = PyRef::steal(py_json::str_of(gil, function));
    if (!attr) return nullptr;
    PyObject* f = PyObject_GetAttr(module, attr.get());
    if (f || !py_error::clear_if(gil, PyExc_AttributeError)) return f;
    // The user's message names the module as the request did.
    const std::string text = "Function '" + function + "' not found in module '" + module_name + "'";
    if (const PyRef message = PyRef::steal(py_json::str_of(gil, text)))
        PyErr_SetObject(PyExc_AttributeError, message.get());
    return nullptr;
}

PyObject* deserialize_args(const GilHeld& gil, PyObject* bridge, const boost::json::value* args) {
    if (!args) return PyList_New(0);
    if (!args->is_array()) {
        raise_args_type_error(gil, *args);
        return nullptr;
    }
    const auto& a = args->get_array();
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out || a.empty()) return out.release();
    const WireMethods* wire = wire_methods(gil, bridge);
    if (!wire) return nullptr;
    const PyRef from_wire = PyRef::borrow(wire->from_wire.get());
    const bool fast = wire->from_default;
    for (const auto& element : a) {
        if (fast && (element.is_array() || element.is_object())) {
            // Containers in one C++ conversion; the Python path only where it gives up.
            if (const PyRef value = PyRef::steal(wire_args::from_json(gil, element, from_wire.get()))) {
                if (PyList_Append(out.get(), value.get()) < 0) return nullptr;
                continue;
            }
        }
        PyRef value = PyRef::steal(py_json::to_python(gil, element));
        if (value && !(fast && is_plain_scalar(value.get())))
            value = PyRef::steal(PyObject_CallOneArg(from_wire.get(), value.get()));
        if (!value || PyList_Append(out.get(), value.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* to_wire(const GilHeld& gil, PyObject* bridge, PyObject* value) {
    const WireMethods* wire = wire_methods(gil, bridge);
    if (!wire) return nullptr;
    if (wire->to_default && is_plain_scalar(value) &&
        !(PyFloat_CheckExact(value) && std::isnan(PyFloat_AS_DOUBLE(value))))
        return Py_NewRef(value);
    const PyRef fn = PyRef::borrow(wire->to_wire.get());
    return PyObject_CallOneArg(fn.get(), value);
}

bool encode_value(const GilHeld& gil, PyObject* bridge, PyObject* value, EncodedResult& out) {
    const WireMethods* wire = wire_methods(gil, bridge);
    if (!wire) return false;
    if (wire->to_default && PyUnicode_CheckExact(value) && view_plain_str(value, out)) return true;
    if (wire->to_default && wire_json::applies(gil, value)) {
        const PyRef fn = PyRef::borrow(wire->to_wire.get());
        const std::size_t expected = wire_json::estimate(gil, value);
        memory_release::reserve_large(out.json, expected);
        if (!wire_json::has_own_repr(value)) memory_release::reserve_large(out.repr, expected + expected / 4);
        // Lists and tuples of numbers, str, bools and None: both texts in one walk.
        if (plain_walk::append(gil, value, out.json, out.repr)) {
            out.has_value = true;
            return true;
        }
        out.json.clear();
        out.repr.clear();
        if (wire_json::append(gil, value, fn.get(), out.json)) {
            out.has_value = true;  // containers, arrays and frames are never None on the wire
            if (fast_repr::append(gil, value, out.repr)) return true;
            out = EncodedResult{};
            return false;
        }
        out.json.clear();  // the Python path makes the result or the error
    }
    const PyRef w = PyRef::steal(to_wire(gil, bridge, value));
    return w && encode_result(gil, w.get(), value, out);
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
    const PyRef exc = PyRef::steal(fetch_exception(gil));
    if (!exc) return "Unknown error";
    std::string text = extract_traceback_string(gil, exc.get());
    if (run) run->write(gil, StreamKind::err, text);
    return text;
}

std::string json_or_null(const boost::json::value* v) { return v ? json_text::serialize(*v) : "null"; }

}  // namespace gridlet::invocation
