#pragma once
// Exceptions of user code as the kernel reports them: the error record and the full traceback text.
#include <string>

#include "kernel/gil.hpp"

namespace gridlet {

struct ErrorRecord {
    std::string type;       // exception class name
    std::string message;    // str(exception)
    std::string traceback;  // traceback.format_exception(...) joined
};

// Takes the pending Python exception (any BaseException) and clears it. Returns a new reference to
// the exception object with its traceback attached.
PyObject* fetch_exception(const GilHeld&);

// Full standard traceback text of `exc`, chained causes included.
std::string extract_traceback_string(const GilHeld&, PyObject* exc);

ErrorRecord error_record(const GilHeld&, PyObject* exc);

// Convenience: the pending exception as a record (the exception is cleared).
ErrorRecord error_record_from_pending(const GilHeld&);

// The frame where `exc` was raised (the last entry of its traceback): new reference or nullptr.
PyFrameObject* innermost_frame(const GilHeld&, PyObject* exc);

// str(obj) / repr(obj) as UTF-8; a failure inside is reported in the text, never raised.
std::string str_of(const GilHeld&, PyObject* obj);
std::string repr_of(const GilHeld&, PyObject* obj);

}  // namespace gridlet
