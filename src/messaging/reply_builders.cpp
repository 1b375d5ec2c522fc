#include "messaging/reply_builders.hpp"

#include "execution/error_json.hpp"
#include "messaging/json_text.hpp"

namespace gridlet::reply {
namespace {

void field(std::string& out, std::string_view key, std::string_view json) {
    out += ",\"";
    out += key;
    out += "\":";
    out += json;
}

void append_echo(std::string& out, const CallIds& ids, unsigned echo) {
    if (echo & Echo::request_id) field(out, "request_id", ids.request_id);
    if (echo & Echo::module_name) field(out, "module_name", ids.module_name);
    if (echo & Echo::function_name) field(out, "function_name", ids.function_name);
    if (echo & Echo::workbook_id) field(out, "workbook_id", ids.workbook_id);
    if (echo & Echo::source) field(out, "source", ids.source);
    out += '}';
}

void append_logs(std::string& out, std::string_view logs_json) {
    if (!logs_json.empty()) field(out, "logs", logs_json);
}

}  // namespace

std::string echo_tail(const CallIds& ids, unsigned echo) {
    std::string out;
    append_echo(out, ids, echo);
    return out;
}

std::string error_json(const ErrorRecord& e) { return error_record_json(e); }

std::string text_json(std::string_view text) {
    std::string out;
    json_text::append_string(out, text);
    return out;
}

std::string result_output(std::string_view repr, const CallIds& ids, unsigned echo) {
    const ResultOutput r = result_output_parts(repr, ids, echo);
    const MessageText t = r.text();
    std::string out;
    out.reserve(t.size());
    for (const auto& p : t.parts) out += p;
    return out;
}

ResultOutput result_output_parts(std::string_view repr, const CallIds& ids, unsigned echo) {
    ResultOutput r{{"{\"type\":\"result_output\",\"content\":\"Out: ", "\\n\""}, repr, {}, false};
    append_echo(r.frame.tail, ids, echo);
    if (json_text::needs_escape(repr)) {
        json_text::append_escaped(r.escaped, repr);
        r.use_escaped = true;
    }
    return r;
}

std::string execution_error(std::string_view error, std::string_view logs_json, const CallIds& ids, unsigned echo) {
    std::string out = "{\"type\":\"execution_error\",\"success\":false,\"error\":";
    out += error;
    append_logs(out, logs_json);
    append_echo(out, ids, echo);
    return out;
}

Framed execution_result(std::string_view logs_json, const CallIds& ids, unsigned echo) {
    Framed f{"{\"type\":\"execution_result\",\"success\":true,\"result\":", {}};
    append_logs(f.tail, logs_json);
    append_echo(f.tail, ids, echo);
    return f;
}

std::string function_execution_refused(std::string_view error, const CallIds& ids) {
    std::string out = "{\"type\":\"function_execution_result\"";
    field(out, "request_id", ids.request_id);
    out += ",\"status\":\"error\",\"error\":";
    out += error;
    out += '}';
    return out;
}

std::string function_execution_failed(std::string_view error, std::string_view logs_json, const CallIds& ids) {
    std::string out = "{\"type\":\"function_execution_result\"";
    field(out, "request_id", ids.request_id);
    out += ",\"status\":\"error\",\"result\":null";
    field(out, "logs", logs_json);
    field(out, "error", error);
    out += '}';
    return out;
}

Framed function_execution_result(std::string_view logs_json, const CallIds& ids) {
    Framed f;
    f.head = "{\"type\":\"function_execution_result\"";
    field(f.head, "request_id", ids.request_id);
    f.head += ",\"status\":\"success\",\"result\":";
    field(f.tail, "logs", logs_json);
    f.tail += '}';
    return f;
}

std::string python_function_failed(std::string_view error, std::string_view logs_json, const CallIds& ids) {
    std::string out = "{\"type\":\"python_function_result\",\"success\":false,\"error\":";
    out += error;
    append_logs(out, logs_json);
    append_echo(out, ids, Echo::request_id | Echo::workbook_id);
    return out;
}

Framed python_function_result(std::string_view logs_json, const CallIds& ids) {
    Framed f{"{\"type\":\"python_function_result\",\"success\":true,\"result\":", {}};
    append_logs(f.tail, logs_json);
    append_echo(f.tail, ids, Echo::request_id | Echo::workbook_id);
    return f;
}

std::string event_execution_result(std::string_view error, std::string_view logs_json, const CallIds& ids) {
    std::string out = "{\"type\":\"event_execution_result\",\"status\":";
    out += error.empty() ? "\"success\"" : "\"error\"";
    field(out, "logs", logs_json);
    field(out, "error", error.empty() ? std::string_view("null") : error);
    append_echo(out, ids, Echo::request_id | Echo::module_name | Echo::function_name | Echo::workbook_id);
    return out;
}

void append_stream_message(std::string& out, bool is_stderr, std::string_view utf8, std::string_view tail) {
    out += is_stderr ? "{\"type\":\"stderr\",\"content\":" : "{\"type\":\"stdout\",\"content\":";
    json_text::append_string(out, utf8);
    out += tail;
}

std::string display_data(std::string_view bundle, std::string_view tail) {
    std::string out = "{\"type\":\"display_data\",";
    out += bundle;
    out += tail;
    return out;
}

std::string workbook_tail(std::string_view workbook_json) {
    std::string out;
    field(out, "workbook_id", workbook_json);
    out += '}';
    return out;
}

std::string interrupt_reply(std::string_view request_id_json, const std::vector<std::string>& interrupted_json,
                            std::string_view workbook_json) {
    std::string out = "{\"type\":\"interrupt_reply\"";
    field(out, "request_id", request_id_json);
    out += ",\"interrupted\":[";
    for (std::size_t i = 0; i < interrupted_json.size(); ++i) {
        if (i) out += ',';
        out += interrupted_json[i];
    }
    out += ']';
    field(out, "workbook_id", workbook_json);
    out += '}';
    return out;
}

Framed streaming_value(const CallIds& ids, std::string_view workbook_json) {
    Framed f;
    f.head = "{\"type\":\"streaming_function_result\"";
    field(f.head, "request_id", ids.request_id);
    f.head += ",\"result\":";
    f.tail = ",\"done\":false";
    field(f.tail, "workbook_id", workbook_json);
    f.tail += '}';
    return f;
}

std::string streaming_canceled(const CallIds& ids, std::string_view workbook_json) {
    std::string out = "{\"type\":\"streaming_function_result\"";
    field(out, "request_id", ids.request_id);
    out += ",\"result\":\"Canceled\",\"done\":true";
    field(out, "workbook_id", workbook_json);
    out += '}';
    return out;
}

std::string streaming_done(std::string_view error, const CallIds& ids, std::string_view workbook_json) {
    std::string out = "{\"type\":\"streaming_function_result\"";
    field(out, "request_id", ids.request_id);
    if (!error.empty()) field(out, "error", error);
    out += ",\"done\":true";
    field(out, "workbook_id", workbook_json);
    out += '}';
    return out;
}

}  // namespace gridlet::reply
