#include "debugging/debug_control.hpp"

#include <boost/json.hpp>

#include "components/debugger.hpp"
#include "kernel/kernel.hpp"
#include "messaging/fields.hpp"
#include "util/log.hpp"

namespace gridlet::debugging {

void handle_control_message(Kernel& kernel, std::string_view type, const boost::json::object& message) {
    DebugSession* dbg = kernel.debugger();
    if (type == "debug_evaluate") {
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
        return;
    }
    if (type == "debug_update_breakpoints") {
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
        }
        return;
    }
    if (!dbg) return;
    if (type == "debug_continue") {
        dbg->continue_execution();
        kernel.send_json("{\"type\":\"debug_resumed\"}", {"debug_resumed", {}});
    } else if (type == "debug_step_over") {
        dbg->step_over();
    } else if (type == "debug_step_into") {
        dbg->step_into();
    } else if (type == "debug_step_out") {
        dbg->step_out();
    } else if (type == "debug_stop") {
        dbg->stop_debugging();
        kernel.send_object({{"type", "debug_terminated"}, {"workbook_id", kernel.workbook_id()}});
    }
}

}  // namespace gridlet::debugging
