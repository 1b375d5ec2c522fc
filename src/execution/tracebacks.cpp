#include "execution/tracebacks.hpp"

#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
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
    PyObject *t, *v, *b;
    PyErr_Fetch(&t, &v, &b);
    if (!t) return nullptr;
    PyErr_NormalizeException(&t, &v, &b);
    PyRef type = PyRef::steal(t), value = PyRef::steal(v), tb = PyRef::steal(b);
    if (tb && value) PyException_SetTraceback(value.get(), tb.get());
    if (!value) Py_RETURN_NONE;
    return value.release();
}

std::string extract_traceback_string(const GilHeld& gil, PyObject* exc) {
    PyObject* module = traceback_module();  // kept for the life of the process
    if (!module) {
        py_error::clear_logged(gil, "traceback module", py_error::Level::warning);
        return str_of(gil, exc);
    }
    PyRef lines = PyRef::steal(PyObject_CallMethod(module, "format_exception", "O", exc));
    if (!lines) {
        py_error::clear_logged(gil, "traceback.format_exception");
        return Py_TYPE(exc)->tp_name + std::string(": ") + str_of(gil, exc) + "\n";
    }
    PyRef empty = PyRef::steal(PyUnicode_FromString(""));
    PyRef joined = PyRef::steal(empty ? PyUnicode_Join(empty.get(), lines.get()) : nullptr);
    if (!joined) {
        py_error::clear_logged(gil, "joining a formatted traceback");
        return {};
    }
    return py_json::utf8_of(gil, joined.get());
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
    PyRef exc = PyRef::steal(fetch_exception(gil));
    if (!exc) return {"RuntimeError", "unknown error", ""};
    return error_record(gil, exc.get());
}

PyFrameObject* innermost_frame(const GilHeld& gil, PyObject* exc) {
    PyRef frame;
    for (PyRef t = PyRef::steal(PyException_GetTraceback(exc)); t && t.get() != Py_None;) {
        PyRef next = PyRef::steal(PyObject_GetAttrString(t.get(), "tb_next"));
        if (!next || next.get() == Py_None) {
            frame = PyRef::steal(PyObject_GetAttrString(t.get(), "tb_frame"));
            break;
        }
        t = std::move(next);
    }
    py_error::clear_logged(gil, "innermost traceback frame");
    return reinterpret_cast<PyFrameObject*>(frame.release());
}

std::string str_of(const GilHeld& gil, PyObject* obj) {
    PyRef s = PyRef::steal(PyObject_Str(obj));
    if (!s) {
        py_error::clear_logged(gil, "str() of an object");
        return "<unprintable " + std::string(Py_TYPE(obj)->tp_name) + " object>";
    }
    return py_json::utf8_of(gil, s.get());
}

std::string repr_of(const GilHeld& gil, PyObject* obj) {
    PyRef s = PyRef::steal(PyObject_Repr(obj));
    if (!s) {
        py_error::clear_logged(gil, "repr() of an object");
        return "<unrepresentable " + std::string(Py_TYPE(obj)->tp_name) + " object>";
    }
    return py_json::utf8_of(gil, s.get());
}

}  // namespace gridlet
