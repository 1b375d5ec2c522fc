#pragma once
// The replies to calls of user code, built in one place. Every invocation kind echoes some of the
// same request fields (CallIds) and always in the same order: request_id, module_name,
// function_name, workbook_id, source. A reply that carries a call's result is built as a head and
// a tail around the result's JSON text, so a large result is framed from its one copy.
// GIL-free: plain text work.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "messaging/chunk_encoder.hpp"

namespace gridlet {

struct ErrorRecord;

// The request fields a call's replies echo, as JSON texts (already escaped, e.g. "\"r1\"" or null).
struct CallIds {
    std::string request_id = "null";
    std::string module_name = "\"\"";
    std::string function_name = "\"\"";
    std::string workbook_id = "null";
    std::string source = "null";
};

namespace reply {

// Which CallIds fields a reply echoes (written in the order above).
enum Echo : unsigned {
    request_id = 1u << 0,
    module_name = 1u << 1,
    function_name = 1u << 2,
    workbook_id = 1u << 3,
    source = 1u << 4,
    // The fields of a custom function call's replies.
    all = request_id | module_name | function_name | workbook_id | source,
    // The fields of a run's stream, display and result_output messages.
    run = request_id | workbook_id | source,
};

// A reply around a result's JSON text: head + result + tail.
struct Framed {
    std::string head, tail;
    MessageText around(std::string_view result_json) const { return {head, result_json, tail}; }
};

// ,"request_id":…,…} — the echoed fields that close a reply.
std::string echo_tail(const CallIds& ids, unsigned echo);

// The JSON values of a reply's "error": an error record object, or a traceback text as a string.
std::string error_json(const ErrorRecord& e);
std::string text_json(std::string_view text);

// {"type":"result_output","content":"Out: <repr>\n",<echo>}
std::string result_output(std::string_view repr, const CallIds& ids, unsigned echo = Echo::run);
// The same message as pieces around the repr, which is sent as it is when it needs no escaping
// (a large result's repr is then never copied); otherwise its escaped copy is kept here.
struct ResultOutput {
    Framed frame;
    std::string_view repr;
    std::string escaped;
    bool use_escaped = false;
    MessageText text() const { return frame.around(use_escaped ? std::string_view(escaped) : repr); }
};
ResultOutput result_output_parts(std::string_view repr, const CallIds& ids, unsigned echo = Echo::run);

// {"type":"execution_error","success":false,"error":E[,"logs":L],<echo>}  (`logs_json` empty: no logs)
std::string execution_error(std::string_view error, std::string_view logs_json, const CallIds& ids, unsigned echo);
// {"type":"execution_result","success":true,"result":…[,"logs":L],<echo>}
Framed execution_result(std::string_view logs_json, const CallIds& ids, unsigned echo);

// {"type":"function_execution_result","request_id":R,"status":"error","error":<record>}
std::string function_execution_refused(std::string_view error, const CallIds& ids);
// {"type":"function_execution_result","request_id":R,"status":"error","result":null,"logs":L,"error":E}
std::string function_execution_failed(std::string_view error, std::string_view logs_json, const CallIds& ids);
// {"type":"function_execution_result","request_id":R,"status":"success","result":…,"logs":L}
Framed function_execution_result(std::string_view logs_json, const CallIds& ids);

// {"type":"python_function_result","success":false,"error":E[,"logs":L],"request_id":R,"workbook_id":W}
std::string python_function_failed(std::string_view error, std::string_view logs_json, const CallIds& ids);
// {"type":"python_function_result","success":true,"result":…,"logs":L,"request_id":R,"workbook_id":W}
Framed python_function_result(std::string_view logs_json, const CallIds& ids);

// {"type":"event_execution_result","status":…,"logs":L,"error":E|null,"request_id","module_name",
// "function_name","workbook_id"}  (`error` empty: success)
std::string event_execution_result(std::string_view error, std::string_view logs_json, const CallIds& ids);

// Output of a run, closed by the run's `tail` (echo_tail(ids, Echo::run)) or, outside a run, by
// ,"workbook_id":W}.
// {"type":"stdout"|"stderr","content":C<tail>; appended to `out` (the hot path reuses its buffer)
void append_stream_message(std::string& out, bool is_stderr, std::string_view utf8, std::string_view tail);
// {"type":"display_data",<bundle><tail>  (`bundle` is "data":{…},"metadata":{…})
std::string display_data(std::string_view bundle, std::string_view tail);
// ,"workbook_id":W}
std::string workbook_tail(std::string_view workbook_json);

// {"type":"interrupt_reply","request_id":R,"interrupted":[…],"workbook_id":W}
std::string interrupt_reply(std::string_view request_id_json, const std::vector<std::string>& interrupted_json,
                            std::string_view workbook_json);

// A stream's replies carry the connection's workbook id (`workbook_json`), not the request's.
// {"type":"streaming_function_result","request_id":R,"result":…,"done":false,"workbook_id":W}
Framed streaming_value(const CallIds& ids, std::string_view workbook_json);
// {"type":"streaming_function_result","request_id":R,"result":"Canceled","done":true,"workbook_id":W}
std::string streaming_canceled(const CallIds& ids, std::string_view workbook_json);
// {"type":"streaming_function_result","request_id":R[,"error":E],"done":true,"workbook_id":W}
// (`error` empty: the stream completed)
std::string streaming_done(std::string_view error, const CallIds& ids, std::string_view workbook_json);

}  // namespace reply
}  // namespace gridlet
