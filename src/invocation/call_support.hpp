#pragma once
// Pieces every kind of call uses on the worker: module lookup, wire conversion through the bridge
// module's Serializer, and turning the pending exception into the reported traceback.
#include <boost/json/value.hpp>

#include <string>
#include <string_view>

#include "execution/run_output.hpp"
#include "kernel/gil.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/reply_builders.hpp"
#include "util/memory_release.hpp"

namespace gridlet {
class Kernel;
namespace invocation {

// sys.modules[name] after importing it (through the in-memory loader first). New reference, or
// nullptr with ImportError set; `missing_text` is the error when the import leaves no entry.
PyObject* import_module(const GilHeld&, const std::string& name, const std::string& missing_text);

// The attribute `function` of `module`, or nullptr with AttributeError "Function ... not found".
PyObject* find_function(const GilHeld&, PyObject* module, const std::string& module_name, const std::string& function);

// List of Python values for a wire argument list; nullptr with TypeError when it is not a list.
PyObject* deserialize_args(const GilHeld&, PyObject* bridge, const boost::json::value* args);

// gridlet.Serializer.to_wire(value): new reference or nullptr with the error set.
PyObject* to_wire(const GilHeld&, PyObject* bridge, PyObject* value);

// A call's result as its replies carry it: `wire` (a to_wire value) as JSON text, and the repr of
// `value` when the wire value is not None. False with a Python error set when either fails.
// A str result whose text needs no escaping, in JSON nor in its repr (printable ASCII without '"'
// or '\\'), is not copied: both texts are its own UTF-8 buffer between quotes, and the result
// holds the str. Holding a reference, it is dropped only while the GIL is held.
struct EncodedResult {
    EncodedResult() = default;
    EncodedResult(EncodedResult&&) = default;
    EncodedResult& operator=(EncodedResult&&) = default;
    // Large texts go back to the kept-memory cache, for the next large result.
    ~EncodedResult() {
        memory_release::recycle(json);
        memory_release::recycle(repr);
    }

    std::string json;
    std::string repr;  // "" when the wire value is None
    bool has_value = false;
    PyRef text;             // the viewed str, or empty
    std::string_view body;  // its UTF-8 text, between the quotes of both texts
    char repr_quote = '\'';

    // The JSON text, or for a viewed str the part between its quotes (which frame() adds).
    std::string_view json_body() const { return text ? body : std::string_view(json); }
    // A reply framed around json_body(): for a viewed str, its quotes join the head and the tail.
    reply::Framed frame(reply::Framed f) const;
    // The result_output reply around the repr's one text; for a viewed str, around the str's own
    // buffer, its quotes joining the head and the tail.
    reply::ResultOutput result_output(const CallIds& ids, unsigned echo) const;
};
bool encode_result(const GilHeld&, PyObject* wire, PyObject* value, EncodedResult& out);

// to_wire(value) and encode_result in one: under the stock Serializer, containers, numpy arrays and
// pandas frames are written to JSON text in one C++ walk (the same text, repr and errors as the
// Python path, which runs whenever the walk gives up). False with a Python error set.
bool encode_value(const GilHeld&, PyObject* bridge, PyObject* value, EncodedResult& out);

// run.logs() as a JSON string, with the info log line the callers print for non-empty logs.
std::string logs_json(RunOutput& run, const char* log_title);

// The pending exception's traceback text; also written to the run's stderr capture, as
// traceback.print_exc would.
std::string report_exception(const GilHeld&, RunOutput* run);

// Text value for echoing a field back: "null" when absent.
std::string json_or_null(const boost::json::value* v);

}  // namespace invocation
}  // namespace gridlet
