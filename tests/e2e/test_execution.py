"""execution_request: expression and statement rules, replies, errors, namespace."""

import json
import re

import pytest

from conftest import rid

RESULT_KEYS = ["type", "success", "result", "request_id", "function_name", "workbook_id",
               "source"]
ERROR_KEYS = ["type", "success", "error", "request_id", "function_name", "workbook_id",
              "source"]


def _streams(msgs, kind="stdout"):
    return [m["content"] for m in msgs if m["type"] == kind]


def test_expression_without_function_name_gives_repr_text(kernel):
    r = rid()
    msgs = kernel.execute("1 + 1", request_id=r)
    assert msgs == [
        {"type": "result_output", "content": "Out: 2\n", "request_id": r,
         "workbook_id": "wb-shared", "source": "ide"},
        {"type": "execution_result", "success": True, "result": "2", "request_id": r,
         "function_name": None, "workbook_id": "wb-shared", "source": "ide"},
    ]
    assert list(msgs[1]) == RESULT_KEYS


def test_expression_with_function_name_gives_the_value(kernel):
    r = rid()
    msgs = kernel.execute("1 + 1", request_id=r, function_name="calc", source="addin")
    assert msgs[0] == {"type": "result_output", "content": "Out: 2\n", "request_id": r,
                       "workbook_id": "wb-shared", "source": "addin"}
    assert msgs[1] == {"type": "execution_result", "success": True, "result": 2,
                       "request_id": r, "function_name": "calc", "workbook_id": "wb-shared",
                       "source": "addin"}


def test_empty_function_name_still_gives_repr_text(kernel):
    msgs = kernel.execute("[1, 'a']", function_name="")
    assert msgs[-1]["result"] == "[1, 'a']"


def test_statement_then_name_uses_the_persistent_namespace(kernel):
    first = kernel.execute("e2e_x = 5")
    assert [m["type"] for m in first] == ["execution_result"]
    assert first[0]["result"] is None
    assert kernel.execute("e2e_x")[-1]["result"] == "5"
    assert kernel.execute("e2e_x = 6; e2e_x")[-1]["result"] == "6"


def test_import_then_expression_returns_its_value(kernel):
    assert kernel.execute("import math; math.sqrt(16)")[-1]["result"] == "4.0"


def test_separator_at_the_end_runs_the_whole_text(kernel):
    msgs = kernel.execute("import math; ")
    assert msgs == [msgs[-1]] and msgs[-1]["type"] == "execution_result"
    assert msgs[-1]["result"] is None


def test_two_separators_leave_the_rest_as_statements(kernel):
    msgs = kernel.execute("e2e_a = 1; e2e_b = 2; e2e_b")
    assert msgs[-1]["type"] == "execution_result" and msgs[-1]["result"] is None
    assert kernel.evaluate("(e2e_a, e2e_b)") == [1, 2]


def test_print_is_an_expression_with_no_value(kernel):
    r = rid()
    msgs = kernel.execute("print('hi')", request_id=r)
    assert [m["type"] for m in msgs] == ["stdout", "stdout", "execution_result"]
    assert msgs[0] == {"type": "stdout", "content": "hi", "request_id": r,
                       "workbook_id": "wb-shared", "source": "ide"}
    assert msgs[1]["content"] == "\n"
    assert msgs[2]["result"] is None


@pytest.mark.parametrize("fields", [{"code": ""}, {}], ids=["empty", "absent"])
def test_empty_or_absent_code_succeeds_with_null(kernel, fields):
    r = rid()
    kernel.send({"type": "execution_request", "request_id": r, **fields})
    msgs = kernel.collect_for(r)
    assert msgs == [{"type": "execution_result", "success": True, "result": None,
                     "request_id": r, "function_name": None, "workbook_id": "wb-shared",
                     "source": "ide"}]


def test_absent_request_id_gives_null_request_id(kernel):
    marker = "noid-" + rid()
    kernel.send({"type": "execution_request", "code": repr(marker)})
    final = kernel.recv_until(lambda m: m.get("type") == "execution_result"
                              and m.get("result") == repr(marker))
    assert "request_id" in final and final["request_id"] is None


def test_division_by_zero_is_an_error_record(kernel):
    r = rid()
    msgs = kernel.execute("1/0", request_id=r, function_name="div")
    assert len(msgs) == 1
    err = msgs[0]
    assert list(err) == ERROR_KEYS
    assert err["success"] is False and err["function_name"] == "div"
    assert err["workbook_id"] == "wb-shared" and err["source"] == "ide"
    assert list(err["error"]) == ["type", "message", "traceback"]
    assert err["error"]["type"] == "ZeroDivisionError"
    assert err["error"]["message"] == "division by zero"
    tb = err["error"]["traceback"]
    assert tb.startswith("Traceback (most recent call last):")
    assert tb.rstrip("\n").splitlines()[-1] == "ZeroDivisionError: division by zero"


def test_syntax_error_in_statements(kernel):
    msgs = kernel.execute("def f(:")
    assert msgs[-1]["type"] == "execution_error"
    assert msgs[-1]["error"]["type"] == "SyntaxError"


def test_output_before_an_error_is_streamed_and_no_result_output(kernel):
    msgs = kernel.execute("print('partial')\nraise ValueError('boom')")
    assert [m["type"] for m in msgs] == ["stdout", "stdout", "execution_error"]
    assert _streams(msgs) == ["partial", "\n"]
    assert msgs[-1]["error"]["type"] == "ValueError"
    assert msgs[-1]["error"]["message"] == "boom"


def test_functions_see_names_defined_by_earlier_runs(kernel):
    assert kernel.execute("e2e_y = 5")[-1]["type"] == "execution_result"
    assert kernel.execute("def e2e_g():\n    return e2e_y")[-1]["type"] == "execution_result"
    assert kernel.evaluate("e2e_g()") == 5


def test_unencodable_value_with_function_name_is_an_unexpected_error(kernel):
    r = rid()
    msgs = kernel.execute("object()", request_id=r, function_name="obj")
    assert [m["type"] for m in msgs] == ["result_output", "execution_error"]
    assert msgs[0]["content"].startswith("Out: <object object at ")
    err = msgs[1]
    assert list(err) == ["type", "success", "error", "request_id", "source"]
    assert err["success"] is False and err["request_id"] == r
    assert set(err["error"]) == {"type", "message", "traceback"}
    kernel.ping()


def test_floats_text_and_special_values_are_encoded_compactly(kernel):
    code = "[2.5, 0.1, 1e300, -3.75, float('nan'), float('inf'), -float('inf'), 7, True, None, " \
           "'\u00e9\u20ac\U0001F600', 'q\"\\\\\\n', {'k': (1, 2)}]"
    kernel.send({"type": "execution_request", "request_id": (r := rid()), "code": code,
                 "function_name": "floats"})
    envs = kernel.collect_for(r, with_frames=True)
    final = envs[-1]
    assert final.msg["result"] == [2.5, 0.1, 1e300, -3.75, None, None, None, 7, True, None,
                                   "\u00e9\u20ac\U0001F600", 'q"\\\n', {"k": [1, 2]}]
    frame = final.frames[0]
    outside_strings = re.sub(r'"(?:[^"\\]|\\.)*"', '""', frame)
    assert not re.search(r"\s", outside_strings), frame
    assert "[2.5,0.1," in outside_strings and "-3.75" in outside_strings
    assert "E0" not in outside_strings and "e+0" not in outside_strings
    assert "\u00e9\u20ac\U0001F600" in frame


def test_sys_executable_is_debian_python_and_subprocesses_work(kernel):
    assert kernel.evaluate("__import__('sys').executable") == "/usr/bin/python3"
    out = kernel.evaluate(
        "import subprocess, sys; subprocess.run([sys.executable, '-c', 'print(6*7)'], "
        "capture_output=True, text=True, timeout=20).stdout")
    assert out == "42\n"


@pytest.mark.parametrize("code,exc", [
    ("import sys; sys.exit()", "SystemExit"),
    ("import sys; sys.exit(3)", "SystemExit"),
    ("exit()", "SystemExit"),
    ("raise SystemExit('bye')", "SystemExit"),
    ("raise KeyboardInterrupt", "KeyboardInterrupt"),
])
def test_exit_and_interrupt_end_only_that_run(kernel, code, exc):
    msgs = kernel.execute(code)
    assert msgs[-1]["type"] == "execution_error", msgs[-1]
    assert msgs[-1]["success"] is False
    assert msgs[-1]["error"]["type"] == exc
    assert exc in msgs[-1]["error"]["traceback"]
    kernel.ping()
    assert kernel.proc.poll() is None


def test_all_ten_workers_survive_exits(kernel):
    for _ in range(12):
        assert kernel.execute("import sys; sys.exit(1)")[-1]["error"]["type"] == "SystemExit"
    assert kernel.execute("import threading; gridlet._e2e_bar = threading.Barrier(10, timeout=8)"
                          )[-1]["type"] == "execution_result"
    ids = [rid("bar") for _ in range(10)]
    for r in ids:
        kernel.send({"type": "execution_request", "request_id": r, "function_name": "w",
                     "code": "gridlet._e2e_bar.wait()"})
    results = [kernel.collect_for(r, timeout=12)[-1] for r in ids]
    assert [m["type"] for m in results] == ["execution_result"] * 10, results
    assert sorted(m["result"] for m in results) == list(range(10))


def test_requests_back_to_back_run_concurrently(kernel):
    assert kernel.execute("import threading; gridlet._e2e_ev = threading.Event()"
                          )[-1]["type"] == "execution_result"
    waiter, setter = rid("wait"), rid("set")
    kernel.send({"type": "execution_request", "request_id": waiter, "function_name": "w",
                 "code": "gridlet._e2e_ev.wait(8)"})
    kernel.send({"type": "execution_request", "request_id": setter,
                 "code": "gridlet._e2e_ev.set()"})
    assert kernel.collect_for(setter)[-1]["type"] == "execution_result"
    assert kernel.collect_for(waiter)[-1]["result"] is True


def test_reset_namespace_drops_user_names_and_keeps_bridge_names(kernel):
    assert kernel.execute("e2e_zz = 1")[-1]["type"] == "execution_result"
    kernel.drain()
    kernel.send({"type": "reset_namespace"})
    assert kernel.recv_until(lambda m: m.get("type") == "namespace_reset") == {
        "type": "namespace_reset"}
    msgs = kernel.execute("e2e_zz")
    assert msgs[-1]["type"] == "execution_error"
    assert msgs[-1]["error"]["type"] == "NameError"
    assert kernel.evaluate("(gridlet.__name__, excel is gridlet.excel, "
                           "context is gridlet.context)") == ["gridlet", True, True]


def test_nul_character_in_code_is_not_truncated(kernel):
    msgs = kernel.execute("1 #\x00 after a NUL")
    assert msgs[-1]["type"] == "execution_error", msgs[-1]


def test_nul_and_control_characters_in_output_are_kept(kernel):
    text = "a\x00b\x1f\t\r\x7f\u2028z"
    msgs = kernel.execute(f"print({text!r}, end='')")
    assert [m["content"] for m in msgs if m["type"] == "stdout"] == [text]
    assert msgs[-1]["type"] == "execution_result"


@pytest.mark.parametrize("code", ["print('\\ud800')", "'\\udc80'", "import sys; sys.stderr.write('x\\udfff')"])
def test_text_that_is_not_valid_unicode_is_survived(kernel, code):
    msgs = kernel.execute(code, function_name="surrogate")
    assert msgs[-1]["type"] in ("execution_result", "execution_error")
    kernel.ping()


def test_integers_beyond_64_bits(kernel):
    final = kernel.execute("2 ** 64", function_name="big")[-1]
    assert final["type"] in ("execution_result", "execution_error")
    if final["type"] == "execution_result":
        assert final["result"] == 2 ** 64
    assert kernel.execute("2 ** 64")[-1]["result"] == str(2 ** 64)
    assert kernel.evaluate("[2 ** 63 - 1, -2 ** 63, 2 ** 63]") == [2 ** 63 - 1, -2 ** 63, 2 ** 63]
    kernel.ping()


def test_deeply_nested_result_is_sent(kernel):
    deep = kernel.evaluate("gridlet._e2e_deep = 'leaf'; [gridlet.__setattr__('_e2e_deep', "
                           "[gridlet._e2e_deep]) for _ in range(200)] and gridlet._e2e_deep")
    expected = "leaf"
    for _ in range(200):
        expected = [expected]
    assert deep == expected


def test_error_text_keeps_non_ascii(kernel):
    msgs = kernel.execute("raise ValueError('\u00fcn\u00efcode \U0001F600')")
    assert msgs[-1]["error"]["message"] == "\u00fcn\u00efcode \U0001F600"


def test_deep_recursion_is_an_error_not_a_crash(kernel):
    msgs = kernel.execute("def e2e_rec2(n):\n    return gridlet._e2e_rec2(n + 1)\n"
                          "gridlet._e2e_rec2 = e2e_rec2\n")
    assert msgs[-1]["type"] == "execution_result"
    msgs = kernel.execute("gridlet._e2e_rec2(0)")
    assert msgs[-1]["type"] == "execution_error"
    assert msgs[-1]["error"]["type"] == "RecursionError"
    kernel.ping()


def test_other_base_exceptions_end_only_their_run(kernel):
    msgs = kernel.execute("class E2eBase(BaseException): pass\nraise E2eBase('x')")
    assert msgs[-1]["type"] == "execution_error"
    kernel.ping()


def test_more_requests_than_workers_all_complete(kernel):
    ids = [rid("many") for _ in range(25)]
    for i, r in enumerate(ids):
        kernel.send({"type": "execution_request", "request_id": r, "function_name": "m",
                     "code": f"__import__('time').sleep(0.1) or {i}"})
    assert [kernel.collect_for(r, timeout=10)[-1]["result"] for r in ids] == list(range(25))
