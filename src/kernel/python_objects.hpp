#pragma once
// The kernel's Python-visible objects: the kernel object user code reaches as
// gridlet._kernel_instance, the stream sender behind the hooks, and send_request_sync,
// given to the bridge module. All live in the embedded module _gridlet_kernel.
#include "kernel/gil.hpp"

namespace gridlet {

class Kernel;

namespace python_objects {

PyObject* make_kernel_object(const GilHeld&, Kernel& kernel);
PyObject* make_stream_sender(const GilHeld&, Kernel& kernel);
PyObject* make_send_request_sync(const GilHeld&, Kernel& kernel);

}  // namespace python_objects
}  // namespace gridlet
