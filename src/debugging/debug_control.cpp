#include "debugging/debug_control.hpp"

#include <boost/json.hpp>

#include "components/debugger.hpp"
#include "kernel/kernel.hpp"
#include "messaging/fields.hpp"
#include "util/log.hpp"

namespace gridlet::debugging {

void resume(Kernel& kernel, boost::json::object&& message) {
    auto dbg = kernel.debugger();
    if (!dbg) return;
    const std::string_view type = message.at("type").get_string();
    if (type == "debug_continue") {
        dbg->continue_execution();
        kernel.send_json("{\"type\":\"debug_resumed\"}", {"debug_resumed", {}});
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
    std::string expression = fields::text(message, "expression", "").value();
    boost::json::object reply{{"type", "debug_evaluate_result"},
                              {"workbook_id", kernel.workbook_id()},
                              {"request_id", message.contains("request_id") ? message.at("request_id")
                                                                            : boost::json::value(nullptr)},
                              {"expression", expression}};
    if (!dbg) {
        reply["error"] = "No active debug session";
    } else if (dbg->evaluate_expression(expression, fields::echo(message, "request_id"))) {
        return;  // the paused worker evaluates in its frame and answers
    } else {
        reply["error"] = "The debugger is not paused";
    }
    kernel.send_object(reply);
}

void update_breakpoints(Kernel& kernel, const GilHeld& gil, const boost::json::object& message) {
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
    dbg->ensure_traced(gil);
}

void stop(Kernel& kernel, const GilHeld& gil, const boost::json::object&) {
    auto dbg = kernel.debugger();
    if (!dbg) return;
    dbg->stop_debugging();
    dbg->ensure_traced(gil);
    kernel.send_object({{"type", "debug_terminated"}, {"workbook_id", kernel.workbook_id()}});
}

}  // namespace gridlet::debugging
