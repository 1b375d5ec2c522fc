"""custom_function_call and run_module: reply order and fields, the two error shapes,
generator results, wire conversion of arguments and results, user code that ends with
SystemExit or KeyboardInterrupt, and bad fields."""

import re

import pytest

from calls import call_function, of_type, once_per_kernel, send_module, texts
from conftest import rid

EXEC_RESULT_KEYS = ["type", "success", "result", "logs", "request_id", "module_name",
                    "function_name", "workbook_id", "source"]
FER_SUCCESS_KEYS = ["type", "request_id", "status", "result", "logs"]
EXEC_ERROR_KEYS = ["type", "success", "error", "logs", "request_id", "module_name",
                   "function_name", "workbook_id", "source"]
FER_FAILURE_KEYS = ["type", "request_id", "status", "result", "logs", "error"]
STREAM_KEYS = ["type", "content", "request_id", "workbook_id", "source"]

BASIC = """
import datetime

def add(a, b):
    print('adding', a, b)
    return a + b

def nothing():
    return None

def gen(n):
    for i in range(n):
        yield i * 10

def gen_dates():
    yield datetime.date(2024, 3, 1)
    yield (1, 2)

def bad():
    print('before')
    raise ValueError('bad thing')

def shift(d, days):
    return d + datetime.timedelta(days=days), type(d).__name__

def unconvertible():
    return object()

def gen_fails():
    yield 1
    raise RuntimeError('generator broke')

def echo(*args):
    return list(args)

VALUE = 5
"""


@pytest.fixture(autouse=True)
def _modules(kernel):
    once_per_kernel(kernel, "cf", lambda bl: send_module(bl, "cf_basic", BASIC))


def test_success_sends_streams_then_three_replies_in_order(kernel):
    r = rid()
    msgs = call_function(kernel, "cf_basic", "add", [1, 2], request_id=r, workbook_id="wb-x",
                         source="ide")
    streams = of_type(msgs, "stdout")
    assert texts(msgs, "stdout") == "adding 1 2\n"
    for m in streams:
        assert list(m) == STREAM_KEYS
        assert (m["request_id"], m["workbook_id"], m["source"]) == (r, "wb-x", "ide")
    assert [m["type"] for m in msgs[len(streams):]] == [
        "result_output", "execution_result", "function_execution_result"]
    out, res, fer = msgs[len(streams):]
    assert out == {"type": "result_output", "content": "Out: 3\n", "request_id": r,
                   "workbook_id": "wb-x", "source": "ide"}
    assert list(out) == STREAM_KEYS
    assert res == {"type": "execution_result", "success": True, "result": 3,
                   "logs": "adding 1 2\n", "request_id": r, "module_name": "cf_basic",
                   "function_name": "add", "workbook_id": "wb-x", "source": "ide"}
    assert list(res) == EXEC_RESULT_KEYS
    assert fer == {"type": "function_execution_result", "request_id": r,
                   "status": "success", "result": 3, "logs": "adding 1 2\n"}
    assert list(fer) == FER_SUCCESS_KEYS


def test_defaults_source_addin_and_null_ids(kernel):
    kernel.drain()
    kernel.send({"type": "custom_function_call", "module_name": "cf_basic",
                 "function_name": "add", "args": [2, 3]})
    res = kernel.recv_until(lambda m: m.get("type") == "execution_result"
                            and m.get("module_name") == "cf_basic")
    assert res["request_id"] is None and res["workbook_id"] is None
    assert res["source"] == "addin" and res["result"] == 5
    fer = kernel.recv_until(lambda m: m.get("type") == "function_execution_result")
    assert fer["request_id"] is None and fer["status"] == "success"
    seen = [m for m in kernel.all_messages[-12:]
            if m.get("type") in ("stdout", "result_output") and m.get("request_id") is None]
    assert seen and all(m["source"] == "addin" and m["workbook_id"] is None for m in seen)


def test_none_result_sends_no_result_output(kernel):
    r = rid()
    msgs = call_function(kernel, "cf_basic", "nothing", request_id=r)
    assert [m["type"] for m in msgs] == ["execution_result", "function_execution_result"]
    assert msgs[0]["result"] is None and msgs[1]["result"] is None
    assert msgs[0]["logs"] == "" and msgs[1]["logs"] == ""


def test_missing_args_calls_without_arguments(kernel):
    r = rid()
    kernel.send({"type": "custom_function_call", "module_name": "cf_basic",
                 "function_name": "echo", "request_id": r})
    msgs = kernel.collect_for(r, "function_execution_result")
    assert msgs[-1]["result"] == []


def test_generator_result_is_the_list_of_its_items(kernel):
    msgs = call_function(kernel, "cf_basic", "gen", [4])
    out = of_type(msgs, "result_output")[0]
    assert re.fullmatch(r"Out: <generator object gen at 0x[0-9a-fA-F]+>\n", out["content"])
    assert msgs[-2]["result"] == [0, 10, 20, 30]
    assert msgs[-1]["result"] == [0, 10, 20, 30]
    assert call_function(kernel, "cf_basic", "gen", [0])[-1]["result"] == []


def test_generator_items_are_converted_to_wire_form(kernel):
    assert call_function(kernel, "cf_basic", "gen_dates")[-1]["result"] == [
        {"__gridlet__": "date", "value": "2024-03-01"}, [1, 2]]


def test_generator_that_raises_fails_the_call(kernel):
    msgs = call_function(kernel, "cf_basic", "gen_fails")
    assert msgs[-2]["type"] == "execution_error"
    assert "RuntimeError: generator broke" in msgs[-1]["error"]


def test_datetime_arguments_and_results_use_the_wire_form(kernel):
    msgs = call_function(kernel, "cf_basic", "shift",
                         [{"__gridlet__": "datetime", "value": "2024-01-31T10:00:00"}, 1])
    assert msgs[-1]["result"] == [{"__gridlet__": "datetime", "value": "2024-02-01T10:00:00"},
                                  "datetime"]
    msgs = call_function(kernel, "cf_basic", "shift",
                         [{"__gridlet__": "date", "value": "2024-02-28"}, 2])
    assert msgs[-1]["result"] == [{"__gridlet__": "date", "value": "2024-03-01"}, "date"]
    # Nested wire values in arguments are converted too.
    msgs = call_function(kernel, "cf_basic", "echo",
                         [[{"__gridlet__": "date", "value": "2024-05-06"}], {"k": None}])
    assert msgs[-1]["result"] == [[{"__gridlet__": "date", "value": "2024-05-06"}], {"k": None}]


def test_numpy_and_pandas_results_become_lists(kernel):
    send_module(kernel, "cf_np", """
        import numpy as np
        import pandas as pd

        def matrix():
            return np.arange(6).reshape(2, 3)

        def scalars():
            return [np.float64(2.5), np.int64(7), np.bool_(True)]

        def frame():
            return pd.DataFrame({'a': [1, 2], 'b': [3.5, 4.5]})

        def series():
            return pd.Series([1, 2, 3])
    """)
    msgs = call_function(kernel, "cf_np", "matrix", timeout=30)
    assert msgs[-1]["status"] == "success", msgs[-1]
    assert msgs[-1]["result"] == [[0, 1, 2], [3, 4, 5]]
    assert of_type(msgs, "result_output")[0]["content"].startswith("Out: array([[0, 1, 2],")
    assert call_function(kernel, "cf_np", "scalars")[-1]["result"] == [2.5, 7, True]
    frame = call_function(kernel, "cf_np", "frame")[-1]["result"]
    assert isinstance(frame, list) and all(isinstance(row, list) for row in frame)
    assert frame[-2:] == [[1, 3.5], [2, 4.5]]
    assert call_function(kernel, "cf_np", "series")[-1]["result"] == [1, 2, 3]


def test_print_then_raise_streams_both_and_fails_with_traceback_text(kernel):
    r = rid()
    mark = kernel.log_mark()
    msgs = call_function(kernel, "cf_basic", "bad", request_id=r, workbook_id="wb-y")
    assert texts(msgs, "stdout") == "before\n"
    stderr = texts(msgs, "stderr")
    assert stderr.startswith("Traceback (most recent call last):")
    assert 'File "<virtual:cf_basic>", line 21, in bad' in stderr
    assert stderr.rstrip().endswith("ValueError: bad thing")
    for m in of_type(msgs, "stderr"):
        assert list(m) == STREAM_KEYS and m["source"] == "addin" and m["workbook_id"] == "wb-y"
    streams = len(of_type(msgs, "stdout")) + len(of_type(msgs, "stderr"))
    assert [m["type"] for m in msgs[streams:]] == ["execution_error", "function_execution_result"]
    err, fer = msgs[streams:]
    assert list(err) == EXEC_ERROR_KEYS
    assert err["success"] is False
    assert isinstance(err["error"], str)
    assert err["error"].startswith("Traceback (most recent call last):")
    assert err["error"].rstrip().endswith("ValueError: bad thing")
    assert err["logs"] == "before\n" + stderr
    assert (err["request_id"], err["module_name"], err["function_name"], err["workbook_id"],
            err["source"]) == (r, "cf_basic", "bad", "wb-y", "addin")
    assert fer == {"type": "function_execution_result", "request_id": r, "status": "error",
                   "result": None, "logs": err["logs"], "error": err["error"]}
    assert list(fer) == FER_FAILURE_KEYS
    log = kernel.wait_log("Custom function call failed: cf_basic.bad", since=mark)
    assert "Function logs:\nbefore\n" in log


@pytest.mark.parametrize("drop, message", [
    ("module_name", "Missing module_name"),
    ("function_name", "Missing function_name"),
])
def test_validation_failures_carry_an_error_record(kernel, drop, message):
    r = rid()
    fields = {"module_name": "cf_basic", "function_name": "add"}
    del fields[drop]
    kernel.send({"type": "custom_function_call", "request_id": r, "workbook_id": "wb-v",
                 "args": [1, 2], **fields})
    msgs = kernel.collect_for(r, "function_execution_result")
    record = {"type": "ValidationError", "message": message, "traceback": ""}
    assert msgs == [
        {"type": "execution_error", "success": False, "error": record, "request_id": r,
         "module_name": fields.get("module_name", ""),
         "function_name": fields.get("function_name", ""), "workbook_id": "wb-v",
         "source": "addin"},
        {"type": "function_execution_result", "request_id": r, "status": "error",
         "error": record},
    ]
    assert list(msgs[0]) == ["type", "success", "error", "request_id", "module_name",
                             "function_name", "workbook_id", "source"]
    assert list(msgs[0]["error"]) == ["type", "message", "traceback"]


def test_empty_names_are_validation_failures(kernel):
    msgs = call_function(kernel, "", "add")
    assert msgs[0]["error"]["message"] == "Missing module_name"
    msgs = call_function(kernel, "cf_basic", "")
    assert msgs[0]["error"]["message"] == "Missing function_name"


@pytest.mark.parametrize("module, function, tail", [
    ("cf_no_such_module_xyz", "f", "ModuleNotFoundError: No module named 'cf_no_such_module_xyz'"),
    ("cf_basic", "nope", "AttributeError: Function 'nope' not found in module 'cf_basic'"),
    ("cf_basic", "VALUE", "TypeError: 'int' object is not callable"),
], ids=["no-module", "no-function", "not-callable"])
def test_lookup_failures_carry_traceback_text(kernel, module, function, tail):
    msgs = call_function(kernel, module, function)
    err, fer = msgs[-2:]
    assert err["type"] == "execution_error" and fer["status"] == "error"
    assert isinstance(err["error"], str) and err["error"].rstrip().endswith(tail)
    assert fer["error"] == err["error"] and fer["result"] is None


def test_unconvertible_result_fails_the_call(kernel):
    msgs = call_function(kernel, "cf_basic", "unconvertible")
    assert msgs[-1]["status"] == "error"
    assert "TypeError" in msgs[-1]["error"] and "object" in msgs[-1]["error"]
    assert of_type(msgs, "result_output") == []


def test_bad_argument_wire_value_fails_the_call(kernel):
    msgs = call_function(kernel, "cf_basic", "echo",
                         [{"__gridlet__": "datetime", "value": "not a date"}])
    assert msgs[-1]["status"] == "error"
    assert "ValueError" in msgs[-1]["error"]


def test_module_in_sys_modules_but_not_in_memory_is_used(kernel):
    msgs = call_function(kernel, "json", "dumps", [[1, "a"]])
    assert msgs[-1]["status"] == "success" and msgs[-1]["result"] == '[1, "a"]'


def test_calls_run_concurrently_and_reply_independently(kernel):
    send_module(kernel, "cf_slow", """
        import time
        def wait(s, tag):
            time.sleep(s)
            return tag
    """)
    slow, fast = rid("slow"), rid("fast")
    kernel.send({"type": "custom_function_call", "module_name": "cf_slow",
                 "function_name": "wait", "args": [0.8, "slow"], "request_id": slow})
    kernel.send({"type": "custom_function_call", "module_name": "cf_slow",
                 "function_name": "wait", "args": [0.0, "fast"], "request_id": fast})
    assert kernel.collect_for(fast, "function_execution_result")[-1]["result"] == "fast"
    assert kernel.collect_for(slow, "function_execution_result")[-1]["result"] == "slow"
    order = [m["request_id"] for m in kernel.all_messages
             if m.get("type") == "function_execution_result" and m.get("request_id") in (slow, fast)]
    assert order == [fast, slow]


# ---------------------------------------------------------------- user code ending abruptly

EXITS = """
import sys

def do_exit():
    print('leaving')
    sys.exit(3)

def do_exit_plain():
    exit()

def do_interrupt():
    raise KeyboardInterrupt('stop')

def gen_exit():
    yield 1
    raise SystemExit(4)
"""


@pytest.mark.parametrize("function, tail", [
    ("do_exit", "SystemExit: 3"),
    ("do_exit_plain", "SystemExit: None"),
    ("do_interrupt", "KeyboardInterrupt: stop"),
    ("gen_exit", "SystemExit: 4"),
])
def test_system_exit_and_keyboard_interrupt_end_only_the_call(kernel, function, tail):
    send_module(kernel, "cf_exits", EXITS)
    msgs = call_function(kernel, "cf_exits", function)
    err, fer = msgs[-2:]
    assert err["type"] == "execution_error" and err["success"] is False
    assert isinstance(err["error"], str)
    assert err["error"].rstrip().splitlines()[-1] == tail
    assert fer["status"] == "error" and fer["error"] == err["error"]
    if function == "do_exit":
        assert texts(msgs, "stdout") == "leaving\n"
    kernel.ping()


def test_more_exits_than_workers_leave_the_pool_working(kernel):
    send_module(kernel, "cf_exits", EXITS)
    ids = [rid("exit") for _ in range(12)]
    for r in ids:
        kernel.send({"type": "custom_function_call", "module_name": "cf_exits",
                     "function_name": "do_exit", "request_id": r})
    for r in ids:
        assert kernel.collect_for(r, "function_execution_result")[-1]["status"] == "error"
    assert call_function(kernel, "cf_basic", "add", [20, 22])[-1]["result"] == 42
    kernel.ping()


# ---------------------------------------------------------------- bad fields

@pytest.mark.parametrize("args,name", [({"a": 1}, "dict"), ("text", "str"), (5, "int"), (True, "bool"),
                                       (None, "NoneType")], ids=["object", "text", "int", "bool", "null"])
def test_non_list_args_are_refused_with_a_traceback_and_the_kernel_goes_on(kernel, args, name):
    r = rid("badargs")
    seen = len(kernel.all_messages)
    kernel.send({"type": "custom_function_call", "module_name": "cf_basic", "function_name": "echo",
                 "args": args, "request_id": r, "workbook_id": "wb-cf"})
    msgs = kernel.collect_for(r, "function_execution_result")
    assert [m["type"] for m in msgs] == ["execution_error", "function_execution_result"], msgs
    record = msgs[0]["error"]
    assert list(record) == ["type", "message", "traceback"]
    assert (record["type"], record["message"]) == ("TypeError", f"args must be a list, not {name}")
    tb = record["traceback"].rstrip("\n").split("\n")
    assert tb[0] == "Traceback (most recent call last):" and tb[1].startswith("  File ")
    assert tb[-1] == f"TypeError: args must be a list, not {name}"
    assert msgs[0]["success"] is False and msgs[0]["workbook_id"] == "wb-cf"
    assert msgs[1] == {"type": "function_execution_result", "request_id": r, "status": "error", "error": record}
    kernel.ping()
    assert not [m for m in kernel.all_messages[seen:] if m.get("type") in ("error", "stderr")
                and m.get("request_id") == r]


@pytest.mark.parametrize("fields", [
    {"module_name": 5, "function_name": "f"},
    {"module_name": "cf_basic", "function_name": ["add"]},
    {"module_name": "cf_basic", "function_name": "add", "source": 3},
], ids=["module-int", "function-list", "source-int"])
def test_non_text_names_are_answered_and_the_kernel_goes_on(kernel, fields):
    r = rid("badname")
    kernel.send({"type": "custom_function_call", "request_id": r, "args": [1, 2], **fields})
    msgs = kernel.collect_for(r, ("function_execution_result", "error"))
    assert msgs[-1]["type"] in ("function_execution_result", "error")
    kernel.ping()


# ---------------------------------------------------------------- module runs

def _normalised(msgs, r):
    return [{k: ("<id>" if v == r else v) for k, v in m.items()} for m in msgs]


@pytest.mark.parametrize("function, args", [("add", [4, 5]), ("bad", []), ("gen", [3])])
def test_run_module_replies_like_a_custom_function_call(kernel, function, args):
    a, b = rid("run"), rid("cfc")
    run = call_function(kernel, "cf_basic", function, args, request_id=a, kind="run_module",
                        workbook_id="wb-r", source="ide")
    cfc = call_function(kernel, "cf_basic", function, args, request_id=b, workbook_id="wb-r",
                        source="ide")
    norm_run, norm_cfc = _normalised(run, a), _normalised(cfc, b)
    gen_repr = re.compile(r"<generator object gen at 0x[0-9a-fA-F]+>")
    for m in norm_run + norm_cfc:
        if m["type"] == "result_output":
            m["content"] = gen_repr.sub("<gen>", m["content"])
    assert norm_run == norm_cfc


def test_run_module_defaults_source_to_ide(kernel):
    r = rid("run")
    kernel.send({"type": "run_module", "module_name": "cf_basic", "function_name": "echo",
                 "request_id": r})
    msgs = kernel.collect_for(r, "function_execution_result")
    res = of_type(msgs, "execution_result")[0]
    assert res["source"] == "ide" and res["result"] == [] and res["workbook_id"] == ""
    assert of_type(msgs, "result_output")[0]["source"] == "ide"


@pytest.mark.parametrize("debug", [0, False, "", None])
def test_run_module_with_false_debug_is_a_normal_run(kernel, debug):
    msgs = call_function(kernel, "cf_basic", "add", [1, 1], kind="run_module", debug=debug)
    assert msgs[-1]["status"] == "success" and msgs[-1]["result"] == 2


def test_run_module_validation_uses_source_ide(kernel):
    r = rid("run")
    kernel.send({"type": "run_module", "function_name": "add", "request_id": r})
    msgs = kernel.collect_for(r, "function_execution_result")
    assert msgs[0]["error"] == {"type": "ValidationError", "message": "Missing module_name",
                                "traceback": ""}
    assert msgs[0]["source"] == "ide" and msgs[0]["module_name"] == ""


# ---------------------------------------------------------------- long results, host requests

def test_long_result_arrives_whole_through_chunks(kernel):
    send_module(kernel, "cf_long", "def long(n):\n    return 'é' * n\n")
    msgs = call_function(kernel, "cf_long", "long", [150000], timeout=20)
    assert msgs[-2]["type"] == "execution_result"
    assert msgs[-2]["result"] == "é" * 150000 and msgs[-1]["result"] == "é" * 150000


def test_function_waiting_on_a_host_request_does_not_block_other_calls(kernel):
    send_module(kernel, "cf_ask", """
        import gridlet
        def ask(tag):
            answer = gridlet.messaging.send_request_sync({'tag': tag}, timeout=5.0)
            return answer.get('value')
    """)
    r = rid("ask")
    kernel.send({"type": "custom_function_call", "module_name": "cf_ask", "function_name": "ask",
                 "args": ["cf-ask"], "request_id": r})
    sreq = kernel.recv_until(lambda m: m.get("type") == "sys_request"
                             and m.get("payload", {}).get("tag") == "cf-ask")
    # Another call completes while the first one waits for its answer.
    assert call_function(kernel, "cf_basic", "add", [1, 2])[-1]["result"] == 3
    kernel.send({"type": "sys_response",
                 "payload": {"requestId": sreq["payload"]["requestId"], "value": "answered"}})
    msgs = kernel.collect_for(r, "function_execution_result")
    assert msgs[-1]["status"] == "success" and msgs[-1]["result"] == "answered"
