#include "execution/interrupt_request.hpp"

#include <boost/json.hpp>

#include "execution/active_runs.hpp"
#include "kernel/replies.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_text.hpp"
#include "messaging/reply_builders.hpp"
#include "util/log.hpp"

namespace gridlet {

void handle_interrupt_request(HandlerContext ctx, const boost::json::object& message) {
    std::optional<std::string> id_json;
    if (const auto* id = message.if_contains("request_id"); id && !id->is_null()) {
        if (!id->is_string()) throw fields::FieldError("Field 'request_id' must be a string or null");
        id_json = json_text::serialize(*id);
    }
    std::vector<std::string> signalled = ctx.runs.interrupt(id_json);

    const std::string text =
        reply::interrupt_reply(id_json.value_or("null"), signalled, ctx.replies.workbook_id_json());
    ctx.replies.send(text, {"interrupt_reply", id_json ? std::string_view(*id_json) : std::string_view()});

    const std::string display = fields::display(message, "request_id");
    if (id_json && signalled.empty())
        GLOG_WARN("[Kernel] interrupt_request for request_id {}: no active run has that id", display);
    else
        GLOG_INFO("[Kernel] [Listener Thread] interrupt_request (request_id={}): {} run(s) interrupted", display,
                  signalled.size());
}

}  // namespace gridlet
