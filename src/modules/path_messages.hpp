#pragma once
// Path messages (add_path, remove_path, reset_path, set_package_paths, set_python_paths,
// unload_and_clear_paths), handled inline on the listener with the GIL.
#include <boost/json/object.hpp>

#include <string_view>

namespace gridlet {
class Kernel;
namespace paths {

void handle_path_message(Kernel& kernel, std::string_view type, const boost::json::object& message);

}  // namespace paths
}  // namespace gridlet
