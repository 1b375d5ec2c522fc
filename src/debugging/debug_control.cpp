#include "debugging/debug_control.hpp"

#include <boost/json.hpp>

#include "components/debugger.hpp"
#include "kernel/kernel.hpp"
#include "messaging/fields.hpp"
#include "util/log.hpp"

namespace gridlet::debugging {

bool stop_active_run(Kernel& kernel) {
    auto dbg = kernel.debugger();
    if (!dbg) return false;
    // The acknowledgement goes out before the run is woken, so it precedes the run's last messages.
    kernel.send_object({{"type", "debug_terminated"}, {"workbook_id", kernel.workbook_id()}});
    dbg->stop_debugging();
    // A run that is not paused notices the stop at its next traced event.
    kernel.control().submit([dbg](const GilHeld& gil) { dbg->ensure_traced(gil); });
    return true;
}

void resume(Kernel& kernel, boost::json::object&& message) {
    auto dbg = kernel.debugger();
    if (!dbg) return;
    const std::string_view type = message.at("type").get_string();
    if (type == "debug_continue") {
        kernel.send_json("{\"type\":\"debug_resumed\"}", {"debug_resumed", {}});  // before what the run sends next
        dbg->continue_execution();
    } else if (type == "debug_step_over") {
        dbg->step_over();
    } else if (type == "debug_step_into") {
        dbg->step_into();
    } else if (type == "debug_step_out") {
        dbg->step_out();
    }
}

void evaluate(Kernel& kernel, boost::json::object&& message) {
    auto dbg = kernel.debugger();
    const auto* given = message.if_contains("expression");
    boost::json::object reply{
        {"type", "debug_evaluate_result"},
        {"workbook_id", kernel.workbook_id()},
        {"request_id", message.contains("request_id") ? message.at("request_id") : boost::json::value(nullptr)},
        {"expression", given ? *given : boost::json::value("")}};
    if (given && !given->is_string()) {
        reply["error"] = "expression must be a string, not " + std::string(fields::python_type_name(*given));
        kernel.send_object(reply);
        return;
    }
    const std::string expression = given ? std::string(given->get_string()) : std::string();
    if (!dbg) {
        reply["error"] = "No active debug session";
    } else if (dbg->evaluate_expression(expression, fields::echo(message, "request_id"))) {
        return;  // the paused worker evaluates in its frame and answers
    } else {
        reply["error"] = "The debugger is not paused";
    }
    kernel.send_object(reply);
}

void stop(Kernel& kernel, boost::json::object&&) { stop_active_run(kernel); }

void update_breakpoints(Kernel& kernel, boost::json::object&& message) {
    auto dbg = kernel.debugger();
    if (!dbg) {
        GLOG_WARN("[Kernel] Received debug_update_breakpoints but no active debugger");
        return;
    }
    const auto* bps = message.if_contains("breakpoints");
    if (!bps) {
        dbg->set_breakpoints({});
        GLOG_INFO("[Kernel] Updated breakpoints during debug session: 0 breakpoints");
    } else if (bps->is_array()) {
        dbg->set_breakpoints(bps->get_array());
        GLOG_INFO("[Kernel] Updated breakpoints during debug session: {} breakpoints", bps->get_array().size());
    } else {
        GLOG_WARN("[Kernel] Invalid breakpoints data type: {}", boost::json::to_string(bps->kind()));
        return;
    }
    kernel.control().submit([dbg](const GilHeld& gil) { dbg->ensure_traced(gil); });
}

}  // namespace gridlet::debugging
