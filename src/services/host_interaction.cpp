#include "services/host_interaction.hpp"

#include "kernel/kernel.hpp"
#include "messaging/json_text.hpp"
#include "util/log.hpp"

namespace gridlet::services {

void set_enable_events(Kernel& kernel, bool enable) {
    std::string msg;
    json_text::ObjectWriter w(msg);
    w.str("type", "set_enable_events").boolean("enable", enable).raw("workbook_id", kernel.workbook_id_json());
    w.close();
    kernel.send_json(msg, {"set_enable_events", {}});
    GLOG_DEBUG("[Kernel] Set enable_events: {}", enable ? "True" : "False");
}

void show_message_box(Kernel& kernel, const std::string& message, const std::string& title, const std::string& type) {
    std::string msg;
    json_text::ObjectWriter w(msg);
    w.str("type", "show_message_box")
        .str("message", message)
        .str("title", title)
        .str("msg_type", type)
        .raw("workbook_id", kernel.workbook_id_json());
    w.close();
    kernel.send_json(msg, {"show_message_box", {}});
    GLOG_DEBUG("[Kernel] Requested message box: title='{}', type='{}'", title, type);
}

}  // namespace gridlet::services
