#pragma once
// KernelStreamHook and StreamCapture: Python text streams deriving from io.TextIOBase whose
// methods are C++. The hook is what sys.stdout/sys.stderr hold while connected; it sends each write
// to the current thread's run capture when there is one, else to the console and the Business Layer.
#include "kernel/gil.hpp"

namespace gridlet {

class Kernel;

namespace streams {

// Creates both classes in `module` (the embedded kernel module).
void register_classes(const GilHeld&, PyObject* module);

// New hook instance (`stream_type` "stdout" or "stderr", `send_callback` a callable or None).
PyObject* make_hook(const GilHeld&, const char* stream_type, PyObject* send_callback);

// The callback object whose calls the hook serves natively (the kernel's stream sender).
void set_native_sender(const GilHeld&, PyObject* sender, Kernel* kernel);

}  // namespace streams
}  // namespace gridlet
