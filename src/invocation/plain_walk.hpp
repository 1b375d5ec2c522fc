#pragma once
// The wire JSON text and the repr of a computed table in one walk: values made only of exact
// lists, tuples, floats, ints, bools, None and str. Each number is formatted once, into a small
// buffer, and copied into both texts with their own delimiters: `[1.5,null,true]` beside
// `[1.5, nan, True]`, a tuple as a JSON list beside `(x,)`. The texts are exactly those of the
// wire walk (wire_json) and of fast_repr.
#include <string>

#include "kernel/gil.hpp"

namespace gridlet::plain_walk {

// Appends the JSON of Serializer.to_wire(value) to `json` and repr(value) to `repr`, for an exact
// list or tuple. False when the walk meets anything else (a dict, a subclass, any other object),
// nesting beyond what it follows, or the recursion limit repr() would hit: the texts are then
// partial and no Python error is set, so that the caller runs the separate walks.
bool append(const GilHeld&, PyObject* value, std::string& json, std::string& repr);

}  // namespace gridlet::plain_walk
