#include "kernel/worker_threads.hpp"

#include "kernel/py_ref.hpp"
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
    static PyObject* fn = nullptr;  // kept for the life of the process
    if (fn) return fn;
    PyRef globals = PyRef::steal(PyDict_New());
    PyRef name = PyRef::steal(PyUnicode_FromString("_gridlet_worker_threads"));
    if (!globals || !name || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0)
        return nullptr;
    if (!drop(PyRun_String(kRegister, Py_file_input, globals.get(), globals.get()))) return nullptr;
    fn = Py_XNewRef(PyDict_GetItemString(globals.get(), "register"));
    return fn;
}

}  // namespace

void register_current(const GilHeld& gil, const std::string& name) {
    PyObject* fn = registrar(gil);
    if (!fn || !drop(PyObject_CallFunction(fn, "s", name.c_str()))) {
        GLOG_WARN("[Kernel] [Worker Thread {}] Could not register with threading", name);
        PyErr_Print();
    }
}

}  // namespace gridlet::worker_threads
