#include "kernel/py_error.hpp"

#include <string>

#include "kernel/py_ref.hpp"
#include "util/log.hpp"

namespace gridlet::py_error {
namespace {

// "Type: message" of an exception object; never leaves an error set.
std::string describe(PyObject* exc) {
    std::string out = exc ? Py_TYPE(exc)->tp_name : "<no exception>";
    if (!exc) return out;
    PyRef text = PyRef::steal(PyObject_Str(exc));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();  // the message itself failed to render: the type alone is logged
        return out;
    }
    if (*utf8) out.append(": ").append(utf8);
    return out;
}

}  // namespace

void clear_logged(const GilHeld&, const char* context, Level level) {
    if (!PyErr_Occurred()) return;
    const bool wanted = level == Level::warning || log::debug_enabled();
    if (!wanted) {
        PyErr_Clear();
        return;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t = PyRef::steal(type), v = PyRef::steal(value), b = PyRef::steal(tb);
    const std::string what = describe(v ? v.get() : t.get());
    if (level == Level::warning) GLOG_WARN("{}: {}", context, what);
    else GLOG_DEBUG("{}: {}", context, what);
}

bool clear_if(const GilHeld&, PyObject* type) {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(type)) return false;
    PyErr_Clear();
    return true;
}

bool clear_expecting(const GilHeld& gil, PyObject* type, const char* context) {
    if (!PyErr_Occurred()) return false;
    if (!clear_if(gil, type)) clear_logged(gil, context);
    return true;
}

}  // namespace gridlet::py_error
