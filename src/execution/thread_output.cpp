#include "execution/thread_output.hpp"

#include <memory>

#include "execution/run_output.hpp"
#include "util/log.hpp"

namespace gridlet::thread_output {
namespace {

constexpr const char* kCapsuleName = "gridlet.run_link";

void free_link(PyObject* capsule) {
    delete static_cast<std::shared_ptr<RunLink>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

PyObject* current_run_link(PyObject*, PyObject*) {
    std::shared_ptr<RunLink> link = RunOutput::current_link(GilHeld::from_python());
    if (!link) Py_RETURN_NONE;
    return PyCapsule_New(new std::shared_ptr<RunLink>(std::move(link)), kCapsuleName, free_link);
}

PyObject* adopt_run_link(PyObject*, PyObject* capsule) {
    auto* link = static_cast<std::shared_ptr<RunLink>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!link) return nullptr;
    RunOutput::inherit(GilHeld::from_python(), *link);
    Py_RETURN_NONE;
}

PyMethodDef kFunctions[] = {
    {"current_run_link", current_run_link, METH_NOARGS, nullptr},
    {"adopt_run_link", adopt_run_link, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

// Threads flagged _gridlet_outside_runs (the bridge's event loop thread) never adopt a run.
constexpr const char* kWrappers = R"PY(
import functools, threading
_start = threading.Thread.start
_bootstrap_inner = threading.Thread._bootstrap_inner

@functools.wraps(_start)
def start(self):
    link = current_run_link()
    if link is not None and not getattr(self, '_gridlet_outside_runs', False):
        self._gridlet_run_link = link
    return _start(self)

@functools.wraps(_bootstrap_inner)
def bootstrap_inner(self):
    link = self.__dict__.pop('_gridlet_run_link', None)
    if link is not None:
        adopt_run_link(link)
        del link
    return _bootstrap_inner(self)

threading.Thread.start = start
threading.Thread._bootstrap_inner = bootstrap_inner
)PY";

}  // namespace

void install(const GilHeld&) {
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* name = PyUnicode_FromString("threading");
    PyDict_SetItemString(globals, "__name__", name);
    Py_DECREF(name);
    for (PyMethodDef* d = kFunctions; d->ml_name; ++d) {
        PyObject* fn = PyCFunction_New(d, nullptr);
        PyDict_SetItemString(globals, d->ml_name, fn);
        Py_DECREF(fn);
    }
    PyObject* r = PyRun_String(kWrappers, Py_file_input, globals, globals);
    if (!r) {
        GLOG_WARN("[Kernel] Could not route the output of user threads to their runs");
        PyErr_Print();
    }
    Py_XDECREF(r);
    Py_DECREF(globals);
}

}  // namespace gridlet::thread_output
