#include "modules/path_messages.hpp"

#include <boost/json.hpp>

#include "kernel/kernel.hpp"
#include "language/language_service.hpp"
#include "messaging/fields.hpp"
#include "modules/virtual_environment.hpp"
#include "util/log.hpp"

namespace gridlet::paths {
namespace {

std::vector<std::string> string_list(const boost::json::object& m, std::string_view key) {
    std::vector<std::string> out;
    const auto* v = m.if_contains(key);
    if (!v) return out;
    if (!v->is_array()) throw fields::FieldError("Field '" + std::string(key) + "' must be a list of strings");
    for (const auto& e : v->get_array()) {
        if (!e.is_string()) throw fields::FieldError("Field '" + std::string(key) + "' must be a list of strings");
        out.emplace_back(e.get_string());
    }
    return out;
}

boost::json::array to_array(const std::vector<std::string>& v) {
    boost::json::array a;
    for (const auto& s : v) a.emplace_back(s);
    return a;
}

}  // namespace

void handle_path_message(Kernel& kernel, const GilHeld& gil, const boost::json::object& message) {
    const std::string_view type = message.at("type").get_string();
    auto& env = kernel.virtual_env();
    boost::json::object reply;
    std::string info;
    std::vector<std::string> bridge_paths;
    bool tell_bridge = false;
    {
        if (type == "add_path" || type == "remove_path") {
            std::string path = fields::text(message, "path", "").value();
            if (type == "add_path") env.add_path(gil, path);
            else env.remove_path(gil, path);
            reply = {{"type", type == "add_path" ? "path_added" : "path_removed"},
                     {"path", path},
                     {"current_paths", to_array(VirtualEnvironment::sys_path(gil))}};
        } else if (type == "reset_path") {
            env.reset_path(gil);
            reply = {{"type", "path_reset"}, {"current_paths", to_array(VirtualEnvironment::sys_path(gil))}};
        } else if (type == "set_package_paths") {
            auto old_paths = string_list(message, "old_paths");
            auto new_paths = string_list(message, "new_paths");
            auto unloaded = VirtualEnvironment::unload_modules_from(gil, old_paths);
            for (const auto& p : old_paths)
                if (VirtualEnvironment::remove_from_sys_path(gil, p))
                    GLOG_DEBUG("Removed old path from sys.path: {}", p);
            for (auto it = new_paths.rbegin(); it != new_paths.rend(); ++it) {
                if (!VirtualEnvironment::in_sys_path(gil, *it)) {
                    VirtualEnvironment::insert_sys_path(gil, 0, *it);
                    GLOG_DEBUG("Added new path to sys.path: {}", *it);
                }
            }
            env.set_custom_paths(new_paths);
            tell_bridge = true;
            bridge_paths = new_paths;
            reply = {{"type", "package_paths_updated"},
                     {"paths_added", new_paths.size()},
                     {"modules_unloaded", unloaded.size()},
                     {"workbook_id", kernel.workbook_id()}};
            info = "Package paths updated: " + std::to_string(new_paths.size()) + " paths added, " +
                   std::to_string(unloaded.size()) + " modules unloaded";
        } else if (type == "set_python_paths") {
            auto old_paths = string_list(message, "old_paths");
            auto new_paths = string_list(message, "new_paths");
            for (const auto& p : old_paths)
                if (VirtualEnvironment::remove_from_sys_path(gil, p))
                    GLOG_DEBUG("Removed old python path from sys.path: {}", p);
            for (const auto& p : new_paths) {
                if (!VirtualEnvironment::in_sys_path(gil, p)) {
                    VirtualEnvironment::append_sys_path(gil, p);
                    GLOG_DEBUG("Added new python path to sys.path: {}", p);
                }
            }
            tell_bridge = true;
            bridge_paths = VirtualEnvironment::sys_path(gil);
            reply = {{"type", "python_paths_updated"},
                     {"paths_added", new_paths.size()},
                     {"workbook_id", kernel.workbook_id()}};
            info = "Python paths updated: " + std::to_string(new_paths.size()) + " paths added";
        } else if (type == "unload_and_clear_paths") {
            auto stale = string_list(message, "paths");
            auto unloaded = VirtualEnvironment::unload_modules_from(gil, stale);
            for (const auto& p : stale)
                if (VirtualEnvironment::remove_from_sys_path(gil, p)) GLOG_DEBUG("Removed path from sys.path: {}", p);
            reply = {{"type", "modules_unloaded"},
                     {"modules_unloaded", unloaded.size()},
                     {"paths_cleared", stale.size()},
                     {"workbook_id", kernel.workbook_id()}};
            info = "Modules unloaded: " + std::to_string(unloaded.size()) +
                   ", paths cleared: " + std::to_string(stale.size());
        }
    }
    if (tell_bridge) kernel.language().update_sys_paths(bridge_paths);
    kernel.send_object(reply);
    if (!info.empty()) GLOG_INFO("{}", info);
}

}  // namespace gridlet::paths
