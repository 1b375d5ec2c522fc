#pragma once
// Debug control messages. Commands for a paused run and evaluations are passed to the run's worker
// by the listener without Python; breakpoint updates, and the tracing a stop may need, are applied
// on the control thread. Without an active debug run they are ignored, except debug_evaluate
// (answered with an error) and debug_update_breakpoints (a warning).
#include <boost/json/object.hpp>

#include "kernel/gil.hpp"

namespace gridlet {
class Kernel;
namespace debugging {

// What debug_stop does: asks the active run to stop and acknowledges with debug_terminated (without
// request_id; the run sends its own when it has ended). False when no run is active. Listener.
bool stop_active_run(Kernel& kernel);

// debug_continue, debug_step_over, debug_step_into, debug_step_out (listener).
void resume(Kernel& kernel, boost::json::object&& message);
// debug_evaluate (listener; the paused worker answers).
void evaluate(Kernel& kernel, boost::json::object&& message);
// debug_stop (listener; tracing turned on by the control thread).
void stop(Kernel& kernel, boost::json::object&& message);
// debug_update_breakpoints (listener, so a command right after it sees the new breakpoints;
// tracing turned on by the control thread).
void update_breakpoints(Kernel& kernel, boost::json::object&& message);

}  // namespace debugging
}  // namespace gridlet
