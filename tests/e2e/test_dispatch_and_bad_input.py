"""Bad input never ends the kernel's run: every case is answered and the kernel
keeps answering afterwards."""

import json

import pytest

from conftest import MAX_MESSAGE_SIZE, compact, rid


def _is_error(m, original_type="any"):
    if m.get("type") != "error":
        return False
    return original_type == "any" or m.get("original_type") == original_type


def test_malformed_json_then_a_good_message(kernel):
    kernel.drain()
    kernel.send_raw('{"type": "execution_request", "code": ')
    err = kernel.recv_until(lambda m: m.get("type") == "error")
    assert err["message"] == "Invalid JSON received"
    kernel.ping()


@pytest.mark.parametrize("text", ["[1, 2]", '"just text"', "42", "null", "true", "[]"])
def test_json_that_is_not_an_object_is_answered_with_error(kernel, text):
    kernel.drain()
    kernel.send_raw(text)
    err = kernel.recv_until(_is_error)
    assert err.get("original_type") is None
    assert err.get("request_id") is None
    assert isinstance(err["message"], str) and err["message"]
    kernel.ping()


def test_message_without_type_or_of_unknown_type_is_ignored(kernel):
    a, b = rid("notype"), rid("unknown")
    kernel.send({"request_id": a, "code": "1"})
    kernel.send({"type": "no_such_kind", "request_id": b})
    kernel.ping()
    assert kernel.quiet(a, 0.2) == []
    assert kernel.quiet(b, 0.1) == []


@pytest.mark.parametrize("bad_type", [5, None, ["execution_request"], {"k": 1}])
def test_type_of_wrong_json_type_does_not_stop_the_kernel(kernel, bad_type):
    r = rid("badtype")
    kernel.send({"type": bad_type, "request_id": r, "code": "1"})
    kernel.ping()
    assert all(m["type"] == "error" for m in kernel.quiet(r, 0.2))


@pytest.mark.parametrize("fields", [
    {"code": 123},
    {"code": None},
    {"code": ["print(1)"]},
    {"code": "1", "source": 5},
    {"code": "1", "source": None},
    {"code": "1", "function_name": 7},
    {"code": "1", "function_name": {"a": 1}},
], ids=["code-int", "code-null", "code-list", "source-int", "source-null", "function-int", "function-obj"])
def test_execution_request_with_wrong_field_types_gets_execution_error(kernel, fields):
    r = rid("wrongfield")
    kernel.send({"type": "execution_request", "request_id": r, **fields})
    msgs = kernel.collect_for(r, ("execution_error", "execution_result", "error"))
    final = msgs[-1]
    assert final["type"] == "execution_error", final
    assert final["success"] is False
    assert isinstance(final["error"], dict) and isinstance(final["error"].get("message"), str)
    kernel.ping()


def test_execution_request_with_non_text_request_id_is_answered(kernel):
    kernel.drain()
    kernel.send({"type": "execution_request", "request_id": {"not": "text"}, "code": "1"})
    reply = kernel.recv_until(
        lambda m: m.get("type") in ("error", "execution_error")
        and (m.get("original_type") == "execution_request" or m.get("request_id") == {"not": "text"}))
    assert reply
    kernel.ping()


@pytest.mark.parametrize("payload", [[1, 2], "text", 17, True])
def test_sys_response_with_non_object_payload_is_answered_with_error(kernel, payload):
    r = rid("sysresp")
    kernel.send({"type": "sys_response", "payload": payload, "request_id": r})
    err = kernel.recv_until(lambda m: _is_error(m, "sys_response"), timeout=2)
    assert err.get("request_id") == r
    assert err["message"]
    kernel.ping()


def test_sys_response_with_non_text_request_id_does_not_stop_the_kernel(kernel):
    kernel.send({"type": "sys_response", "payload": {"requestId": 12345, "value": 1}})
    kernel.send({"type": "sys_response", "requestId": ["x"]})
    kernel.ping()


def _sized_request(request_id, target, ch):
    """An execution_request whose JSON text is exactly `target` characters and whose
    code returns the length of its filler."""
    def build(n):
        return compact({"type": "execution_request", "request_id": request_id,
                        "function_name": "size_probe", "code": "len('" + ch * n + "')"})
    n = target - len(build(0))
    text = build(n)
    assert len(text) == target
    return text, n


@pytest.mark.parametrize("ch", ["a", "\u20ac", "\U0001F600"], ids=["ascii", "euro", "emoji"])
def test_frame_of_exactly_max_size_characters_is_accepted(kernel, ch):
    r = rid("max")
    text, n = _sized_request(r, MAX_MESSAGE_SIZE, ch)
    kernel.send_raw(text)
    msgs = kernel.collect_for(r, ("execution_result", "execution_error"), timeout=15)
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    assert msgs[-1]["result"] == n


@pytest.mark.parametrize("ch", ["a", "\u20ac"], ids=["ascii", "euro"])
def test_frame_one_character_over_max_size_is_refused_and_connection_stays(kernel, ch):
    r = rid("over")
    text, _ = _sized_request(r, MAX_MESSAGE_SIZE + 1, ch)
    kernel.drain()
    mark = kernel.log_mark()
    kernel.send_raw(text)
    err = kernel.recv_until(lambda m: m.get("type") == "error"
                            and m.get("message") == "Message too large", timeout=10)
    assert err["message"] == "Message too large"
    kernel.wait_log("Message too large: 1048577", since=mark)
    kernel.ping()
    assert kernel.quiet(r, 0.1) == []


def test_very_large_frame_is_refused_and_connection_stays(kernel):
    r = rid("huge")
    text, _ = _sized_request(r, 6 * MAX_MESSAGE_SIZE, "b")
    kernel.drain()
    kernel.send_raw(text, timeout=30)
    kernel.recv_until(lambda m: m.get("type") == "error"
                      and m.get("message") == "Message too large", timeout=15)
    kernel.ping()
    assert kernel.quiet(r, 0.1) == []


def test_reset_namespace_is_answered_inline(kernel):
    kernel.drain()
    kernel.send({"type": "reset_namespace"})
    assert kernel.recv_until(lambda m: m.get("type") == "namespace_reset") == {
        "type": "namespace_reset"}
    kernel.ping()


def test_ascii_escaped_json_is_decoded(kernel):
    r = rid("escaped")
    text = "\u00e9\U0001F600\u4e2d\n\"\\"
    # The standard library's default form: every non-ASCII character escaped,
    # characters outside the BMP as surrogate pairs.
    kernel.send_raw(json.dumps({"type": "execution_request", "request_id": r,
                                "function_name": "echo", "code": repr(text)}))
    msgs = kernel.collect_for(r)
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    assert msgs[-1]["result"] == text


def test_lone_surrogate_escape_in_incoming_json_is_survived(kernel):
    kernel.drain()
    r = rid("lone")
    kernel.send_raw('{"type": "execution_request", "request_id": "' + r +
                    '", "code": "len(\'\\ud800\')", "function_name": "f"}')
    kernel.send_raw('{"type": "execution_request", "request_id": "' + r +
                    '-2", "code": "\'\\udc80x\'", "function_name": "f"}')
    reply = kernel.recv_until(lambda m: m.get("request_id") == r or m.get("type") == "error")
    assert reply["type"] in ("execution_result", "execution_error", "error")
    kernel.ping()


def test_deeply_nested_json_is_survived(kernel):
    kernel.drain()
    kernel.send_raw('{"type": "sys_response", "payload": ' + "[" * 100000 + "]" * 100000 + "}")
    kernel.send_raw("[" * 200000 + "]" * 200000)
    kernel.ping()
