#pragma once
// What a pause shows of the paused code: the call stack and the variables of a frame, as JSON.
#include <string>

#include "kernel/gil.hpp"

namespace gridlet::debugging {

// "<virtual:NAME>" -> NAME; other files: the frame's module __name__.
std::string module_of(const GilHeld&, PyFrameObject* frame);

// [{"function","module","file","line"}, ...] innermost first, up to `max_frames`.
void append_call_stack(const GilHeld&, PyFrameObject* innermost, std::string& out, int max_frames = 64);

// [{"name","type","repr"}, ...] of a mapping (locals or globals), reprs cut to a readable length.
void append_variables(const GilHeld&, PyObject* mapping, std::string& out, bool skip_dunder);

}  // namespace gridlet::debugging
