"""Debug runs: breakpoints, stepping across modules, conditions, evaluation, exception reports
(with and without the pause at uncaught exceptions), stop while paused, breakpoints changed during
a pause, a second run while one is paused, and the debug control messages without a debug run."""
import pytest

from calls import send_module
from conftest import rid

MOD_A = """import dbg_b
def outer(n):
    total = 0
    for i in range(n):
        total += dbg_b.inner(i)
    return total
def boom(x):
    y = x * 2
    raise ValueError("bad " + str(y))
def gen():
    yield 1
    yield 2
def empty_gen():
    return
    yield
def answer():
    return 42
def chatty():
    print("from debug run")
    return None
"""
MOD_B = """def inner(i):
    j = i + 1
    return j * 2
"""


@pytest.fixture
def dbg(kernel):
    send_module(kernel, "dbg_a", MOD_A)
    send_module(kernel, "dbg_b", MOD_B)
    return kernel


def run(bl, function, args=(), breakpoints=(), request_id=None):
    r = request_id or rid("dbg")
    bl.send({"type": "run_module", "module_name": "dbg_a", "function_name": function, "args": list(args),
             "debug": True, "request_id": r, "workbook_id": "wb-dbg", "breakpoints": list(breakpoints)})
    return r


def paused(bl, timeout=5):
    return bl.recv_until(lambda m: m.get("type") == "debug_paused", timeout=timeout)


def until_terminated(bl, r, timeout=5):
    out = []
    while True:
        m = bl.recv_until(lambda m: m.get("request_id") == r, timeout=timeout)
        out.append(m)
        if m["type"] in ("debug_terminated", "execution_error"):
            return out


def names(variables):
    return {v["name"]: v for v in variables}


def test_breakpoint_hit_reports_where_and_what(dbg):
    r = run(dbg, "outer", [3], [{"module": "dbg_b", "line": 2}])
    p = paused(dbg)
    assert (p["reason"], p["module"], p["file"], p["line"], p["function"]) == \
        ("breakpoint", "dbg_b", "<virtual:dbg_b>", 2, "inner")
    assert p["request_id"] == r and p["workbook_id"] == "wb-dbg"
    assert [(f["function"], f["module"], f["line"]) for f in p["call_stack"]] == \
        [("inner", "dbg_b", 2), ("outer", "dbg_a", 5)]
    assert names(p["locals"])["i"] == {"name": "i", "type": "int", "repr": "0"}
    assert "inner" in names(p["globals"]) and "__builtins__" not in names(p["globals"])
    dbg.send({"type": "debug_update_breakpoints", "breakpoints": []})
    dbg.send({"type": "debug_continue"})
    assert dbg.recv_until(lambda m: m.get("type") == "debug_resumed") == {"type": "debug_resumed"}
    msgs = until_terminated(dbg, r)
    assert [m["content"] for m in msgs if m["type"] == "result_output"] == ["Out: 12\n"]


def test_step_over_into_and_out_across_two_modules(dbg):
    r = run(dbg, "outer", [2], [{"module": "dbg_a", "line": 5}])
    assert (paused(dbg)["line"]) == 5
    dbg.send({"type": "debug_step_into"})
    p = paused(dbg)
    assert (p["reason"], p["module"], p["line"]) == ("step", "dbg_b", 2)
    dbg.send({"type": "debug_step_over"})
    assert (paused(dbg)["module"], dbg.all_messages[-1]["line"]) == ("dbg_b", 3)
    dbg.send({"type": "debug_step_out"})
    p = paused(dbg)
    assert (p["module"], p["function"]) == ("dbg_a", "outer")
    dbg.send({"type": "debug_step_over"})
    p = paused(dbg)
    assert p["module"] == "dbg_a" and p["line"] in (4, 5)
    dbg.send({"type": "debug_update_breakpoints", "breakpoints": []})
    dbg.send({"type": "debug_continue"})
    msgs = until_terminated(dbg, r)
    assert msgs[-1]["type"] == "debug_terminated"


def test_conditional_breakpoint_and_evaluate_in_the_paused_frame(dbg):
    r = run(dbg, "outer", [5], [{"module": "dbg_a", "line": 5, "condition": "i == 3"}])
    p = paused(dbg)
    assert names(p["locals"])["i"]["repr"] == "3"
    e = rid("eval")
    dbg.send({"type": "debug_evaluate", "expression": "i * 10 + total", "request_id": e})
    res = dbg.recv_until(lambda m: m.get("type") == "debug_evaluate_result")
    assert res["request_id"] == e and res["expression"] == "i * 10 + total"
    assert res["result"] == str(30 + (2 + 4 + 6)) and res["value_type"] == "int" and "type" in res
    assert res["type"] == "debug_evaluate_result"
    dbg.send({"type": "debug_evaluate", "expression": "undefined_name", "request_id": e})
    res = dbg.recv_until(lambda m: m.get("type") == "debug_evaluate_result")
    assert "NameError" in res["error"]
    dbg.send({"type": "debug_continue"})
    msgs = until_terminated(dbg, r)
    assert [m["content"] for m in msgs if m["type"] == "result_output"] == ["Out: 30\n"]


def run_end(bl, r, since, timeout=5):
    """The run's messages from `since` until its own debug_terminated, debug_exception included
    (it carries no request_id)."""
    until_terminated(bl, r, timeout)
    return [m for m in bl.all_messages[since:]
            if m.get("request_id") == r or m.get("type") == "debug_exception"]


def check_boom_report(exc):
    assert (exc["module"], exc["line"], exc["file"]) == ("dbg_a", 9, "<virtual:dbg_a>")
    assert exc["exception_type"] == "ValueError" and exc["workbook_id"] == "wb-dbg"
    assert exc["exception_message"] == "bad 6" and "Traceback" in exc["exception_traceback"]
    assert names(exc["locals"])["y"]["repr"] == "6" and names(exc["locals"])["x"]["repr"] == "3"
    assert "boom" in names(exc["globals"])
    assert [f["function"] for f in exc["call_stack"]][:1] == ["boom"]


def test_uncaught_exception_is_reported_without_pausing(dbg):
    seen = len(dbg.all_messages)
    r = run(dbg, "boom", [3])
    msgs = run_end(dbg, r, seen)
    assert [m["type"] for m in msgs] == ["debug_exception", "debug_terminated"], msgs
    check_boom_report(msgs[0])
    assert msgs[1] == {"type": "debug_terminated", "request_id": r, "workbook_id": "wb-dbg"}
    dbg.ping()
    assert not [m for m in dbg.all_messages[seen:] if m.get("type") in ("debug_paused", "execution_error")]


@pytest.mark.parametrize("command", ["debug_continue", "debug_step_over", "debug_step_into", "debug_stop"])
def test_opt_in_pause_at_uncaught_exception_still_ends_with_the_report(dbg, command):
    seen = len(dbg.all_messages)
    r = run(dbg, "boom", [3], [{"exception": "uncaught"}])
    p = paused(dbg)
    assert (p["reason"], p["line"], p["request_id"]) == ("exception", 9, r)
    assert (p["exception_type"], p["exception_message"]) == ("ValueError", "bad 6")
    e = rid("eval")
    dbg.send({"type": "debug_evaluate", "expression": "y + 1", "request_id": e})
    assert dbg.recv_until(lambda m: m.get("request_id") == e)["result"] == "7"
    dbg.send({"type": command})
    msgs = run_end(dbg, r, seen)
    assert [m["type"] for m in msgs] == ["debug_paused", "debug_exception", "debug_terminated"], msgs
    check_boom_report(msgs[1])
    dbg.ping()
    later = dbg.all_messages[seen:]
    assert not [m for m in later if m.get("type") == "execution_error"]
    acks = [m for m in later if m.get("type") == "debug_terminated" and "request_id" not in m]
    assert len(acks) == (command == "debug_stop")
    # The acknowledgement of the command comes before what the run sends after the pause.
    answer = {"debug_continue": {"type": "debug_resumed"}, "debug_stop": acks[0] if acks else None}.get(command)
    if answer:
        assert later.index(answer) < later.index(msgs[1])


def test_uncaught_exception_pause_turned_on_and_off_by_breakpoint_updates(dbg):
    # Turned on during the run: the run pauses at the exception after its breakpoint.
    seen = len(dbg.all_messages)
    r = run(dbg, "boom", [3], [{"module": "dbg_a", "line": 8}])
    assert paused(dbg)["reason"] == "breakpoint"
    dbg.send({"type": "debug_update_breakpoints", "breakpoints": [{"exception": "uncaught"}]})
    dbg.send({"type": "debug_continue"})
    assert paused(dbg)["reason"] == "exception"
    dbg.send({"type": "debug_continue"})
    assert [m["type"] for m in run_end(dbg, r, seen)] == \
        ["debug_paused", "debug_paused", "debug_exception", "debug_terminated"]
    # Turned off during the run: the exception is only reported.
    seen = len(dbg.all_messages)
    r = run(dbg, "boom", [3], [{"module": "dbg_a", "line": 8}, {"exception": "uncaught"}])
    assert paused(dbg)["reason"] == "breakpoint"
    dbg.send({"type": "debug_update_breakpoints", "breakpoints": []})
    dbg.send({"type": "debug_continue"})
    assert [m["type"] for m in run_end(dbg, r, seen)] == ["debug_paused", "debug_exception", "debug_terminated"]


def test_a_generator_that_raises_is_reported_without_pausing(dbg):
    send_module(dbg, "dbg_g", "def bad_gen():\n    yield 1\n    raise KeyError('k')\n")
    seen = len(dbg.all_messages)
    r = rid("dbg")
    dbg.send({"type": "run_module", "module_name": "dbg_g", "function_name": "bad_gen", "args": [],
              "debug": True, "request_id": r, "workbook_id": "wb-dbg", "breakpoints": []})
    msgs = run_end(dbg, r, seen)
    assert [m["type"] for m in msgs] == ["result_output", "debug_exception", "debug_terminated"], msgs
    assert (msgs[1]["exception_type"], msgs[1]["module"], msgs[1]["line"]) == ("KeyError", "dbg_g", 3)


def test_stop_while_paused_ends_the_run_and_the_kernel_goes_on(dbg):
    r = run(dbg, "outer", [100], [{"module": "dbg_b", "line": 3}])
    paused(dbg)
    seen = len(dbg.all_messages)
    dbg.send({"type": "debug_stop"})
    msgs = until_terminated(dbg, r)
    assert not [m for m in msgs if m["type"] == "result_output"]
    dbg.ping()
    # The stop is acknowledged at once (no request_id) and the run then ends (with its own).
    ends = [m for m in dbg.all_messages[seen:] if m.get("type") == "debug_terminated"]
    assert sorted("request_id" in m for m in ends) == [False, True]
    dbg.send({"type": "debug_continue"})  # no debug run any more: nothing happens
    assert dbg.evaluate("1 + 1") == 2
    # Nothing stays traced: an ordinary call of the same function runs at full speed, unpaused.
    assert dbg.evaluate("__import__('dbg_a').outer(3)") == 12


def test_breakpoints_updated_during_a_pause_apply_at_once(dbg):
    r = run(dbg, "outer", [3], [{"module": "dbg_a", "line": 3}])
    assert paused(dbg)["line"] == 3
    dbg.send({"type": "debug_update_breakpoints", "breakpoints": [{"module": "dbg_b", "line": 3}]})
    dbg.send({"type": "debug_continue"})
    p = paused(dbg)
    assert (p["module"], p["line"]) == ("dbg_b", 3)
    dbg.send({"type": "debug_update_breakpoints", "breakpoints": {"not": "a list"}})  # ignored
    dbg.send({"type": "debug_continue"})
    assert paused(dbg)["module"] == "dbg_b"
    dbg.send({"type": "debug_update_breakpoints", "breakpoints": []})
    dbg.send({"type": "debug_continue"})
    assert until_terminated(dbg, r)[-1]["type"] == "debug_terminated"


def test_generators_results_and_a_second_run(dbg):
    r = run(dbg, "gen")
    msgs = until_terminated(dbg, r)
    assert [m["content"] for m in msgs if m["type"] == "result_output"] == \
        ["Yield [1]: 1\n", "Yield [2]: 2\n", "Out: Generator completed with 2 yields\n"]
    r = run(dbg, "empty_gen")
    msgs = until_terminated(dbg, r)
    assert [m["content"] for m in msgs if m["type"] == "result_output"] == ["Out: Generator stoped before ending\n"]
    r = run(dbg, "answer")
    msgs = until_terminated(dbg, r)
    assert [m["content"] for m in msgs if m["type"] == "result_output"] == ["Out: 42\n"]
    r = run(dbg, "chatty")
    msgs = until_terminated(dbg, r)
    assert [m["content"] for m in msgs if m["type"] == "stdout"] == ["from debug run", "\n"]
    assert all(m["workbook_id"] == "wb-dbg" for m in msgs)


def test_a_second_debug_run_stops_the_paused_first_one(dbg):
    seen = len(dbg.all_messages)
    first = run(dbg, "outer", [5], [{"module": "dbg_b", "line": 3}])
    assert paused(dbg)["request_id"] == first
    second = run(dbg, "answer")
    assert [m["type"] for m in until_terminated(dbg, first)] == ["debug_terminated"]
    msgs = until_terminated(dbg, second)
    assert [(m["type"], m.get("content")) for m in msgs] == [("result_output", "Out: 42\n"),
                                                             ("debug_terminated", None)]
    later = dbg.all_messages[seen:]
    acks = [i for i, m in enumerate(later) if m.get("type") == "debug_terminated" and "request_id" not in m]
    first_end = [i for i, m in enumerate(later) if m.get("type") == "debug_terminated"
                 and m.get("request_id") == first]
    assert len(acks) == 1 and acks[0] < first_end[0]
    assert not [m for m in later if m.get("type") == "execution_error"]


def test_more_paused_runs_than_workers_never_strand_the_pool(dbg):
    # Each new run stops the one paused before it; with the old runs still holding their workers
    # the twelfth run would find none free.
    ids = []
    for _ in range(12):
        ids.append(run(dbg, "outer", [5], [{"module": "dbg_b", "line": 3}]))
        p = paused(dbg)
        assert p["request_id"] == ids[-1]
    for r in ids[:-1]:
        assert until_terminated(dbg, r)[-1]["type"] == "debug_terminated"
    # The last run is the active one and answers control messages.
    e = rid("eval")
    dbg.send({"type": "debug_evaluate", "expression": "j", "request_id": e})
    assert dbg.recv_until(lambda m: m.get("request_id") == e)["result"] == "1"
    dbg.send({"type": "debug_stop"})
    assert until_terminated(dbg, ids[-1])[-1]["type"] == "debug_terminated"
    rs = [rid("after") for _ in range(10)]
    for r in rs:  # ten calls at once: every worker is free again
        dbg.send({"type": "custom_function_call", "module_name": "dbg_a", "function_name": "answer",
                  "request_id": r})
    for r in rs:
        assert dbg.collect_for(r, "function_execution_result")[-1]["result"] == 42


@pytest.mark.parametrize("fields", [{"module_name": 5}, {"function_name": ["boom"]}], ids=["module-int", "function-list"])
def test_debug_run_with_unusable_names_is_answered_with_execution_error(dbg, fields):
    r = rid("dbgbad")
    dbg.send({"type": "run_module", "module_name": "dbg_a", "function_name": "answer", "args": [],
              "debug": True, "request_id": r, "workbook_id": "wb-dbg", **fields})
    err = dbg.recv_until(lambda m: m.get("request_id") == r)
    assert err["type"] == "execution_error" and err["success"] is False and err["workbook_id"] == "wb-dbg"
    assert err["error"]["type"] == "TypeError" and "must be a string" in err["error"]["message"]
    dbg.ping()
    assert not [m for m in dbg.all_messages if m.get("request_id") == r and m is not err]
    # No debug run was left active.
    e = rid("eval")
    dbg.send({"type": "debug_evaluate", "expression": "1", "request_id": e})
    assert dbg.recv_until(lambda m: m.get("request_id") == e)["error"] == "No active debug session"


def test_missing_function_is_reported_as_debug_exception(dbg):
    r = run(dbg, "nope")
    msgs = until_terminated(dbg, r)
    exc = [m for m in dbg.all_messages if m.get("type") == "debug_exception"][-1]
    assert exc["exception_message"] == "Function 'nope' not found in module 'dbg_a'"
    assert msgs[-1]["type"] == "debug_terminated"


def test_control_messages_without_a_debug_run(kernel):
    kernel.ping()
    seen = len(kernel.all_messages)
    for kind in ("debug_continue", "debug_step_over", "debug_step_into", "debug_step_out", "debug_stop"):
        kernel.send({"type": kind})
    kernel.send({"type": "debug_update_breakpoints", "breakpoints": []})
    e = rid("noeval")
    kernel.send({"type": "debug_evaluate", "expression": "x", "request_id": e})
    res = kernel.recv_until(lambda m: m.get("type") == "debug_evaluate_result")
    assert res == {"type": "debug_evaluate_result", "workbook_id": res["workbook_id"], "request_id": e,
                   "expression": "x", "error": "No active debug session"}
    kernel.ping()
    assert not [m for m in kernel.all_messages[seen:] if m.get("type") in ("debug_resumed", "debug_terminated")]


@pytest.mark.parametrize("expression", [5, None, ["x"], {"e": "x"}, True], ids=["int", "null", "list", "dict", "bool"])
def test_debug_evaluate_with_a_non_text_expression_gets_its_own_reply(dbg, expression):
    e = rid("badeval")
    dbg.send({"type": "debug_evaluate", "expression": expression, "request_id": e})
    res = dbg.recv_until(lambda m: m.get("request_id") == e)
    assert res["type"] == "debug_evaluate_result" and res["expression"] == expression
    assert res["error"].startswith("expression must be a string, not ")
    # The same during a pause, and the pause goes on.
    r = run(dbg, "outer", [2], [{"module": "dbg_a", "line": 5}])
    paused(dbg)
    dbg.send({"type": "debug_evaluate", "expression": expression, "request_id": e})
    res = dbg.recv_until(lambda m: m.get("request_id") == e)
    assert res["type"] == "debug_evaluate_result" and "must be a string" in res["error"]
    dbg.send({"type": "debug_evaluate", "expression": "n", "request_id": e})
    assert dbg.recv_until(lambda m: m.get("request_id") == e)["result"] == "2"
    dbg.send({"type": "debug_update_breakpoints", "breakpoints": []})
    dbg.send({"type": "debug_continue"})
    assert [m["content"] for m in until_terminated(dbg, r) if m["type"] == "result_output"] == ["Out: 6\n"]
    assert not [m for m in dbg.all_messages if m.get("type") == "error" and m.get("request_id") == e]
