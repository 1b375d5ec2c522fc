#include "kernel/py_class.hpp"

namespace gridlet::py_class {

PyRef define(const GilHeld&, PyObject* module, const char* name, const char* source, PyMethodDef* methods,
             PyGetSetDef* getters) {
    PyRef globals = PyRef::steal(PyDict_New());
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!globals || !module_name) return {};
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals.get(), "__name__", module_name.get()) < 0)
        return {};
    PyRef ran = PyRef::steal(PyRun_String(source, Py_file_input, globals.get(), globals.get()));
    if (!ran) return {};
    PyRef cls = PyRef::borrow(PyDict_GetItemString(globals.get(), name));
    if (!cls || !PyType_Check(cls.get())) {
        PyErr_Format(PyExc_RuntimeError, "class %s was not defined", name);
        return {};
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    for (PyMethodDef* d = methods; d && d->ml_name; ++d) {
        PyRef descr = PyRef::steal(PyDescr_NewMethod(type, d));
        if (!descr || PyObject_SetAttrString(cls.get(), d->ml_name, descr.get()) < 0) return {};
    }
    for (PyGetSetDef* g = getters; g && g->name; ++g) {
        PyRef descr = PyRef::steal(PyDescr_NewGetSet(type, g));
        if (!descr || PyObject_SetAttrString(cls.get(), g->name, descr.get()) < 0) return {};
    }
    if (PyModule_AddObjectRef(module, name, cls.get()) < 0) return {};
    return cls;
}

}  // namespace gridlet::py_class
