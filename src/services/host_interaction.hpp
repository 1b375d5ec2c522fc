#pragma once
// Fire-and-forget requests of user code to the add-in: event switching and message boxes.
#include <string>

namespace gridlet {
class Kernel;
namespace services {

void set_enable_events(Kernel& kernel, bool enable);
void show_message_box(Kernel& kernel, const std::string& message, const std::string& title, const std::string& type);

}  // namespace services
}  // namespace gridlet
