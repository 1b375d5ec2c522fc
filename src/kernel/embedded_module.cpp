// _gridlet_kernel: the thin embedded module that registers the kernel's Python-visible pieces.
#include <Python.h>

#include <exception>

#include "execution/stream_classes.hpp"
#include "kernel/gil.hpp"
#include "kernel/py_ref.hpp"
#include "modules/module_loader.hpp"

namespace gridlet {
void register_kernel_classes(const GilHeld&, PyObject* module);

namespace {

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT,
                            "_gridlet_kernel",
                            "Python-visible parts of gridlet-kernel",
                            -1,
                            nullptr,
                            nullptr,
                            nullptr,
                            nullptr,
                            nullptr};

PyObject* init_module() {
    PyRef m = PyRef::steal(PyModule_Create(&g_module_def));
    if (!m) return nullptr;
    try {
        const GilHeld& gil = GilHeld::from_python();
        streams::register_classes(gil, m.get());
        ModuleLoader::register_class(gil, m.get());
        register_kernel_classes(gil, m.get());
    } catch (const std::exception& e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    }
    return m.release();
}

}  // namespace

// Called by the interpreter start before Python is initialised: makes the module importable.
void link_embedded_module() {
    static const bool added = PyImport_AppendInittab("_gridlet_kernel", &init_module) == 0;
    (void)added;
}

}  // namespace gridlet
