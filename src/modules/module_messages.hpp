#pragma once
// update_module / delete_module, applied on the control thread in arrival order.
#include <boost/json/object.hpp>

#include "kernel/gil.hpp"

namespace gridlet {
class Kernel;
namespace modules {

void handle_update_module(Kernel& kernel, const GilHeld& gil, const boost::json::object& message);
void handle_delete_module(Kernel& kernel, const GilHeld& gil, const boost::json::object& message);

}  // namespace modules
}  // namespace gridlet
