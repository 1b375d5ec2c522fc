#pragma once
// Conversion between Python values and JSON, done by the thread that already holds the GIL.
#include <boost/json/value.hpp>

#include <stdexcept>
#include <string>
#include <string_view>

#include "kernel/gil.hpp"

namespace gridlet::py_json {

// A value that JSON cannot carry; the text names its type.
struct EncodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Appends the compact JSON text of `obj`. Throws EncodeError (nothing useful is left in `out` then).
void append(const GilHeld&, PyObject* obj, std::string& out);

// Appends a Python str as a JSON string (lone surrogates become \udXXX escapes).
void append_str(const GilHeld&, PyObject* str, std::string& out);

// New reference to the Python value of `v` (dict, list, str, int, float, bool, None); nullptr with a
// Python error set on failure.
PyObject* to_python(const GilHeld&, const boost::json::value& v);

// Python str -> UTF-8 std::string. Lone surrogates keep their code point in the three-byte form of
// the "surrogatepass" codec; json_text writes them as \udXXX escapes, str_of turns them back.
std::string utf8_of(const GilHeld&, PyObject* str);

// Text from the wire or from utf8_of -> new Python str (surrogates in three-byte form included; any
// other invalid byte is replaced). nullptr with a Python error set only when memory runs out.
PyObject* str_of(const GilHeld&, std::string_view text);

}  // namespace gridlet::py_json
