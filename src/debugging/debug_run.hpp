#pragma once
// Debug runs: a module function run under GridletDebugger on a worker, steered by the debug
// control messages on the listener.
#include <boost/json/object.hpp>

namespace gridlet {
class Kernel;
namespace debugging {

void start_debug_run(Kernel& kernel, boost::json::object&& run_module_message);

}  // namespace debugging
}  // namespace gridlet
