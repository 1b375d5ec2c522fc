#pragma once
// What a pause shows of the paused code: the call stack and the variables of a frame, as JSON.
#include <string>

#include "kernel/gil.hpp"
#include "kernel/py_ref.hpp"

namespace gridlet::debugging {

// A frame's code object and its calling frame, owned (null when there is none).
inline PyRef code_of(PyFrameObject* frame) { return PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame))); }
inline PyRef caller_of(PyFrameObject* frame) {
    return PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
}
inline PyCodeObject* as_code(const PyRef& code) { return reinterpret_cast<PyCodeObject*>(code.get()); }
inline PyFrameObject* as_frame(const PyRef& frame) { return reinterpret_cast<PyFrameObject*>(frame.get()); }

// "<virtual:NAME>" -> NAME; other files: the frame's module __name__.
std::string module_of(const GilHeld&, PyFrameObject* frame);

// [{"function","module","file","line"}, ...] innermost first, up to `max_frames`.
void append_call_stack(const GilHeld&, PyFrameObject* innermost, std::string& out, int max_frames = 64);

// [{"name","type","repr"}, ...] of a mapping (locals or globals), reprs cut to a readable length.
void append_variables(const GilHeld&, PyObject* mapping, std::string& out, bool skip_dunder);

}  // namespace gridlet::debugging
