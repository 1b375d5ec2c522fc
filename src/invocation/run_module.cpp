// run_module: a module function run normally (as a custom function call) or under the debugger.
#include <boost/json.hpp>

#include "debugging/debug_run.hpp"
#include "invocation/invocation.hpp"
#include "messaging/fields.hpp"
#include "util/log.hpp"

namespace gridlet::invocation {
namespace {

bool truthy(const boost::json::value* v) {
    if (!v) return false;
    switch (v->kind()) {
        case boost::json::kind::null:
            return false;
        case boost::json::kind::bool_:
            return v->get_bool();
        case boost::json::kind::int64:
            return v->get_int64() != 0;
        case boost::json::kind::uint64:
            return v->get_uint64() != 0;
        case boost::json::kind::double_:
            return v->get_double() != 0.0;
        case boost::json::kind::string:
            return !v->get_string().empty();
        case boost::json::kind::array:
            return !v->get_array().empty();
        case boost::json::kind::object:
            return !v->get_object().empty();
    }
    return false;
}

boost::json::value field_or(const boost::json::object& m, const char* key, boost::json::value fallback) {
    const auto* v = m.if_contains(key);
    return v ? *v : fallback;
}

}  // namespace

void start_run_module(HandlerContext ctx, boost::json::object&& message) {
    const bool debug = truthy(message.if_contains("debug"));
    GLOG_INFO("[Kernel] Received run_module: {}.{} (workbook_id={}, debug={}, source={}, request_id={})",
              fields::display(message, "module_name", ""), fields::display(message, "function_name", ""),
              fields::display(message, "workbook_id", ""), debug ? "True" : "False",
              fields::display(message, "source", "ide"), fields::display(message, "request_id"));
    boost::json::object call{{"type", "custom_function_call"},
                             {"module_name", field_or(message, "module_name", "")},
                             {"function_name", field_or(message, "function_name", "")},
                             {"args", field_or(message, "args", boost::json::array{})},
                             {"request_id", field_or(message, "request_id", nullptr)},
                             {"workbook_id", field_or(message, "workbook_id", "")},
                             {"source", field_or(message, "source", "ide")}};
    if (debug) {
        call["breakpoints"] = field_or(message, "breakpoints", boost::json::array{});
        debugging::start_debug_run(*ctx.kernel, std::move(call));
        return;
    }
    start_custom_function_call(ctx, std::move(call), /*time_limited=*/false);
}

}  // namespace gridlet::invocation
