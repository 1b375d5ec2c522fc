#pragma once
// The JSON text of the bridge's stock Serializer.to_wire(value), written in one walk over the
// Python value without building the wire objects: lists, tuples, dicts, the JSON scalars, numpy
// arrays of numbers or booleans (read through the buffer protocol) and pandas frames and series.
// Any other element (dates, numpy scalars, subclasses, user objects) goes through `to_wire` (the
// stock function itself) and py_json, so the text is always what the Python path makes.
#include <cstddef>
#include <string>

#include "kernel/gil.hpp"

namespace gridlet::wire_json {

// True when the walk applies to `value` as a whole: an exact list, tuple or dict, a numpy array of
// at least one dimension, a pandas DataFrame or Series. Its wire value is never None.
bool applies(const GilHeld&, PyObject* value);

// An upper estimate of the bytes append() writes for `value` (and of its repr), found by looking at
// container sizes only, so that the text can be reserved in one piece.
std::size_t estimate(const GilHeld&, PyObject* value);

// True for numpy arrays and pandas objects, whose repr is their own (a summary for large ones).
bool has_own_repr(PyObject* value);

// Appends the JSON text of to_wire(value). False when the walk gives up (a dict key that is not a
// str, nesting deeper than it follows, an element whose conversion fails): no Python error is left
// set and `out` holds a partial text, so the caller runs the Python path, which then makes
// exactly its own result or error.
bool append(const GilHeld&, PyObject* value, PyObject* to_wire, std::string& out);

}  // namespace gridlet::wire_json
