#pragma once
// Calls of workbook code from Excel. The listener only routes the message; each call's whole
// Python side (import, argument conversion, the call, result conversion, encoding the replies)
// happens in one stay on a worker.
#include <boost/json/object.hpp>

#include "kernel/handler_context.hpp"

namespace gridlet::invocation {

// `time_limited`: a worksheet function from Excel, under the kernel's call time limit (a
// run_module that goes this way is not).
void start_custom_function_call(HandlerContext ctx, boost::json::object&& message, bool time_limited = true);
void start_python_function_call(HandlerContext ctx, boost::json::object&& message);
void start_event_execution(HandlerContext ctx, boost::json::object&& message);
void start_streaming_function(HandlerContext ctx, boost::json::object&& message);
void start_run_module(HandlerContext ctx, boost::json::object&& message);

}  // namespace gridlet::invocation
