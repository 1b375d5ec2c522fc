#pragma once
// Debug control messages, inline on the listener. Without an active debug run they are ignored,
// except debug_evaluate (answered with an error) and debug_update_breakpoints (a warning).
#include <boost/json/object.hpp>

#include <string_view>

namespace gridlet {
class Kernel;
namespace debugging {

void handle_control_message(Kernel& kernel, std::string_view type, const boost::json::object& message);

}  // namespace debugging
}  // namespace gridlet
