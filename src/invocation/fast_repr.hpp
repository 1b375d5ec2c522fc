#pragma once
// repr(value) as UTF-8 text, written in C++ for exact lists, tuples, dicts, str, int, float, bool
// and None with the interpreter's own rules (shortest float repr, str quoting and escapes,
// `(x,)`, `[...]` for a container met again inside itself); any other object, subclasses
// included, is asked for its own repr.
#include <string>

#include "kernel/gil.hpp"

namespace gridlet::fast_repr {

// Appends repr(value) to `out`. False with the Python error set when a repr raises, as repr() would.
bool append(const GilHeld&, PyObject* value, std::string& out);

// repr of an exact str. False with the Python error set only when the str cannot be read.
bool append_str(std::string& out, PyObject* s);

// The text repr() gives for a float: "0.1", "1e+16", "1e-05", "-0.0", "inf", "nan".
void append_float(std::string& out, double d);

}  // namespace gridlet::fast_repr
