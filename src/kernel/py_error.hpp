#pragma once
// Clearing the Python error indicator, always said out loud: either it is logged (type and
// message to the kernel log, never to user code's streams) or the clear names the one exception
// that is expected there.
#include "kernel/gil.hpp"

namespace gridlet::py_error {

enum class Level { debug, warning };

// Logs the pending exception (if any) as "<context>: <Type>: <message>" and clears it.
void clear_logged(const GilHeld&, const char* context, Level level = Level::debug);

// Expected control flow: clears the pending exception if it is an instance of `type` (for example
// PyExc_AttributeError for "not present") and returns true; otherwise leaves it set and returns false.
bool clear_if(const GilHeld&, PyObject* type);

// As clear_if, but an exception of another kind is logged and cleared too; for best-effort paths
// where only `type` is routine. Returns true if anything was pending.
bool clear_expecting(const GilHeld&, PyObject* type, const char* context);

}  // namespace gridlet::py_error
