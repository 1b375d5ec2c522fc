#include "services/object_keeper.hpp"

#include <stdexcept>

#include "execution/tracebacks.hpp"
#include "kernel/kernel.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace {

std::string class_name(PyObject* obj) {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
    if (!name) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    std::string s = py_json::utf8_of(GilHeld::from_python(), name);
    Py_DECREF(name);
    return s;
}

std::string repr_or_throw(const GilHeld& gil, PyObject* obj) {
    PyObject* r = PyObject_Repr(obj);
    if (!r) throw PythonErrorSet();  // the repr's own exception reaches the caller
    std::string s = py_json::utf8_of(gil, r);
    Py_DECREF(r);
    return s;
}

}  // namespace

ObjectKeeper::ObjectKeeper(Kernel& kernel) : kernel_(kernel) {
    GilGuard gil;
    objects_ = PyDict_New();
}

void ObjectKeeper::announce(const GilHeld& gil, const char* action, PyObject* key, PyObject* obj) {
    std::string msg;
    json_text::ObjectWriter w(msg);
    w.str("type", "object_registry_update").str("action", action);
    if (key) {
        w.key("key");
        py_json::append_str(gil, key, msg);
    }
    if (obj) {
        w.str("object_type", class_name(obj));
        w.str("repr", repr_or_throw(gil, obj));
    }
    w.raw("workbook_id", kernel_.workbook_id_json());
    w.close();
    kernel_.send_json(msg, {"object_registry_update", {}});
}

void ObjectKeeper::save(const GilHeld& gil, PyObject* key, PyObject* obj) {
    if (PyUnicode_GET_LENGTH(key) == 0) throw std::invalid_argument("ObjectKeeper key must be a non-empty string");
    PyObject* previous = nullptr;
    {
        std::lock_guard lock(mutex_);
        previous = PyDict_GetItemWithError(objects_, key);
        Py_XINCREF(previous);  // released after the lock: its __del__ may run Python code
        PyDict_SetItem(objects_, key, obj);
    }
    Py_XDECREF(previous);
    announce(gil, "update", key, obj);
    GLOG_DEBUG("[Kernel] Saved object: {} (type: {})", py_json::utf8_of(gil, key), class_name(obj));
}

PyObject* ObjectKeeper::get(const GilHeld&, PyObject* key) {
    std::lock_guard lock(mutex_);
    PyObject* v = PyDict_GetItemWithError(objects_, key);
    if (!v) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    Py_INCREF(v);
    return v;
}

void ObjectKeeper::clear(const GilHeld& gil, PyObject* key) {
    PyObject* previous = nullptr;
    {
        std::lock_guard lock(mutex_);
        previous = PyDict_GetItemWithError(objects_, key);
        if (previous) {
            Py_INCREF(previous);
            PyDict_DelItem(objects_, key);
        } else {
            PyErr_Clear();
        }
    }
    Py_XDECREF(previous);
    announce(gil, "delete", key, nullptr);
    GLOG_DEBUG("[Kernel] Cleared object: {}", py_json::utf8_of(gil, key));
}

void ObjectKeeper::clear_all(const GilHeld& gil) {
    PyObject* old;
    {
        std::lock_guard lock(mutex_);
        old = objects_;
        objects_ = PyDict_New();
    }
    Py_DECREF(old);
    announce(gil, "clear_all", nullptr, nullptr);
    GLOG_DEBUG("[Kernel] Cleared all objects");
}

PyObject* ObjectKeeper::registry(const GilHeld& gil) {
    PyObject* items;
    {
        std::lock_guard lock(mutex_);
        items = PyDict_Items(objects_);  // snapshot; reprs run outside the lock
    }
    if (!items) return nullptr;
    PyObject* out = PyList_New(0);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        PyObject* pair = PyList_GET_ITEM(items, i);
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        PyObject* obj = PyTuple_GET_ITEM(pair, 1);
        PyObject* repr = PyObject_Repr(obj);
        if (!repr) {
            Py_DECREF(items);
            Py_DECREF(out);
            return nullptr;
        }
        std::string type = class_name(obj);
        PyObject* entry = Py_BuildValue("{s:O,s:s,s:N}", "key", key, "type", type.c_str(), "repr", repr);
        PyList_Append(out, entry);
        Py_DECREF(entry);
    }
    Py_DECREF(items);
    (void)gil;
    return out;
}

void ObjectKeeper::send_registry(const GilHeld& gil) {
    std::string msg;
    {
        PyObject* list = registry(gil);
        if (!list) {
            std::string err = error_record_from_pending(gil).message;
            throw std::runtime_error("get_object_registry failed: " + err);
        }
        msg = "{\"type\":\"object_registry_response\",\"objects\":";
        try {
            py_json::append(gil, list, msg);
        } catch (...) {
            Py_DECREF(list);
            throw;
        }
        Py_DECREF(list);
    }
    msg += ",\"workbook_id\":" + kernel_.workbook_id_json() + "}";
    kernel_.send_json(msg, {"object_registry_response", {}});
}

}  // namespace gridlet
