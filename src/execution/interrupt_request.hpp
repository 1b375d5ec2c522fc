#pragma once
// interrupt_request: stops one run of user code (by request_id) or every run, answered at once by
// the listener without the GIL.
#include <boost/json/object.hpp>

#include "kernel/handler_context.hpp"

namespace gridlet {

void handle_interrupt_request(HandlerContext ctx, const boost::json::object& message);

}  // namespace gridlet
