#include "invocation/wire_args.hpp"

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
        PyObject* list = PyList_New(Py_ssize_t(a.size()));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < a.size(); ++i) {
            PyObject* item = convert(gil, a[i], from_wire, depth + 1);
            if (!item) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, Py_ssize_t(i), item);
        }
        return list;
    }
    if (!v.is_object() || json_bigint::digits(v)) return py_json::to_python(gil, v);
    const auto& o = v.get_object();
    if (o.contains("__gridlet__")) {
        // Tagged values (and whatever else carries the tag) take the Python conversion as a whole.
        PyObject* raw = py_json::to_python(gil, v);
        PyObject* r = raw ? PyObject_CallOneArg(from_wire, raw) : nullptr;
        Py_XDECREF(raw);
        return r;
    }
    PyObject* dict = PyDict_New();
    if (!dict) return nullptr;
    for (const auto& kv : o) {
        PyObject* key = py_json::str_of(gil, kv.key());
        PyObject* val = key ? convert(gil, kv.value(), from_wire, depth + 1) : nullptr;
        if (!val || PyDict_SetItem(dict, key, val) < 0) {
            Py_XDECREF(key);
            Py_XDECREF(val);
            Py_DECREF(dict);
            return nullptr;
        }
        Py_DECREF(key);
        Py_DECREF(val);
    }
    return dict;
}

}  // namespace

PyObject* from_json(const GilHeld& gil, const boost::json::value& v, PyObject* from_wire) {
    PyObject* r = convert(gil, v, from_wire, 0);
    if (!r) PyErr_Clear();
    return r;
}

}  // namespace gridlet::wire_args
