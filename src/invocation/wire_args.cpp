#include "invocation/wire_args.hpp"

#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/json_bigint.hpp"
#include "messaging/py_json.hpp"

namespace gridlet::wire_args {
namespace {

// Deeper arguments take the Python path (where from_wire's own recursion limit applies).
constexpr int kMaxDepth = 200;

PyObject* convert(const GilHeld& gil, const boost::json::value& v, PyObject* from_wire, int depth) {
    if ((v.is_array() || v.is_object()) && depth >= kMaxDepth) return nullptr;
    if (v.is_array()) {
        const auto& a = v.get_array();
        PyRef list = PyRef::steal(PyList_New(Py_ssize_t(a.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < a.size(); ++i) {
            PyObject* item = convert(gil, a[i], from_wire, depth + 1);
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);  // steals item
        }
        return list.release();
    }
    if (!v.is_object() || json_bigint::digits(v)) return py_json::to_python(gil, v);
    const auto& o = v.get_object();
    if (o.contains("__gridlet__")) {
        // Tagged values (and whatever else carries the tag) take the Python conversion as a whole.
        const PyRef raw = PyRef::steal(py_json::to_python(gil, v));
        return raw ? PyObject_CallOneArg(from_wire, raw.get()) : nullptr;
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& kv : o) {
        const PyRef key = PyRef::steal(py_json::str_of(gil, kv.key()));
        if (!key) return nullptr;
        const PyRef val = PyRef::steal(convert(gil, kv.value(), from_wire, depth + 1));
        if (!val || PyDict_SetItem(dict.get(), key.get(), val.get()) < 0) return nullptr;
    }
    return dict.release();
}

}  // namespace

PyObject* from_json(const GilHeld& gil, const boost::json::value& v, PyObject* from_wire) {
    PyObject* r = convert(gil, v, from_wire, 0);
    // The Python path then makes its own result or raises the same error for the user.
    if (!r) py_error::clear_logged(gil, "wire arguments (the Python path takes over)");
    return r;
}

}  // namespace gridlet::wire_args
