#include "execution/thread_output.hpp"

#include <memory>

#include "execution/run_output.hpp"
#include "kernel/py_ref.hpp"
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

PyMethodDef kFunctions[] = {{"current_run_link", current_run_link, METH_NOARGS, nullptr},
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
    auto run = [] {
        PyRef globals = PyRef::steal(PyDict_New());
        PyRef name = PyRef::steal(PyUnicode_FromString("threading"));
        if (!globals || !name || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
            PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0)
            return false;
        for (PyMethodDef* d = kFunctions; d->ml_name; ++d) {
            PyRef fn = PyRef::steal(PyCFunction_New(d, nullptr));
            if (!fn || PyDict_SetItemString(globals.get(), d->ml_name, fn.get()) < 0) return false;
        }
        return drop(PyRun_String(kWrappers, Py_file_input, globals.get(), globals.get()));
    };
    if (!run()) {
        GLOG_WARN("[Kernel] Could not route the output of user threads to their runs");
        PyErr_Print();
    }
}

}  // namespace gridlet::thread_output
