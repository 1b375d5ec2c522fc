#include "kernel/worker_threads.hpp"

#include "util/log.hpp"

namespace gridlet::worker_threads {
namespace {

// Does for the calling thread what Thread._bootstrap_inner does for a thread that Thread.start
// made: marks it started, records its ids, gives it the lock that the interpreter releases when
// the thread state goes away (what join() and is_alive() wait on) and lists it in _active.
// The lock is not put in threading's shutdown set: nothing waits for workers at exit.
constexpr const char* kRegister = R"PY(
import threading, _thread
def register(name):
    t = threading.Thread(name=name, daemon=False)
    t._started.set()
    t._set_ident()
    if hasattr(t, '_set_native_id'):
        t._set_native_id()
    lock = _thread._set_sentinel()
    lock.acquire()
    t._tstate_lock = lock
    with threading._active_limbo_lock:
        threading._active[t._ident] = t
)PY";

PyObject* registrar(const GilHeld&) {
    static PyObject* fn = nullptr;
    if (fn) return fn;
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(globals, "__name__", PyUnicode_FromString("_gridlet_worker_threads"));
    PyObject* r = PyRun_String(kRegister, Py_file_input, globals, globals);
    if (r) {
        Py_DECREF(r);
        fn = PyDict_GetItemString(globals, "register");
        Py_XINCREF(fn);
    }
    Py_DECREF(globals);
    return fn;
}

}  // namespace

void register_current(const GilHeld& gil, const std::string& name) {
    PyObject* fn = registrar(gil);
    PyObject* r = fn ? PyObject_CallFunction(fn, "s", name.c_str()) : nullptr;
    if (!r) {
        GLOG_WARN("[Kernel] [Worker Thread {}] Could not register with threading", name);
        PyErr_Print();
    }
    Py_XDECREF(r);
}

}  // namespace gridlet::worker_threads
