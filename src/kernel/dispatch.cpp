// The single entry for every decoded incoming message, on the listener thread. Routing is done
// without the GIL; kinds that run user code go to the worker pool, and only the short handlers that
// change Python state (modules, paths, namespace) take the GIL here.
#include <boost/json.hpp>

#include "components/com_events.hpp"
#include "debugging/debug_control.hpp"
#include "execution/code_executor.hpp"
#include "execution/execution_request.hpp"
#include "execution/interrupt_request.hpp"
#include "invocation/invocation.hpp"
#include "kernel/kernel.hpp"
#include "language/language_service.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_bigint.hpp"
#include "messaging/json_parse.hpp"
#include "messaging/json_text.hpp"
#include "modules/module_messages.hpp"
#include "modules/path_messages.hpp"
#include "services/object_keeper.hpp"
#include "util/log.hpp"

namespace gridlet {

namespace {

std::string_view type_of(const boost::json::object& m) {
    const auto* t = m.if_contains("type");
    return t && t->is_string() ? std::string_view(t->get_string()) : std::string_view();
}

}  // namespace

Kernel::After Kernel::handle_message(boost::json::value&& value) {
    if (!value.is_object()) {
        GLOG_ERROR("[Kernel] Received a message that is not a JSON object");
        send_error_reply("Message must be a JSON object", nullptr, nullptr);
        return After::next;
    }
    auto& message = value.get_object();
    const std::string_view type = type_of(message);

    if (type == "chunk") {
        auto text = chunks_.add(message);
        if (!text) return After::next;
        boost::system::error_code ec;
        boost::json::value whole = json_parse::parse(*text, ec);
        if (ec) {
            GLOG_ERROR("[Kernel] Failed to parse reassembled message: {}", ec.message());
            return After::next;
        }
        if (whole.is_object() && type_of(whole.get_object()) == "chunk") {
            GLOG_ERROR("[Kernel] Nested chunk message detected for chunk_id {}, rejecting",
                       fields::display(message, "chunk_id"));
            return After::next;
        }
        return handle_message(std::move(whole));
    }

    if (log::debug_enabled()) {
        GLOG_DEBUG("[TIMING] Message received: type={}, request_id={}", fields::display(message, "type"),
                   fields::display(message, "request_id", "N/A"));
        GLOG_DEBUG("[Kernel] [Listener Thread] Received message type: {}", fields::display(message, "type"));
    }
    try {
        if (type == "shutdown") return After::shutdown;
        handle_object(message);
    } catch (const std::exception& e) {
        GLOG_ERROR("[Kernel] Error handling message type {}: {}", fields::display(message, "type"), e.what());
        send_error_reply(e.what(), message.if_contains("type"), message.if_contains("request_id"));
    }
    return After::next;
}

void Kernel::handle_object(boost::json::object& message) {
    const std::string_view type = type_of(message);
    if (type.empty()) return;

    // Hot paths first: these never take the GIL on the listener.
    if (type == "custom_function_call") {
        GLOG_INFO("[Kernel] [Listener Thread] Dispatching custom_function_call to worker");
        invocation::start_custom_function_call(*this, std::move(message));
    } else if (type == "sys_response") {
        handle_sys_response(message);
    } else if (type == "execution_request") {
        start_execution_request(*this, std::move(message));
    } else if (type == "execute_streaming_function") {
        GLOG_DEBUG("[TIMING] Dispatching streaming function to background task");
        GLOG_INFO("[Kernel] [Listener Thread] Dispatching execute_streaming_function to background task");
        invocation::start_streaming_function(*this, std::move(message));
    } else if (type == "cancel_streaming_function") {
        auto id = fields::text(message, "request_id", std::nullopt, true);
        GLOG_INFO("[Kernel] Received cancel_streaming_function for request_id: {}", id.value_or("None"));
        mark_cancelled(id.value_or(""));
    } else if (type == "interrupt_request") {
        handle_interrupt_request(*this, message);
    } else if (type == "python_function_call") {
        GLOG_INFO("[Kernel] [Listener Thread] Dispatching python_function_call to worker");
        invocation::start_python_function_call(*this, std::move(message));
    } else if (type == "event_execution") {
        GLOG_INFO("[Kernel] [Listener Thread] Dispatching event_execution to worker");
        invocation::start_event_execution(*this, std::move(message));
    } else if (type == "run_module") {
        GLOG_INFO("[Kernel] [Listener Thread] Dispatching run_module to worker");
        invocation::start_run_module(*this, std::move(message));
    } else if (type == "update_module") {
        modules::handle_update_module(*this, message);
    } else if (type == "delete_module") {
        modules::handle_delete_module(*this, message);
    } else if (type == "add_path" || type == "remove_path" || type == "reset_path" || type == "set_package_paths" ||
               type == "set_python_paths" || type == "unload_and_clear_paths") {
        paths::handle_path_message(*this, type, message);
    } else if (type == "reset_namespace") {
        GilGuard gil;
        executor_->reset_namespace(gil.held());
        send_json("{\"type\":\"namespace_reset\"}", {"namespace_reset", {}});
    } else if (type == "completion_request" || type == "signature_help_request" || type == "hover_request" ||
               type == "diagnostic_request") {
        language_->submit(std::string(type), std::move(message));
    } else if (type == "set_hover_mode") {
        language_->set_hover_mode(message);
    } else if (type == "com_event_config_update") {
        const auto* cfg = message.if_contains("com_config");
        if (auto registrar = com_registrar())
            registrar->apply_config(cfg ? *cfg : boost::json::value(boost::json::object{}));
        else GLOG_DEBUG("[Kernel] com_event_config_update received but registrar not active");
    } else if (type == "get_object_registry") {
        GLOG_DEBUG("[Kernel] Received get_object_registry request");
        object_keeper_->send_registry();
    } else if (type.starts_with("debug_")) {
        debugging::handle_control_message(*this, type, message);
    }
    // Any other type is ignored.
}

void Kernel::handle_sys_response(boost::json::object& message) {
    boost::json::object payload;
    auto* nested = message.if_contains("payload");
    auto is_empty = [](const boost::json::value& v) {
        return v.is_null() || (v.is_object() && v.get_object().empty()) || (v.is_array() && v.get_array().empty()) ||
               (v.is_string() && v.get_string().empty()) || (v.is_bool() && !v.get_bool()) ||
               (v.is_int64() && v.get_int64() == 0) || (v.is_double() && v.get_double() == 0.0);
    };
    if (nested && !is_empty(*nested)) {
        if (!nested->is_object() || json_bigint::digits(*nested))
            throw fields::FieldError("sys_response payload must be an object");
        payload = std::move(nested->get_object());
    } else {
        payload = message;
    }
    const auto* id_v = payload.if_contains("requestId");
    std::string id = id_v && id_v->is_string() ? std::string(id_v->get_string())
                     : id_v && !id_v->is_null()  ? json_text::serialize(*id_v)
                                                 : std::string();
    GLOG_DEBUG("[Kernel] [Listener Thread] Received sys_response for request_id: {}, unblocking worker",
               id.empty() ? "None" : id);
    if (id.empty()) {
        GLOG_WARN("[Kernel] Received sys_response without requestId");
        return;
    }
    if (host_requests_.deliver(id, std::move(payload))) {
        GLOG_DEBUG("[Kernel] [Listener Thread] Worker unblocked for request_id: {}", id);
    } else {
        GLOG_WARN("[Kernel] Received sys_response for unknown request_id: {}", id);
    }
}

}  // namespace gridlet
