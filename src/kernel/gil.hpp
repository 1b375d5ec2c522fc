#pragma once
// GIL boundaries made visible: every function that touches Python takes a `const GilHeld&`.
// Only GilGuard (which acquires) and code entered from Python (which already holds it) can make one.
#include <Python.h>

#include <cassert>
#include <exception>

namespace gridlet {

// The listener marks its thread at start; from then on it must never take the GIL (it would wait
// behind whatever Python is running). Debug builds assert it on every acquisition.
inline thread_local bool t_gil_forbidden = false;
inline void forbid_gil_on_this_thread() { t_gil_forbidden = true; }

class GilHeld {
public:
    GilHeld(const GilHeld&) = delete;
    GilHeld& operator=(const GilHeld&) = delete;
    // For functions the interpreter calls: it holds the GIL while it calls us.
    static const GilHeld& from_python() {
        static const GilHeld token;
        return token;
    }

private:
    GilHeld() = default;
    friend class GilGuard;
    friend class WorkerPool;
};

// Acquires the GIL for the current scope (any thread).
class GilGuard {
public:
    GilGuard() : state_((assert(!t_gil_forbidden && "the listener never takes the GIL"), PyGILState_Ensure())) {}
    ~GilGuard() { PyGILState_Release(state_); }
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;
    const GilHeld& held() const { return token_; }

private:
    PyGILState_STATE state_;
    GilHeld token_;
};

// Releases the GIL for a blocking wait, taking it back at scope end.
class GilRelease {
public:
    explicit GilRelease(const GilHeld&) : saved_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(saved_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* saved_;
};

}  // namespace gridlet

namespace gridlet {
// Thrown by C++ code called from Python when a Python exception is already set and should reach
// the caller unchanged.
struct PythonErrorSet : std::exception {
    const char* what() const noexcept override { return "Python error set"; }
};
}  // namespace gridlet
