#pragma once
// The one way the kernel defines a Python-visible class: the class statement itself (bases,
// metaclass, docstring) is Python, so the class behaves like any Python class (io.TextIOBase and
// importlib.abc subclasses keep their ABC machinery); its methods are C functions from a
// PyMethodDef table (METH_O / METH_FASTCALL / METH_NOARGS: no per-call wrapping overhead).
#include "kernel/gil.hpp"
#include "kernel/py_ref.hpp"

namespace gridlet::py_class {

// Runs `source` (which imports what it needs and defines the class `name`) in a fresh namespace
// whose __name__ is the module's, attaches `methods` (a table ending with a null entry) as
// methods of the class, `getters` (a table ending with a null entry, or null) as read-only
// properties, and adds the class to `module` under `name`. Returns the class, or null with the
// Python error set.
PyRef define(const GilHeld&, PyObject* module, const char* name, const char* source, PyMethodDef* methods,
             PyGetSetDef* getters = nullptr);

}  // namespace gridlet::py_class
