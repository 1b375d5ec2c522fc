#pragma once
// The bridge's stock Serializer.from_wire applied to a parsed JSON value, made straight from the
// boost::json value: lists and plain objects become lists and dicts, scalars their Python values;
// only an object carrying the "__gridlet__" tag (a date or datetime) is handed to `from_wire`.
#include <boost/json/value.hpp>

#include "kernel/gil.hpp"

namespace gridlet::wire_args {

// New reference, or nullptr when the conversion gives up: nesting deeper than it follows, or a
// tagged value whose conversion raises. No error is left set then; the caller converts the value
// through the Python path, which makes its own result or raises its own error and traceback.
PyObject* from_json(const GilHeld&, const boost::json::value& v, PyObject* from_wire);

}  // namespace gridlet::wire_args
