#pragma once
// interrupt_request: stops one run of user code (by request_id) or every run, answered at once by
// the listener without the GIL.
#include <boost/json/object.hpp>

namespace gridlet {
class Kernel;

void handle_interrupt_request(Kernel& kernel, const boost::json::object& message);

}  // namespace gridlet
