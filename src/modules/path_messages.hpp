#pragma once
// Path messages (add_path, remove_path, reset_path, set_package_paths, set_python_paths,
// unload_and_clear_paths), applied on the control thread in arrival order.
#include <boost/json/object.hpp>

#include "kernel/gil.hpp"

namespace gridlet {
class Kernel;
namespace paths {

void handle_path_message(Kernel& kernel, const GilHeld& gil, const boost::json::object& message);

}  // namespace paths
}  // namespace gridlet
