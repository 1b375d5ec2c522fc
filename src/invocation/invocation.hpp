#pragma once
// Calls of workbook code from Excel. The listener only routes the message; each call's whole
// Python side (import, argument conversion, the call, result conversion, encoding the replies)
// happens in one stay on a worker.
#include <boost/json/object.hpp>

namespace gridlet {
class Kernel;
namespace invocation {

void start_custom_function_call(Kernel& kernel, boost::json::object&& message);
void start_python_function_call(Kernel& kernel, boost::json::object&& message);
void start_event_execution(Kernel& kernel, boost::json::object&& message);
void start_streaming_function(Kernel& kernel, boost::json::object&& message);
void start_run_module(Kernel& kernel, boost::json::object&& message);

}  // namespace invocation
}  // namespace gridlet
