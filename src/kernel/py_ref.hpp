#pragma once
// PyRef: the one owning reference to a Python object. Move-only; the destructor drops the
// reference. Use it only while the GIL is held (as every PyObject* is); GIL boundaries stay
// explicit in the functions' GilHeld parameters, not here.
//
//   PyRef r = PyRef::steal(PyObject_GetAttr(o, name));   // new reference (may be null)
//   PyRef b = PyRef::borrow(PyDict_GetItem(d, key));      // borrowed: takes its own reference
//   if (!r) return nullptr;
//   PyList_SetItem(list, i, r.release());                 // handing it to a stealing call
#include <Python.h>

#include <utility>

namespace gridlet {

class PyRef {
public:
    PyRef() noexcept = default;
    ~PyRef() { Py_XDECREF(p_); }
    PyRef(PyRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    // Takes over a new reference (the result of a call that returns one); null stays null.
    [[nodiscard]] static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    // Takes a reference of its own to a borrowed object; null stays null.
    [[nodiscard]] static PyRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives the reference away (to a caller or a stealing call such as PyList_SetItem).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // Drops the held reference and takes over `p` (a new reference, or null).
    void reset(PyObject* p = nullptr) noexcept {
        PyObject* old = std::exchange(p_, p);
        Py_XDECREF(old);
    }
    // A new reference to the same object, for returning to Python while keeping this one.
    [[nodiscard]] PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }

private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

static_assert(sizeof(PyRef) == sizeof(PyObject*));

// For calls made only for their effect: drops the result and says whether the call succeeded
// (false: the Python error is set).
inline bool drop(PyObject* result) noexcept {
    Py_XDECREF(result);
    return result != nullptr;
}

}  // namespace gridlet
