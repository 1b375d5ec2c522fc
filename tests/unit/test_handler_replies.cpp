// Handlers against a fake reply sink: refusals leave as exact texts without a kernel or a
// connection, and every reply builder writes the bytes the Business Layer compares.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "execution/active_runs.hpp"
#include "execution/execution_request.hpp"
#include "execution/interrupt_request.hpp"
#include "execution/tracebacks.hpp"
#include "invocation/invocation.hpp"
#include "kernel/control_queue.hpp"
#include "kernel/handler_context.hpp"
#include "kernel/replies.hpp"
#include "kernel/worker_pool.hpp"
#include "messaging/reply_builders.hpp"
#include "python_environment.hpp"

namespace {

using namespace gridlet;

struct Posted {
    std::string text, type, request_id;
    bool from_listener;
};

class FakeReplies final : public Replies {
public:
    // Filled by the listener (the test's thread) or a worker; read after wait_for().
    std::vector<Posted> posted;
    std::string workbook = "\"wb-conn\"";

    void send(const MessageText& json, MessageInfo info) override { record(json, info, true); }
    Sequence post(const GilHeld&, const MessageText& json, MessageInfo info) override {
        return record(json, info, false);
    }
    Sequence post_all(const GilHeld&, std::initializer_list<Message> messages) override {
        Sequence last = 0;
        for (const auto& m : messages)
            if (!m.json.empty()) last = record(m.json, m.info, false);
        return last;
    }
    const std::string& workbook_id_json() const override { return workbook; }
    void restore_stream_hooks(const GilHeld&) override {}

    // Waits (at most 10 s) until `count` messages were posted.
    bool wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        return posted_cv_.wait_for(lock, std::chrono::seconds(10), [&] { return posted.size() >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable posted_cv_;

    Sequence record(const MessageText& json, MessageInfo info, bool listener) {
        std::string text;
        for (auto part : json.parts) text += part;
        std::lock_guard lock(mutex_);
        posted.push_back({text, std::string(info.type), std::string(info.request_id_json), listener});
        posted_cv_.notify_all();
        return posted.size();
    }
};

// The services a handler gets; the pool is never started: refusals must not reach it.
struct Harness {
    FakeReplies replies;
    WorkerPool pool{"test-pool"};
    ActiveRuns runs;
    ControlQueue control;
    HandlerContext context() { return {replies, pool, runs, control}; }
};

boost::json::object message(const char* json) { return boost::json::parse(json).as_object(); }

const char* kMissingModule = R"({"type":"ValidationError","message":"Missing module_name","traceback":""})";

TEST(HandlerRefusals, CustomFunctionCallAnswersWithTheErrorPairOnTheListener) {
    struct Case {
        const char* request;
        std::string error;
        std::string echoed;  // ,"request_id":…} of the execution_error
    };
    const Case cases[] = {
        {R"({"type":"custom_function_call","function_name":"add","request_id":"r1","workbook_id":"wb"})",
         kMissingModule,
         R"("request_id":"r1","module_name":"","function_name":"add","workbook_id":"wb","source":"addin"})"},
        {R"({"type":"custom_function_call","module_name":"m","function_name":"","request_id":"r2","source":"ide"})",
         R"({"type":"ValidationError","message":"Missing function_name","traceback":""})",
         R"("request_id":"r2","module_name":"m","function_name":"","workbook_id":null,"source":"ide"})"},
        {R"({"type":"custom_function_call","module_name":5,"function_name":"f","request_id":"r3","workbook_id":"wb"})",
         R"({"type":"TypeError","message":"Field 'module_name' must be a string","traceback":""})",
         R"("request_id":"r3","module_name":5,"function_name":"f","workbook_id":"wb","source":"addin"})"},
    };
    for (const auto& c : cases) {
        Harness h;
        invocation::start_custom_function_call(h.context(), message(c.request));
        ASSERT_EQ(h.replies.posted.size(), 2u) << c.request;
        const auto rid = boost::json::serialize(boost::json::parse(c.request).as_object().at("request_id"));
        EXPECT_EQ(h.replies.posted[0].text,
                  R"({"type":"execution_error","success":false,"error":)" + c.error + "," + c.echoed);
        EXPECT_EQ(h.replies.posted[1].text, R"({"type":"function_execution_result","request_id":)" + rid +
                                                R"(,"status":"error","error":)" + c.error + "}");
        EXPECT_EQ(h.replies.posted[0].type, "execution_error");
        EXPECT_EQ(h.replies.posted[1].type, "function_execution_result");
        for (const auto& p : h.replies.posted) {
            EXPECT_TRUE(p.from_listener);
            EXPECT_EQ(p.request_id, rid);
        }
    }
}

TEST(HandlerRefusals, RunModuleWithoutAModuleIsRefusedAsAnIdeCall) {
    Harness h;
    invocation::start_run_module(h.context(),
                                 message(R"({"type":"run_module","function_name":"add","request_id":"r9"})"));
    ASSERT_EQ(h.replies.posted.size(), 2u);
    EXPECT_EQ(h.replies.posted[0].text,
              std::string(R"({"type":"execution_error","success":false,"error":)") + kMissingModule +
                  R"(,"request_id":"r9","module_name":"","function_name":"add","workbook_id":"","source":"ide"})");
}

TEST(HandlerRefusals, PythonFunctionCallNeedsACallableId) {
    struct Case {
        const char* request;
        const char* reply;
    };
    const Case cases[] = {
        {R"({"type":"python_function_call","request_id":"c1","workbook_id":"wb-c"})",
         R"({"type":"python_function_result","success":false,"error":{"type":"ValidationError","message":"Missing callable_id","traceback":""},"request_id":"c1","workbook_id":"wb-c"})"},
        {R"({"type":"python_function_call","callable_id":"","request_id":null})",
         R"({"type":"python_function_result","success":false,"error":{"type":"ValidationError","message":"Missing callable_id","traceback":""},"request_id":null,"workbook_id":null})"},
        {R"({"type":"python_function_call","callable_id":[1],"request_id":"c3","workbook_id":"w"})",
         R"({"type":"python_function_result","success":false,"error":{"type":"TypeError","message":"Field 'callable_id' must be a string","traceback":""},"request_id":"c3","workbook_id":"w"})"},
    };
    for (const auto& c : cases) {
        Harness h;
        invocation::start_python_function_call(h.context(), message(c.request));
        ASSERT_EQ(h.replies.posted.size(), 1u) << c.request;
        EXPECT_EQ(h.replies.posted[0].text, c.reply);
        EXPECT_EQ(h.replies.posted[0].type, "python_function_result");
        EXPECT_TRUE(h.replies.posted[0].from_listener);
    }
}

TEST(HandlerRefusals, ExecutionRequestWithFieldsOfTheWrongTypeIsAnExecutionError) {
    struct Case {
        const char* request;
        const char* reply;
    };
    const Case cases[] = {
        {R"({"type":"execution_request","code":"1","request_id":7})",
         R"({"type":"execution_error","success":false,"error":{"type":"TypeError","message":"Field 'request_id' must be a string or null","traceback":"TypeError: Field 'request_id' must be a string or null\n"},"request_id":7,"source":"ide"})"},
        {R"({"type":"execution_request","code":5,"request_id":"e2","source":"addin"})",
         R"({"type":"execution_error","success":false,"error":{"type":"TypeError","message":"Field 'code' must be a string","traceback":"TypeError: Field 'code' must be a string\n"},"request_id":"e2","source":"addin"})"},
    };
    for (const auto& c : cases) {
        Harness h;
        start_execution_request(h.context(), message(c.request));
        ASSERT_EQ(h.replies.posted.size(), 1u) << c.request;
        EXPECT_EQ(h.replies.posted[0].text, c.reply);
        EXPECT_EQ(h.replies.posted[0].type, "execution_error");
    }
}

TEST(HandlerRefusals, StreamingFunctionEndsAtOnceCarryingTheConnectionsWorkbook) {
    struct Case {
        const char* request;
        const char* reply;
    };
    const Case cases[] = {
        {R"({"type":"execute_streaming_function","module_name":"m","function_name":"g","workbook_id":"wb"})",
         R"({"type":"streaming_function_result","request_id":null,"error":"execute_streaming_function requires 'request_id' as a string","done":true,"workbook_id":"wb-conn"})"},
        {R"({"type":"execute_streaming_function","request_id":"s1","module_name":"m","function_name":3})",
         R"({"type":"streaming_function_result","request_id":"s1","error":"execute_streaming_function requires 'function_name' as a string, not int","done":true,"workbook_id":"wb-conn"})"},
        {R"({"type":"execute_streaming_function","request_id":"s2","module_name":"m","function_name":"g","args":{}})",
         R"({"type":"streaming_function_result","request_id":"s2","error":"execute_streaming_function requires 'args' as a list, not dict","done":true,"workbook_id":"wb-conn"})"},
    };
    for (const auto& c : cases) {
        Harness h;
        invocation::start_streaming_function(h.context(), message(c.request));
        ASSERT_EQ(h.replies.posted.size(), 1u) << c.request;
        EXPECT_EQ(h.replies.posted[0].text, c.reply);
        EXPECT_TRUE(h.replies.posted[0].from_listener);
    }
}

TEST(HandlerRefusals, InterruptWithNoRunsAnswersAnEmptyListAndRefusesABadId) {
    Harness h;
    handle_interrupt_request(h.context(), message(R"({"type":"interrupt_request","request_id":"x"})"));
    handle_interrupt_request(h.context(), message(R"({"type":"interrupt_request"})"));
    ASSERT_EQ(h.replies.posted.size(), 2u);
    EXPECT_EQ(h.replies.posted[0].text,
              R"({"type":"interrupt_reply","request_id":"x","interrupted":[],"workbook_id":"wb-conn"})");
    EXPECT_EQ(h.replies.posted[0].request_id, "\"x\"");
    EXPECT_EQ(h.replies.posted[1].text,
              R"({"type":"interrupt_reply","request_id":null,"interrupted":[],"workbook_id":"wb-conn"})");
    EXPECT_THROW(handle_interrupt_request(h.context(), message(R"({"type":"interrupt_request","request_id":1})")),
                 std::runtime_error);
    EXPECT_EQ(h.replies.posted.size(), 2u);
}

// The Python side of a call, on a real worker, still against the fake sink: paths that end before
// any wire conversion need no kernel.
TEST(HandlerWorkerReplies, ArgumentsThatAreNotAListAreRefusedFromTheWorker) {
    test_support::ensure_python();
    Harness h;
    h.pool.start(1);
    invocation::start_custom_function_call(
        h.context(),
        message(
            R"({"type":"custom_function_call","module_name":"m","function_name":"f","args":{"a":1},"request_id":"w1","workbook_id":"wb"})"));
    ASSERT_TRUE(h.replies.wait_for(2));
    h.pool.shutdown();
    ASSERT_EQ(h.replies.posted.size(), 2u);
    const auto& first = h.replies.posted[0].text;
    const std::string head =
        R"({"type":"execution_error","success":false,"error":{"type":"TypeError","message":"args must be a list, not dict","traceback":"Traceback (most recent call last):\n)";
    EXPECT_EQ(first.substr(0, head.size()), head);
    const std::string tail =
        R"(TypeError: args must be a list, not dict\n"},"request_id":"w1","module_name":"m","function_name":"f","workbook_id":"wb","source":"addin"})";
    ASSERT_GE(first.size(), tail.size());
    EXPECT_EQ(first.substr(first.size() - tail.size()), tail);
    const auto record_at = first.find("\"error\":") + 8;
    const std::string record = first.substr(record_at, first.find(",\"request_id\"") - record_at);
    EXPECT_EQ(h.replies.posted[1].text,
              R"({"type":"function_execution_result","request_id":"w1","status":"error","error":)" + record + "}");
    for (const auto& p : h.replies.posted) EXPECT_FALSE(p.from_listener);
}

TEST(HandlerWorkerReplies, AnUnknownCallableIsAFailedPythonFunctionResult) {
    test_support::ensure_python();
    PyObject* bridge = nullptr;
    {
        PyGILState_STATE g = PyGILState_Ensure();
        PyObject* globals = PyDict_New();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
        PyObject* r = PyRun_String(
            "import types\n"
            "bridge = types.SimpleNamespace(messaging=types.SimpleNamespace(get_callable=lambda i: None))\n",
            Py_file_input, globals, globals);
        Py_XDECREF(r);
        bridge = PyDict_GetItemString(globals, "bridge");
        Py_XINCREF(bridge);
        Py_DECREF(globals);
        PyGILState_Release(g);
    }
    ASSERT_NE(bridge, nullptr);
    Harness h;
    h.pool.start(1);
    HandlerContext ctx = h.context();
    ctx.bridge = bridge;
    invocation::start_python_function_call(
        ctx, message(R"({"type":"python_function_call","callable_id":"nope","request_id":"p1","workbook_id":"wb"})"));
    ASSERT_TRUE(h.replies.wait_for(1));
    h.pool.shutdown();
    ASSERT_EQ(h.replies.posted.size(), 1u);
    EXPECT_EQ(
        h.replies.posted[0].text,
        R"({"type":"python_function_result","success":false,"error":"ValueError: Callable 'nope' not found in registry\n","logs":"","request_id":"p1","workbook_id":"wb"})");
    EXPECT_FALSE(h.replies.posted[0].from_listener);
    PyGILState_STATE g = PyGILState_Ensure();
    Py_DECREF(bridge);
    PyGILState_Release(g);
}

// The builders against the exact texts of each reply kind.
TEST(ReplyBuilders, WriteEachKindsFieldsInItsOrder) {
    CallIds ids;
    ids.request_id = "\"r\"";
    ids.module_name = "\"m\"";
    ids.function_name = "\"f\"";
    ids.workbook_id = "\"wb\"";
    ids.source = "\"addin\"";
    const std::string logs = "\"hi\\n\"";
    const std::string err = reply::text_json("Traceback \"x\"\n");
    EXPECT_EQ(err, R"("Traceback \"x\"\n")");
    EXPECT_EQ(reply::error_json(ErrorRecord{"E", "m", ""}), R"({"type":"E","message":"m","traceback":""})");

    EXPECT_EQ(reply::echo_tail(ids, reply::Echo::run), R"(,"request_id":"r","workbook_id":"wb","source":"addin"})");
    EXPECT_EQ(
        reply::result_output("'a\tb'", ids),
        R"({"type":"result_output","content":"Out: 'a\tb'\n","request_id":"r","workbook_id":"wb","source":"addin"})");
    EXPECT_EQ(reply::result_output("3", ids, reply::Echo::request_id | reply::Echo::workbook_id),
              R"({"type":"result_output","content":"Out: 3\n","request_id":"r","workbook_id":"wb"})");

    // A repr that needs no escaping is sent from its own text; one that does, from an escaped copy.
    const std::string plain_repr = "[1.5, 'x\xC3\xA9']";
    const auto as_is = reply::result_output_parts(plain_repr, ids);
    EXPECT_EQ(as_is.text().parts[1].data(), plain_repr.data());
    const auto escaped = reply::result_output_parts("'\"\\\x01'", ids);
    EXPECT_EQ(std::string(escaped.text().parts[1]), R"('\"\\\u0001')");
    EXPECT_EQ(
        reply::execution_error(err, logs, ids, reply::Echo::all),
        R"({"type":"execution_error","success":false,"error":"Traceback \"x\"\n","logs":"hi\n","request_id":"r","module_name":"m","function_name":"f","workbook_id":"wb","source":"addin"})");
    EXPECT_EQ(reply::execution_error("{}", {}, ids, reply::Echo::request_id | reply::Echo::source),
              R"({"type":"execution_error","success":false,"error":{},"request_id":"r","source":"addin"})");

    const auto result = reply::execution_result(logs, ids, reply::Echo::all);
    const MessageText framed = result.around("[1,2]");
    EXPECT_EQ(framed.parts[1], "[1,2]");  // the result is framed from its own copy
    EXPECT_EQ(
        std::string(framed.parts[0]) + std::string(framed.parts[1]) + std::string(framed.parts[2]),
        R"({"type":"execution_result","success":true,"result":[1,2],"logs":"hi\n","request_id":"r","module_name":"m","function_name":"f","workbook_id":"wb","source":"addin"})");
    const auto plain = reply::execution_result(
        {}, ids, reply::Echo::request_id | reply::Echo::function_name | reply::Echo::workbook_id | reply::Echo::source);
    EXPECT_EQ(
        plain.head + "null" + plain.tail,
        R"({"type":"execution_result","success":true,"result":null,"request_id":"r","function_name":"f","workbook_id":"wb","source":"addin"})");

    EXPECT_EQ(reply::function_execution_refused("{}", ids),
              R"({"type":"function_execution_result","request_id":"r","status":"error","error":{}})");
    EXPECT_EQ(
        reply::function_execution_failed(err, logs, ids),
        R"({"type":"function_execution_result","request_id":"r","status":"error","result":null,"logs":"hi\n","error":"Traceback \"x\"\n"})");
    const auto fer = reply::function_execution_result(logs, ids);
    EXPECT_EQ(fer.head + "7" + fer.tail,
              R"({"type":"function_execution_result","request_id":"r","status":"success","result":7,"logs":"hi\n"})");

    EXPECT_EQ(
        reply::python_function_failed(err, logs, ids),
        R"({"type":"python_function_result","success":false,"error":"Traceback \"x\"\n","logs":"hi\n","request_id":"r","workbook_id":"wb"})");
    const auto pfr = reply::python_function_result(logs, ids);
    EXPECT_EQ(
        pfr.head + "\"v\"" + pfr.tail,
        R"({"type":"python_function_result","success":true,"result":"v","logs":"hi\n","request_id":"r","workbook_id":"wb"})");

    EXPECT_EQ(
        reply::event_execution_result({}, logs, ids),
        R"({"type":"event_execution_result","status":"success","logs":"hi\n","error":null,"request_id":"r","module_name":"m","function_name":"f","workbook_id":"wb"})");
    EXPECT_EQ(
        reply::event_execution_result(err, "\"\"", ids),
        R"({"type":"event_execution_result","status":"error","logs":"","error":"Traceback \"x\"\n","request_id":"r","module_name":"m","function_name":"f","workbook_id":"wb"})");

    std::string out = "stale";
    out.clear();
    reply::append_stream_message(out, false, "a\"b\n", reply::echo_tail(ids, reply::Echo::run));
    EXPECT_EQ(out, R"({"type":"stdout","content":"a\"b\n","request_id":"r","workbook_id":"wb","source":"addin"})");
    out.clear();
    reply::append_stream_message(out, true, "e", reply::workbook_tail("\"conn\""));
    EXPECT_EQ(out, R"({"type":"stderr","content":"e","workbook_id":"conn"})");
    EXPECT_EQ(reply::display_data(R"("data":{"text/plain":"x"},"metadata":{})", reply::workbook_tail("\"conn\"")),
              R"({"type":"display_data","data":{"text/plain":"x"},"metadata":{},"workbook_id":"conn"})");
    EXPECT_EQ(reply::interrupt_reply("null", {"\"a\"", "\"b\""}, "\"conn\""),
              R"({"type":"interrupt_reply","request_id":null,"interrupted":["a","b"],"workbook_id":"conn"})");

    const auto sv = reply::streaming_value(ids, "\"conn\"");
    EXPECT_EQ(
        sv.head + "[1]" + sv.tail,
        R"({"type":"streaming_function_result","request_id":"r","result":[1],"done":false,"workbook_id":"conn"})");
    EXPECT_EQ(
        reply::streaming_canceled(ids, "\"conn\""),
        R"({"type":"streaming_function_result","request_id":"r","result":"Canceled","done":true,"workbook_id":"conn"})");
    EXPECT_EQ(reply::streaming_done({}, ids, "\"conn\""),
              R"({"type":"streaming_function_result","request_id":"r","done":true,"workbook_id":"conn"})");
}

}  // namespace
