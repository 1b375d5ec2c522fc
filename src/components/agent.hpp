#pragma once
// The agent component: built once per kernel with the bridge module's excel and context objects.
#include "kernel/gil.hpp"
#include "kernel/py_ref.hpp"

namespace gridlet {

class Agent {
public:
    Agent(const GilHeld&, PyObject* excel, PyObject* context)
        : excel_(PyRef::borrow(excel)), context_(PyRef::borrow(context)) {}
    // Owned by the kernel, which lives as long as the process; were it destroyed, that would be
    // without the GIL (or after the interpreter is gone), so the references are left, not dropped.
    ~Agent() {
        (void)excel_.release();
        (void)context_.release();
    }
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    PyObject* excel() const { return excel_.get(); }
    PyObject* context() const { return context_.get(); }

private:
    PyRef excel_;
    PyRef context_;
};

}  // namespace gridlet
