#include "execution/tracebacks.hpp"

#include "messaging/py_json.hpp"

namespace gridlet {
namespace {

PyObject* traceback_module() {
    static PyObject* module = nullptr;
    if (!module) {
        module = PyImport_ImportModule("traceback");
        if (!module) PyErr_Print();
    }
    return module;
}

}  // namespace

PyObject* fetch_exception(const GilHeld&) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (!value) Py_RETURN_NONE;
    return value;
}

std::string extract_traceback_string(const GilHeld& gil, PyObject* exc) {
    PyObject* module = traceback_module();
    if (!module) {
        PyErr_Clear();
        return str_of(gil, exc);
    }
    PyObject* lines = PyObject_CallMethod(module, "format_exception", "O", exc);
    if (!lines) {
        PyErr_Clear();
        return Py_TYPE(exc)->tp_name + std::string(": ") + str_of(gil, exc) + "\n";
    }
    PyObject* empty = PyUnicode_FromString("");
    PyObject* joined = PyUnicode_Join(empty, lines);
    Py_DECREF(empty);
    Py_DECREF(lines);
    if (!joined) {
        PyErr_Clear();
        return {};
    }
    std::string text = py_json::utf8_of(gil, joined);
    Py_DECREF(joined);
    return text;
}

ErrorRecord error_record(const GilHeld& gil, PyObject* exc) {
    ErrorRecord rec;
    rec.type = PyExceptionInstance_Check(exc) ? reinterpret_cast<PyTypeObject*>(PyExceptionInstance_Class(exc))->tp_name
                                              : Py_TYPE(exc)->tp_name;
    // tp_name of a heap type is the bare class name; of a static type it may be dotted.
    if (auto dot = rec.type.rfind('.'); dot != std::string::npos) rec.type = rec.type.substr(dot + 1);
    rec.message = str_of(gil, exc);
    rec.traceback = extract_traceback_string(gil, exc);
    return rec;
}

ErrorRecord error_record_from_pending(const GilHeld& gil) {
    PyObject* exc = fetch_exception(gil);
    if (!exc) return {"RuntimeError", "unknown error", ""};
    ErrorRecord rec = error_record(gil, exc);
    Py_DECREF(exc);
    return rec;
}

PyFrameObject* innermost_frame(const GilHeld&, PyObject* exc) {
    PyObject* tb = PyException_GetTraceback(exc);
    PyObject* frame = nullptr;
    for (PyObject* t = tb; t && t != Py_None;) {
        PyObject* next = PyObject_GetAttrString(t, "tb_next");
        if (!next || next == Py_None) {
            Py_XDECREF(next);
            frame = PyObject_GetAttrString(t, "tb_frame");
            break;
        }
        Py_DECREF(next);  // still referenced through the chain held by `tb`
        t = next;
    }
    Py_XDECREF(tb);
    PyErr_Clear();
    return reinterpret_cast<PyFrameObject*>(frame);
}

std::string str_of(const GilHeld& gil, PyObject* obj) {
    PyObject* s = PyObject_Str(obj);
    if (!s) {
        PyErr_Clear();
        return "<unprintable " + std::string(Py_TYPE(obj)->tp_name) + " object>";
    }
    std::string text = py_json::utf8_of(gil, s);
    Py_DECREF(s);
    return text;
}

std::string repr_of(const GilHeld& gil, PyObject* obj) {
    PyObject* s = PyObject_Repr(obj);
    if (!s) {
        PyErr_Clear();
        return "<unrepresentable " + std::string(Py_TYPE(obj)->tp_name) + " object>";
    }
    std::string text = py_json::utf8_of(gil, s);
    Py_DECREF(s);
    return text;
}

}  // namespace gridlet
