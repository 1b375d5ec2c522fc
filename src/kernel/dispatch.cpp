// The single entry for every decoded incoming message, on the listener thread, without the GIL:
// chunks are reassembled, then the kind is looked up in the message table and handed on.
#include <boost/json.hpp>

#include "execution/tracebacks.hpp"
#include "kernel/kernel.hpp"
#include "kernel/message_table.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_bigint.hpp"
#include "messaging/json_parse.hpp"
#include "messaging/json_text.hpp"
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
        auto done = chunks_.add(message);
        if (!done) return After::next;
        if (done->ec) {
            GLOG_ERROR("[Kernel] Failed to parse reassembled message: {}", done->ec.message());
            return After::next;
        }
        boost::json::value& whole = done->value;
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
        handle_object(message);
        if (shutdown_requested_) return After::shutdown;
    } catch (const std::exception& e) {
        GLOG_ERROR("[Kernel] Error handling message type {}: {}", fields::display(message, "type"), e.what());
        send_error_reply(e.what(), message.if_contains("type"), message.if_contains("request_id"));
    }
    return After::next;
}

void Kernel::handle_object(boost::json::object& message) {
    const Route* route = find_route(type_of(message));
    if (!route) return;  // an unknown kind is ignored
    if (route->start) {
        route->start(*this, std::move(message));
        return;
    }
    // The Python side of the kind runs on the control thread (state changes, in arrival order) or
    // on a worker; a failure is answered the way dispatch answers any failing handler.
    auto task = [this, apply = route->apply, m = std::move(message)](const GilHeld& gil) {
        try {
            apply(*this, gil, m);
        } catch (const PythonErrorSet&) {
            std::string text = error_record_from_pending(gil).message;
            GLOG_ERROR("[Kernel] Error handling message type {}: {}", fields::display(m, "type"), text);
            send_error_reply(text, m.if_contains("type"), m.if_contains("request_id"));
        } catch (const std::exception& e) {
            GLOG_ERROR("[Kernel] Error handling message type {}: {}", fields::display(m, "type"), e.what());
            send_error_reply(e.what(), m.if_contains("type"), m.if_contains("request_id"));
        }
    };
    if (route->runs == Runs::control) control_.submit(std::move(task));
    else pool_.submit(std::move(task));
}

void Kernel::deliver_sys_response(boost::json::object& message) {
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
    std::string id = id_v && id_v->is_string()  ? std::string(id_v->get_string())
                     : id_v && !id_v->is_null() ? json_text::serialize(*id_v)
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
