#include "services/sys_request.hpp"

#include <boost/json.hpp>

#include <algorithm>
#include <chrono>

#include "execution/active_runs.hpp"
#include "kernel/fd_capture.hpp"
#include "kernel/kernel.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "util/log.hpp"
#include "util/uuid.hpp"

namespace gridlet::services {
namespace {

std::string thread_label() {
    const std::string& name = WorkerPool::current_thread_name();
    return name.empty() ? std::string("Thread") : name;
}

std::string float_text(double v) {
    char* s = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    std::string out = s ? s : std::to_string(v);
    PyMem_Free(s);
    return out;
}

// True on the bridge's event loop thread (read without starting the loop).
bool on_bridge_loop_thread(const GilHeld& gil, Kernel& kernel) {
    PyRef messaging = PyRef::steal(PyObject_GetAttrString(kernel.bridge_module(), "messaging"));
    PyRef ident = PyRef::steal(messaging ? PyObject_GetAttrString(messaging.get(), "_loop_thread_ident") : nullptr);
    bool same = false;
    if (ident && PyLong_Check(ident.get())) same = PyLong_AsUnsignedLong(ident.get()) == PyThread_get_thread_ident();
    py_error::clear_logged(gil, "sys_request: bridge loop thread");
    return same;
}

}  // namespace

PyObject* send_request_sync(const GilHeld& gil, Kernel& kernel, PyObject* req, double timeout) {
    if (fd_capture::in_forked_child()) {
        PyErr_SetString(PyExc_RuntimeError, "send_request_sync is not available in a forked child process");
        return nullptr;
    }
    if (!PyDict_Check(req)) {
        PyErr_Format(PyExc_TypeError, "req must be a dict, not %.100s", Py_TYPE(req)->tp_name);
        return nullptr;
    }
    PyRef payload = PyRef::steal(PyDict_Copy(req));
    if (!payload) return nullptr;
    const std::string id = uuid::v4_hex();
    PyRef id_obj = PyRef::steal(PyUnicode_FromStringAndSize(id.data(), Py_ssize_t(id.size())));
    PyRef kind = PyRef::steal(PyUnicode_FromString("request"));
    if (!id_obj || !kind || PyDict_SetItemString(payload.get(), "requestId", id_obj.get()) < 0 ||
        PyDict_SetItemString(payload.get(), "kind", kind.get()) < 0)
        return nullptr;

    if (kernel.is_listener_thread() || on_bridge_loop_thread(gil, kernel)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "send_sys_request must not be called from the async event loop thread to avoid deadlock");
        return nullptr;
    }
    const std::string thread = thread_label();
    GLOG_DEBUG("[Kernel] [Worker Thread {}] Sending sys_request: {}", thread, id);

    std::string message = "{\"type\":\"sys_request\",\"payload\":";
    try {
        py_json::append(gil, payload.get(), message);
    } catch (const py_json::EncodeError& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
        return nullptr;
    }
    payload.reset();
    message += '}';

    // One deadline for both waits: room in the write queue, then the answer.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(std::clamp(timeout, 0.0, 1e7)));
    HostRequests::Waiter waiter;
    kernel.host_requests().add(id, &waiter);  // registered before the send: no answer can outrun it
    bool answered = false;
    InterruptibleWait interruptible(gil);
    if (kernel.post_from_worker_by(gil, message, {"sys_request", {}}, deadline, interruptible.stop_flag())) {
        GLOG_DEBUG("[Kernel] [Worker Thread {}] Waiting for sys_response: {}", thread, id);
        GilRelease released(gil);
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        answered = kernel.host_requests().wait(id, waiter, left, interruptible.stop_flag());
    } else {
        kernel.host_requests().remove(id);
    }
    if (!answered && interruptible.raise_if_interrupted(gil)) {
        // An answer that comes later finds nobody waiting and is dropped with a warning.
        GLOG_INFO("[Kernel] [Worker Thread {}] sys_request interrupted: {}", thread, id);
        return nullptr;
    }
    if (!answered) {
        if (waiter.cancelled) {
            PyErr_Format(PyExc_ConnectionError, "sys_request cancelled, connection closed: %s", id.c_str());
            return nullptr;
        }
        GLOG_ERROR("[Kernel] [Worker Thread {}] sys_request timeout: {}", thread, id);
        std::string text = "sys_request timeout after " + float_text(timeout) + "s: " + id;
        PyErr_SetString(PyExc_TimeoutError, text.c_str());
        return nullptr;
    }
    GLOG_DEBUG("[Kernel] [Worker Thread {}] Received sys_response: {}", thread, id);
    return py_json::to_python(gil, boost::json::value(std::move(waiter.payload)));
}

}  // namespace gridlet::services
