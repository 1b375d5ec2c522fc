#pragma once
// update_module / delete_module, handled inline on the listener (with the GIL, briefly).
#include <boost/json/object.hpp>

namespace gridlet {
class Kernel;
namespace modules {

void handle_update_module(Kernel& kernel, const boost::json::object& message);
void handle_delete_module(Kernel& kernel, const boost::json::object& message);

}  // namespace modules
}  // namespace gridlet
