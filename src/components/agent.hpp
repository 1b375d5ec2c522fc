#pragma once
// The agent component: built once per kernel with the bridge module's excel and context objects.
#include "kernel/gil.hpp"

namespace gridlet {

class Agent {
public:
    Agent(const GilHeld&, PyObject* excel, PyObject* context) : excel_(excel), context_(context) {
        Py_XINCREF(excel_);
        Py_XINCREF(context_);
    }
    PyObject* excel() const { return excel_; }
    PyObject* context() const { return context_; }

private:
    PyObject* excel_;
    PyObject* context_;
};

}  // namespace gridlet
