#include "services/object_keeper.hpp"

#include <stdexcept>
#include <utility>

#include "execution/tracebacks.hpp"
#include "kernel/kernel.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace {

std::string class_name(PyObject* obj) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (!name) {
        py_error::clear_logged(GilHeld::from_python(), "object keeper: type name");
        return Py_TYPE(obj)->tp_name;
    }
    return py_json::utf8_of(GilHeld::from_python(), name.get());
}

std::string repr_or_throw(const GilHeld& gil, PyObject* obj) {
    PyRef r = PyRef::steal(PyObject_Repr(obj));
    if (!r) throw PythonErrorSet();  // the repr's own exception reaches the caller
    return py_json::utf8_of(gil, r.get());
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
    PyRef previous;  // released after the lock: its __del__ may run Python code
    {
        std::lock_guard lock(mutex_);
        previous = PyRef::borrow(PyDict_GetItemWithError(objects_, key));
        PyDict_SetItem(objects_, key, obj);
    }
    previous.reset();
    announce(gil, "update", key, obj);
    GLOG_DEBUG("[Kernel] Saved object: {} (type: {})", py_json::utf8_of(gil, key), class_name(obj));
}

PyObject* ObjectKeeper::get(const GilHeld& gil, PyObject* key) {
    std::lock_guard lock(mutex_);
    PyRef v = PyRef::borrow(PyDict_GetItemWithError(objects_, key));
    if (!v) {
        py_error::clear_logged(gil, "object keeper: lookup");  // absent keys set no error
        Py_RETURN_NONE;
    }
    return v.release();
}

void ObjectKeeper::clear(const GilHeld& gil, PyObject* key) {
    PyRef previous;  // released after the lock, as in save
    {
        std::lock_guard lock(mutex_);
        previous = PyRef::borrow(PyDict_GetItemWithError(objects_, key));
        if (previous) PyDict_DelItem(objects_, key);
        else py_error::clear_logged(gil, "object keeper: lookup");
    }
    previous.reset();
    announce(gil, "delete", key, nullptr);
    GLOG_DEBUG("[Kernel] Cleared object: {}", py_json::utf8_of(gil, key));
}

void ObjectKeeper::clear_all(const GilHeld& gil) {
    PyRef old;  // the keeper's own reference to the old dict, released after the lock
    {
        std::lock_guard lock(mutex_);
        old = PyRef::steal(std::exchange(objects_, PyDict_New()));
    }
    old.reset();
    announce(gil, "clear_all", nullptr, nullptr);
    GLOG_DEBUG("[Kernel] Cleared all objects");
}

PyObject* ObjectKeeper::registry(const GilHeld& gil) {
    PyRef items;
    {
        std::lock_guard lock(mutex_);
        items = PyRef::steal(PyDict_Items(objects_));  // snapshot; reprs run outside the lock
    }
    if (!items) return nullptr;
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);  // borrowed, as are its key and object
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        PyObject* obj = PyTuple_GET_ITEM(pair, 1);
        PyRef repr = PyRef::steal(PyObject_Repr(obj));
        if (!repr) return nullptr;
        std::string type = class_name(obj);
        PyRef entry =
            PyRef::steal(Py_BuildValue("{s:O,s:s,s:O}", "key", key, "type", type.c_str(), "repr", repr.get()));
        if (!entry || PyList_Append(out.get(), entry.get()) < 0) return nullptr;
    }
    (void)gil;
    return out.release();
}

void ObjectKeeper::send_registry(const GilHeld& gil) {
    std::string msg;
    {
        PyRef list = PyRef::steal(registry(gil));
        if (!list) {
            std::string err = error_record_from_pending(gil).message;
            throw std::runtime_error("get_object_registry failed: " + err);
        }
        msg = "{\"type\":\"object_registry_response\",\"objects\":";
        py_json::append(gil, list.get(), msg);
    }
    msg += ",\"workbook_id\":" + kernel_.workbook_id_json() + "}";
    kernel_.send_json(msg, {"object_registry_response", {}});
}

}  // namespace gridlet
