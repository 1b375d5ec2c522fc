#pragma once
// Calls of workbook code from Excel. The listener only routes the message; each call's whole
// Python side (import, argument conversion, the call, result conversion, encoding the replies)
// happens in one stay on a worker.
#include <boost/json/object.hpp>

namespace gridlet {
class Kernel;
namespace invocation {

// `time_limited`: a worksheet function from Excel, under the kernel's call time limit (a
// run_module that goes this way is not).
void start_custom_function_call(Kernel& kernel, boost::json::object&& message, bool time_limited = true);
void start_python_function_call(Kernel& kernel, boost::json::object&& message);
void start_event_execution(Kernel& kernel, boost::json::object&& message);
void start_streaming_function(Kernel& kernel, boost::json::object&& message);
void start_run_module(Kernel& kernel, boost::json::object&& message);

}  // namespace invocation
}  // namespace gridlet
