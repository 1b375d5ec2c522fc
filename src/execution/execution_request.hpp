#pragma once
// execution_request: code from the editor or the add-in, run on a worker in the persistent
// namespace, output streamed live, answered with result_output/execution_result or execution_error.
#include <boost/json/object.hpp>

#include "kernel/handler_context.hpp"

namespace gridlet {

// Listener side: reads the fields and hands the run to the worker pool.
void start_execution_request(HandlerContext ctx, boost::json::object&& message);

}  // namespace gridlet
