"""Numbers and text as Python's json reads them: NaN and the infinities, integers of any
size both ways, lone surrogates both ways, and chunk pieces cut between the two halves of a
surrogate pair (as a JavaScript sender cutting by String.slice makes them)."""

import json

import pytest

from calls import call_function, once_per_kernel, send_module
from conftest import CHUNK_SIZE, rid

MODULE = r"""
def echo(*args):
    return list(args)

def describe(*args):
    return [[type(a).__name__, repr(a)] for a in args]

def huge():
    return [2 ** 100, -10 ** 40, 2 ** 64, -2 ** 63 - 1]

def two_to_the_hundred():
    return 2 ** 100

def lone():
    print('out\udc80')
    return 'a\ud800b'

def lone_error():
    raise ValueError('bad \ud800 text')
"""

BIG = 123456789012345678901234567890


@pytest.fixture(autouse=True)
def _modules(kernel):
    once_per_kernel(kernel, "pyjson", lambda bl: send_module(bl, "pyjson", MODULE))


def _call_raw(kernel, function, args_json, timeout=10):
    """A custom_function_call whose args are written as raw JSON text; returns the envelopes
    (message and raw frames) up to function_execution_result."""
    r = rid("raw")
    kernel.send_raw('{"type": "custom_function_call", "module_name": "pyjson", "function_name": "%s",'
                    ' "args": %s, "request_id": "%s"}' % (function, args_json, r))
    return kernel.collect_for(r, "function_execution_result", timeout=timeout, with_frames=True)


def _valid_text(frame):
    # A frame is text the socket layer decoded as UTF-8; a lone surrogate in it would mean the
    # kernel wrote bytes that are not UTF-8 (the peer would have closed the connection).
    return not any(0xD800 <= ord(c) <= 0xDFFF for c in frame)


def test_thirty_digit_integer_and_nan_arguments_arrive_as_python_reads_them(kernel):
    envs = _call_raw(kernel, "describe", "[%d, -%d, NaN, Infinity, -Infinity, 18446744073709551616]" % (BIG, BIG))
    final = envs[-1].msg
    assert final["status"] == "success", final
    assert final["result"] == [["int", str(BIG)], ["int", str(-BIG)], ["float", "nan"], ["float", "inf"],
                               ["float", "-inf"], ["int", "18446744073709551616"]]
    # Echoed back: the integers with every digit, unquoted; NaN and the infinities as null,
    # as the compact encoder writes non-finite floats.
    envs = _call_raw(kernel, "echo", "[%d, -%d, NaN, Infinity, -Infinity]" % (BIG, BIG))
    final = envs[-1]
    assert final.msg["result"] == [BIG, -BIG, None, None, None]
    assert '"result":[%d,-%d,null,null,null]' % (BIG, BIG) in final.frames[0]


def test_integer_results_of_any_size_leave_as_their_exact_digits(kernel):
    msgs = call_function(kernel, "pyjson", "huge")
    final = msgs[-1]
    assert final["status"] == "success", final
    assert final["result"] == [2 ** 100, -10 ** 40, 2 ** 64, -2 ** 63 - 1]
    assert all(type(v) is int for v in final["result"])
    envs = _call_raw(kernel, "two_to_the_hundred", "[]")
    assert [e.msg["type"] for e in envs] == ["result_output", "execution_result", "function_execution_result"]
    assert envs[0].msg["content"] == "Out: %d\n" % 2 ** 100
    assert '"result":1267650600228229401496703205376,' in envs[2].frames[0]
    # An evaluated expression too.
    assert kernel.evaluate("[2 ** 100, -10 ** 40]") == [2 ** 100, -10 ** 40]


def test_lone_surrogates_leave_escaped_in_valid_utf8(kernel):
    envs = _call_raw(kernel, "lone", "[]")
    by_type = {e.msg["type"]: e for e in envs}
    stdout = [e for e in envs if e.msg["type"] == "stdout"]
    assert "".join(e.msg["content"] for e in stdout) == "out\udc80\n"
    assert by_type["function_execution_result"].msg["result"] == "a\ud800b"
    assert by_type["function_execution_result"].msg["logs"] == "out\udc80\n"
    assert '"result":"a\\ud800b"' in by_type["function_execution_result"].frames[0]
    assert '"content":"out\\udc80' in stdout[0].frames[0]
    # A repr and an error text that hold one.
    r = rid("lonerepr")
    kernel.send({"type": "execution_request", "request_id": r,
                 "code": "type('Odd', (), {'__repr__': lambda self: 'odd\\udfff'})()"})
    repr_envs = kernel.collect_for(r, with_frames=True)
    assert [e.msg["type"] for e in repr_envs] == ["result_output", "execution_result"]
    assert repr_envs[0].msg["content"] == "Out: odd\udfff\n"
    assert repr_envs[1].msg["result"] == "odd\udfff"
    assert "odd\\udfff" in repr_envs[0].frames[0] and "odd\\udfff" in repr_envs[1].frames[0]
    err_envs = _call_raw(kernel, "lone_error", "[]")
    final = err_envs[-1].msg
    assert final["status"] == "error" and "ValueError: bad \ud800 text" in final["error"]
    for env in envs + repr_envs + err_envs:
        assert all(_valid_text(f) for f in env.frames), env.frames
    # Output of an execution request, and a result string.
    r = rid("lone")
    kernel.send({"type": "execution_request", "request_id": r, "function_name": "probe",
                 "code": "print('p\\udbff'); 'q\\udc00'"})
    msgs = kernel.collect_for(r, with_frames=True)
    assert "".join(m.msg["content"] for m in msgs if m.msg["type"] == "stdout") == "p\udbff\n"
    assert msgs[-1].msg["result"] == "q\udc00"
    assert all(_valid_text(f) for m in msgs for f in m.frames)


def test_lone_surrogate_arguments_arrive_as_that_code_point(kernel):
    envs = _call_raw(kernel, "describe", r'["\ud800", "x\udfffy", "\ud83d\ude00", {"\udc80": 1}]')
    final = envs[-1].msg
    assert final["status"] == "success", final
    assert final["result"] == [["str", repr("\ud800")], ["str", repr("x\udfffy")], ["str", repr("\U0001F600")],
                               ["dict", repr({"\udc80": 1})]]
    envs = _call_raw(kernel, "echo", r'["\ud800"]')
    assert envs[-1].msg["result"] == ["\ud800"]
    assert '"result":["\\ud800"]' in envs[-1].frames[0]


def test_sys_response_with_nan_infinity_and_big_integers_is_delivered(kernel):
    r = rid("sysnan")
    kernel.send({"type": "execution_request", "request_id": r, "function_name": "ask",
                 "code": "(lambda a: [repr(a['v']), repr(a['w']), repr(a['x']), a['big'], a['s']])("
                         "gridlet.messaging.send_request_sync({'tag': 'nan'}, timeout=5.0))"})
    sreq = kernel.recv_until(lambda m: m.get("type") == "sys_request" and m["payload"].get("tag") == "nan")
    kernel.send_raw('{"type": "sys_response", "payload": {"requestId": "%s", "v": NaN, "w": Infinity,'
                    ' "x": -Infinity, "big": %d, "s": "\\udc00"}}' % (sreq["payload"]["requestId"], BIG))
    final = kernel.collect_for(r)[-1]
    assert final["type"] == "execution_result", final
    assert final["result"] == ["nan", "inf", "-inf", BIG, "\udc00"]


def _pair_cut_message(request_id):
    """JSON text of a request whose code holds U+1F600 with its high surrogate as the last
    UTF-16 unit of the first piece; evaluating it gives that character's code point."""
    head = ('{"type":"execution_request","request_id":"%s","function_name":"probe","code":"ord(\''
            % request_id)
    k = CHUNK_SIZE - 1 - len(head)
    return head + "a" * k + "\U0001F600" + "b" * 10 + "'[%d])\"}" % k


def _send_cut_by_utf16(kernel, text, order=None):
    """Send `text` as chunks cut by UTF-16 units, each piece's halves escaped by json.dumps."""
    units = text.encode("utf-16-le")
    size = 2 * CHUNK_SIZE
    pieces = [units[i:i + size].decode("utf-16-le", "surrogatepass") for i in range(0, len(units), size)]
    cid = "pair-" + rid("c")
    for i in order if order is not None else range(len(pieces)):
        kernel.send_raw(json.dumps({"type": "chunk", "chunk_id": cid, "chunk_index": i,
                                    "total_chunks": len(pieces), "data": pieces[i],
                                    "original_type": "execution_request", "request_id": "N/A"}))
    return pieces


@pytest.mark.parametrize("reverse", [False, True])
def test_chunks_cut_between_surrogate_halves_are_joined_into_the_character(kernel, reverse):
    r = rid("pair")
    text = _pair_cut_message(r)
    pieces = _send_cut_by_utf16(kernel, text, order=[1, 0] if reverse else None)
    assert len(pieces) == 2 and pieces[0][-1] == "\ud83d" and pieces[1][0] == "\ude00"
    msgs = kernel.collect_for(r, timeout=10)
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    assert msgs[-1]["result"] == 0x1F600


def test_lone_surrogates_in_names_and_code_are_answered(kernel):
    # Code holding a lone surrogate is refused by compile, as stock Python refuses it.
    r = rid("lonecode")
    kernel.send_raw('{"type": "execution_request", "request_id": "%s", "code": "len(\'\\ud800\')",'
                    ' "function_name": "f"}' % r)
    final = kernel.collect_for(r)[-1]
    assert final["type"] == "execution_error"
    assert final["error"]["type"] == "UnicodeEncodeError"
    assert "'\\ud800'" in final["error"]["message"]
    # Names that no module or function can have.
    r = rid("lonename")
    kernel.send_raw('{"type": "custom_function_call", "module_name": "pyjson", "function_name": "x\\udc80",'
                    ' "args": [], "request_id": "%s"}' % r)
    final = kernel.collect_for(r, "function_execution_result")[-1]
    assert final["status"] == "error"
    assert "AttributeError: Function 'x\udc80' not found in module 'pyjson'" in final["error"]
    kernel.send_raw('{"type": "add_path", "path": "/tmp/\\ud800"}')
    kernel.ping()
