"""Synchronous requests that user code makes of the Business Layer."""

import re

import pytest

from conftest import rid

HEX32 = re.compile(r"^[0-9a-f]{32}$")


def _start_request(kernel, request, timeout=5.0, run_id=None):
    """Start a run that asks `request` and returns the answer; return (run id,
    the sys_request message)."""
    r = run_id or rid("sys")
    kernel.send({"type": "execution_request", "request_id": r, "function_name": "ask",
                 "code": f"gridlet.messaging.send_request_sync({request!r}, timeout={timeout})"})
    tag = request.get("tag")
    sreq = kernel.recv_until(lambda m: m.get("type") == "sys_request"
                             and m.get("payload", {}).get("tag") == tag)
    return r, sreq


def _final(kernel, r, timeout=5):
    return kernel.collect_for(r, timeout=timeout)[-1]


def test_request_carries_caller_fields_and_new_id(kernel):
    r, sreq = _start_request(kernel, {"tag": "fields", "op": "read", "args": [1, "x"]})
    payload = sreq["payload"]
    assert set(sreq) <= {"type", "payload", "workbook_id", "request_id"}
    assert HEX32.match(payload["requestId"])
    assert payload == {"tag": "fields", "op": "read", "args": [1, "x"],
                       "requestId": payload["requestId"], "kind": "request"}
    kernel.send({"type": "sys_response",
                 "payload": {"requestId": payload["requestId"], "value": 42}})
    final = _final(kernel, r)
    assert final["type"] == "execution_result", final
    assert final["result"] == {"requestId": payload["requestId"], "value": 42}


def test_request_id_and_kind_of_caller_are_replaced(kernel):
    r, sreq = _start_request(kernel, {"tag": "replace", "requestId": "mine", "kind": "other"})
    payload = sreq["payload"]
    assert payload["requestId"] != "mine" and HEX32.match(payload["requestId"])
    assert payload["kind"] == "request"
    kernel.send({"type": "sys_response", "payload": {"requestId": payload["requestId"]}})
    assert _final(kernel, r)["type"] == "execution_result"


def test_flat_response_gives_the_whole_message(kernel):
    r, sreq = _start_request(kernel, {"tag": "flat"})
    answer = {"type": "sys_response", "requestId": sreq["payload"]["requestId"],
              "value": [1, 2], "note": "flat"}
    kernel.send(answer)
    assert _final(kernel, r)["result"] == answer


def test_empty_payload_counts_as_flat(kernel):
    r, sreq = _start_request(kernel, {"tag": "emptypayload"})
    answer = {"type": "sys_response", "payload": {},
              "requestId": sreq["payload"]["requestId"], "value": "top"}
    kernel.send(answer)
    assert _final(kernel, r)["result"] == answer


def test_two_workers_answered_in_opposite_order(kernel):
    r1, s1 = _start_request(kernel, {"tag": "first"})
    r2, s2 = _start_request(kernel, {"tag": "second"})
    kernel.send({"type": "sys_response",
                 "payload": {"requestId": s2["payload"]["requestId"], "who": "second"}})
    f2 = _final(kernel, r2)
    assert f2["result"]["who"] == "second"
    kernel.send({"type": "sys_response",
                 "payload": {"requestId": s1["payload"]["requestId"], "who": "first"}})
    f1 = _final(kernel, r1)
    assert f1["result"]["who"] == "first"


def test_ten_workers_wait_at_once_and_get_their_own_answers(kernel):
    started = [_start_request(kernel, {"tag": f"ten-{i}", "i": i}) for i in range(10)]
    for r, sreq in reversed(started):
        kernel.send({"type": "sys_response",
                     "payload": {"requestId": sreq["payload"]["requestId"],
                                 "i": sreq["payload"]["i"]}})
    for i, (r, _) in enumerate(started):
        final = _final(kernel, r)
        assert final["type"] == "execution_result", final
        assert final["result"]["i"] == i


def test_timeout_text_and_late_answer_is_dropped(kernel):
    r, sreq = _start_request(kernel, {"tag": "timeout"}, timeout=0.5)
    req_id = sreq["payload"]["requestId"]
    final = _final(kernel, r, timeout=5)
    assert final["type"] == "execution_error"
    assert final["error"]["type"] == "TimeoutError"
    assert final["error"]["message"] == f"sys_request timeout after 0.5s: {req_id}"
    kernel.wait_log(f"sys_request timeout: {req_id}")
    mark = kernel.log_mark()
    kernel.send({"type": "sys_response", "payload": {"requestId": req_id, "late": True}})
    kernel.wait_log(f"[Kernel] Received sys_response for unknown request_id: {req_id}",
                    since=mark)
    kernel.ping()


def test_answer_to_unknown_id_and_without_id_are_logged_and_dropped(kernel):
    mark = kernel.log_mark()
    kernel.send({"type": "sys_response", "payload": {"requestId": "0" * 32, "v": 1}})
    kernel.wait_log("[Kernel] Received sys_response for unknown request_id: " + "0" * 32,
                    since=mark)
    kernel.send({"type": "sys_response", "payload": {"value": 1}})
    kernel.wait_log("[Kernel] Received sys_response without requestId", since=mark)
    kernel.ping()


def test_error_raised_in_user_code_can_be_caught(kernel):
    code = ("try:\n"
            "    gridlet.messaging.send_request_sync({'tag': 'caught'}, timeout=0.3)\n"
            "    gridlet._e2e_caught = None\n"
            "except TimeoutError as e:\n"
            "    gridlet._e2e_caught = str(e)\n")
    r = rid()
    kernel.send({"type": "execution_request", "request_id": r, "code": code})
    sreq = kernel.recv_until(lambda m: m.get("type") == "sys_request"
                             and m["payload"].get("tag") == "caught")
    assert _final(kernel, r)["type"] == "execution_result"
    assert kernel.evaluate("gridlet._e2e_caught") == (
        "sys_request timeout after 0.3s: " + sreq["payload"]["requestId"])


def test_request_that_is_not_a_dict_is_a_type_error(kernel):
    msgs = kernel.execute("gridlet.messaging.send_request_sync('not a dict')")
    assert msgs[-1]["type"] == "execution_error"
    assert msgs[-1]["error"]["type"] == "TypeError"


def test_loop_thread_is_refused_and_its_prints_are_streamed(kernel):
    code = (
        "def _on_loop():\n"
        "    import threading\n"
        "    gridlet._e2e_same = threading.current_thread() is gridlet.messaging.loop_thread\n"
        "    print('printed-on-loop')\n"
        "    try:\n"
        "        gridlet.messaging.send_request_sync({'tag': 'listener'}, timeout=1)\n"
        "        gridlet._e2e_refusal = 'no error'\n"
        "    except RuntimeError as e:\n"
        "        gridlet._e2e_refusal = str(e)\n"
        "gridlet.messaging.loop.call_soon_threadsafe(_on_loop)\n")
    msgs = kernel.execute(code)
    assert msgs[-1]["type"] == "execution_result"
    out = kernel.recv_until(lambda m: m.get("type") == "stdout"
                            and m.get("content") == "printed-on-loop")
    assert out.get("request_id") is None
    assert kernel.evaluate("gridlet._e2e_same") is True
    assert kernel.evaluate("gridlet._e2e_refusal") == (
        "send_sys_request must not be called from the async event loop thread to avoid deadlock")
    assert not [m for m in kernel.all_messages if m.get("type") == "sys_request"
                and m["payload"].get("tag") == "listener"]


def test_long_request_and_long_answer_travel_as_chunks(kernel):
    big = "\u20ac" * 100000
    r, sreq = _start_request(kernel, {"tag": "long", "blob": big})
    assert sreq["payload"]["blob"] == big
    req_id = sreq["payload"]["requestId"]
    answer = "\U0001F600" * 150000
    kernel.send_chunks({"type": "sys_response",
                        "payload": {"requestId": req_id, "answer": answer}})
    final = _final(kernel, r, timeout=10)
    assert final["type"] == "execution_result", final
    assert final["result"] == {"requestId": req_id, "answer": answer}
    assert not kernel.violations


def test_answer_values_keep_their_json_types(kernel):
    r = rid("types")
    kernel.send({"type": "execution_request", "request_id": r, "function_name": "types",
                 "code": "v = gridlet.messaging.send_request_sync({'tag': 'types'}, timeout=5); "
                         "(type(v['i']).__name__, type(v['f']).__name__, v['f'], "
                         "type(v['t']).__name__, v['n'] is None, type(v['l']).__name__, "
                         "v['s'], v['neg'], v['big'], v['o'])"})
    sreq = kernel.recv_until(lambda m: m.get("type") == "sys_request"
                             and m["payload"].get("tag") == "types")
    kernel.send({"type": "sys_response", "payload": {
        "requestId": sreq["payload"]["requestId"], "i": 1, "f": 1.0, "t": True, "n": None,
        "l": [1, 2], "s": "\u00e9\U0001F600", "neg": -0.5, "big": 2 ** 63 - 1,
        "o": {"k": [{"x": None}]}}})
    final = _final(kernel, r)
    assert final["type"] == "execution_result", final
    assert final["result"] == ["int", "float", 1.0, "bool", True, "list", "\u00e9\U0001F600",
                               -0.5, 2 ** 63 - 1, {"k": [{"x": None}]}]


@pytest.mark.parametrize("depth", [40, 200])
def test_deeply_nested_answer_reaches_user_code(kernel, depth):
    r = rid("deep")
    tag = f"deep-{depth}"
    kernel.send({"type": "execution_request", "request_id": r, "function_name": "deep",
                 "code": f"gridlet.messaging.send_request_sync({{'tag': {tag!r}}}, "
                         "timeout=2)['deep']"})
    sreq = kernel.recv_until(lambda m: m.get("type") == "sys_request"
                             and m["payload"].get("tag") == tag)
    deep = "leaf"
    for _ in range(depth):
        deep = [deep]
    kernel.send({"type": "sys_response",
                 "payload": {"requestId": sreq["payload"]["requestId"], "deep": deep}})
    final = _final(kernel, r)
    assert final["type"] == "execution_result", final
    assert final["result"] == deep
