#include "kernel/message_table.hpp"

#include <boost/json.hpp>

#include <unordered_map>

#include "components/com_events.hpp"
#include "debugging/debug_control.hpp"
#include "execution/code_executor.hpp"
#include "execution/execution_request.hpp"
#include "execution/interrupt_request.hpp"
#include "invocation/invocation.hpp"
#include "kernel/kernel.hpp"
#include "language/language_service.hpp"
#include "messaging/fields.hpp"
#include "modules/module_messages.hpp"
#include "modules/path_messages.hpp"
#include "services/object_keeper.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace {

using Message = boost::json::object;

// ---- listener: hand the work on, or answer at once

void execution_request(Kernel& k, Message&& m) { start_execution_request(k.handler_context(), std::move(m)); }
void custom_function_call(Kernel& k, Message&& m) {
    GLOG_INFO("[Kernel] [Listener Thread] Dispatching custom_function_call to worker");
    invocation::start_custom_function_call(k.handler_context(), std::move(m));
}
void python_function_call(Kernel& k, Message&& m) {
    GLOG_INFO("[Kernel] [Listener Thread] Dispatching python_function_call to worker");
    invocation::start_python_function_call(k.handler_context(), std::move(m));
}
void event_execution(Kernel& k, Message&& m) {
    GLOG_INFO("[Kernel] [Listener Thread] Dispatching event_execution to worker");
    invocation::start_event_execution(k.handler_context(), std::move(m));
}
void run_module(Kernel& k, Message&& m) {
    GLOG_INFO("[Kernel] [Listener Thread] Dispatching run_module to worker");
    invocation::start_run_module(k.handler_context(), std::move(m));
}
void streaming_function(Kernel& k, Message&& m) {
    GLOG_DEBUG("[TIMING] Dispatching streaming function to background task");
    GLOG_INFO("[Kernel] [Listener Thread] Dispatching execute_streaming_function to background task");
    invocation::start_streaming_function(k.handler_context(), std::move(m));
}
void cancel_streaming_function(Kernel& k, Message&& m) {
    auto id = fields::text(m, "request_id", std::nullopt, true);
    GLOG_INFO("[Kernel] Received cancel_streaming_function for request_id: {}", id.value_or("None"));
    k.mark_cancelled(id.value_or(""));
}
void interrupt_request(Kernel& k, Message&& m) { handle_interrupt_request(k.handler_context(), m); }
void sys_response(Kernel& k, Message&& m) { k.deliver_sys_response(m); }
void shutdown(Kernel& k, Message&&) { k.request_shutdown(); }
void language_request(Kernel& k, Message&& m) {
    std::string kind(fields::text(m, "type", "").value());
    k.language().submit(std::move(kind), std::move(m));
}
void set_hover_mode(Kernel& k, Message&& m) { k.language().set_hover_mode(m); }

// ---- with the GIL, on the control thread or a worker

void reset_namespace(Kernel& k, const GilHeld& gil, const Message&) {
    k.executor().reset_namespace(gil);
    k.send_json("{\"type\":\"namespace_reset\"}", {"namespace_reset", {}});
}
void get_object_registry(Kernel& k, const GilHeld& gil, const Message&) {
    GLOG_DEBUG("[Kernel] Received get_object_registry request");
    k.object_keeper().send_registry(gil);
}
void com_event_config_update(Kernel& k, const GilHeld&, const Message& m) {
    const auto* cfg = m.if_contains("com_config");
    if (auto registrar = k.com_registrar())
        registrar->apply_config(cfg ? *cfg : boost::json::value(boost::json::object{}));
    else GLOG_DEBUG("[Kernel] com_event_config_update received but registrar not active");
}

using R = Runs;
namespace dbg = debugging;

// One line per kind: name, where it runs, then the listener's `start` or the Python-side `apply`.
constexpr Route kRoutes[] = {
    {"execution_request", R::worker, execution_request, nullptr},
    {"custom_function_call", R::worker, custom_function_call, nullptr},
    {"python_function_call", R::worker, python_function_call, nullptr},
    {"event_execution", R::worker, event_execution, nullptr},
    {"execute_streaming_function", R::worker, streaming_function, nullptr},
    {"run_module", R::worker, run_module, nullptr},
    {"get_object_registry", R::worker, nullptr, get_object_registry},
    {"com_event_config_update", R::worker, nullptr, com_event_config_update},
    {"cancel_streaming_function", R::listener, cancel_streaming_function, nullptr},
    {"interrupt_request", R::listener, interrupt_request, nullptr},
    {"sys_response", R::listener, sys_response, nullptr},
    {"shutdown", R::listener, shutdown, nullptr},
    {"update_module", R::control, nullptr, modules::handle_update_module},
    {"delete_module", R::control, nullptr, modules::handle_delete_module},
    {"add_path", R::control, nullptr, paths::handle_path_message},
    {"remove_path", R::control, nullptr, paths::handle_path_message},
    {"reset_path", R::control, nullptr, paths::handle_path_message},
    {"set_package_paths", R::control, nullptr, paths::handle_path_message},
    {"set_python_paths", R::control, nullptr, paths::handle_path_message},
    {"unload_and_clear_paths", R::control, nullptr, paths::handle_path_message},
    {"reset_namespace", R::control, nullptr, reset_namespace},
    {"debug_update_breakpoints", R::control, dbg::update_breakpoints, nullptr},
    {"debug_stop", R::control, dbg::stop, nullptr},
    {"debug_continue", R::paused_worker, dbg::resume, nullptr},
    {"debug_step_over", R::paused_worker, dbg::resume, nullptr},
    {"debug_step_into", R::paused_worker, dbg::resume, nullptr},
    {"debug_step_out", R::paused_worker, dbg::resume, nullptr},
    {"debug_evaluate", R::paused_worker, dbg::evaluate, nullptr},
    {"completion_request", R::language, language_request, nullptr},
    {"signature_help_request", R::language, language_request, nullptr},
    {"hover_request", R::language, language_request, nullptr},
    {"diagnostic_request", R::language, language_request, nullptr},
    {"set_hover_mode", R::language, set_hover_mode, nullptr},
};

}  // namespace

std::string_view runs_name(Runs runs) {
    switch (runs) {
        case Runs::listener:
            return "listener";
        case Runs::worker:
            return "worker";
        case Runs::control:
            return "control";
        case Runs::language:
            return "language";
        case Runs::paused_worker:
            return "paused worker";
    }
    return "?";
}

std::span<const Route> message_routes() { return kRoutes; }

const Route* find_route(std::string_view kind) {
    static const auto index = [] {
        std::unordered_map<std::string_view, const Route*> map;
        for (const auto& r : kRoutes) map.emplace(r.kind, &r);
        return map;
    }();
    auto it = index.find(kind);
    return it == index.end() ? nullptr : it->second;
}

}  // namespace gridlet
