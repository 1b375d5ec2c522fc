#pragma once
// Debug control messages, inline on the listener. Without an active debug run they are ignored,
// except debug_evaluate (answered with an error) and debug_update_breakpoints (a warning).
#include <boost/json/object.hpp>

#include <string_view>

namespace gridlet {
class Kernel;
namespace debugging {

// What debug_stop does: asks the active run to stop and acknowledges with debug_terminated (without
// request_id; the run sends its own when it has ended). False when no run is active.
bool stop_active_run(Kernel& kernel);

void handle_control_message(Kernel& kernel, std::string_view type, const boost::json::object& message);

}  // namespace debugging
}  // namespace gridlet
