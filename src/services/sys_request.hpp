#pragma once
// Synchronous requests from user code to the Business Layer (gridlet.messaging.send_request_sync).
#include "kernel/gil.hpp"

namespace gridlet {
class Kernel;
namespace services {

// Sends {"type":"sys_request","payload":{...req, requestId, kind:"request"}} and blocks (GIL
// released) for the matching sys_response. New reference to the payload dict, or nullptr with a
// Python exception set (TypeError, RuntimeError, TimeoutError).
PyObject* send_request_sync(const GilHeld&, Kernel& kernel, PyObject* req, double timeout);

}  // namespace services
}  // namespace gridlet
