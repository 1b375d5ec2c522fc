"""execute_streaming_function and cancel_streaming_function: values in order, the final
message, cancellation, module sync through request_module_sync, failures, and a reader
that stops taking frames."""

import time

import pytest

from calls import of_type, once_per_kernel, send_module, stream_until_done, texts
from conftest import rid

RESULT_KEYS = ["type", "request_id", "result", "done", "workbook_id"]
FINAL_KEYS = ["type", "request_id", "done", "workbook_id"]
ERROR_KEYS = ["type", "request_id", "error", "done", "workbook_id"]

GENS = """
import datetime
import threading
import time

GATE = threading.Event()

def gated():
    yield 'before gate'
    GATE.wait(8)
    yield 'after gate'

def count(n):
    for i in range(n):
        yield {'i': i}

def empty():
    return
    yield

def dates():
    yield datetime.date(2024, 1, 2)
    yield (1, 'a')

def talk(n):
    for i in range(n):
        print('value', i)
        yield i

def not_gen():
    return [1, 2]

def midway():
    yield 1
    yield 2
    raise ValueError('midway failure')

def slow(n, pause):
    for i in range(n):
        time.sleep(pause)
        yield i

def exits():
    yield 'a'
    raise SystemExit(2)

def interrupted():
    yield 'a'
    raise KeyboardInterrupt('stop streaming')

def unconvertible():
    yield 1
    yield object()

def big(n, size):
    s = 'x' * size
    for i in range(n):
        yield s
"""


def _send_modules(bl):
    send_module(bl, "st_gens", GENS)
    send_module(bl, "st_import_fails", "raise RuntimeError('import boom')\n")


@pytest.fixture(autouse=True)
def _modules(request):
    if "kernel" in request.fixturenames:
        once_per_kernel(request.getfixturevalue("kernel"), "st", _send_modules)


def _start(kernel, function, args=(), request_id=None, module="st_gens", **fields):
    request_id = request_id or rid("st")
    kernel.send({"type": "execute_streaming_function", "request_id": request_id,
                 "module_name": module, "function_name": function, "args": list(args),
                 **fields})
    return request_id


def _values(msgs):
    return [m for m in msgs if m["type"] == "streaming_function_result" and not m["done"]]


def test_values_in_order_then_one_done_message(kernel):
    r = _start(kernel, "count", [4], workbook_id="wb-request-field")
    msgs = stream_until_done(kernel, r)
    assert msgs == [
        {"type": "streaming_function_result", "request_id": r, "result": {"i": i},
         "done": False, "workbook_id": "wb-shared"} for i in range(4)
    ] + [{"type": "streaming_function_result", "request_id": r, "done": True,
          "workbook_id": "wb-shared"}]
    assert all(list(m) == RESULT_KEYS for m in msgs[:-1])
    assert list(msgs[-1]) == FINAL_KEYS
    assert kernel.quiet(r, 0.2) == []


def test_empty_generator_sends_only_the_done_message(kernel):
    r = _start(kernel, "empty")
    assert stream_until_done(kernel, r) == [
        {"type": "streaming_function_result", "request_id": r, "done": True,
         "workbook_id": "wb-shared"}]


def test_values_are_sent_in_wire_form(kernel):
    r = _start(kernel, "dates")
    msgs = stream_until_done(kernel, r)
    assert [m["result"] for m in _values(msgs)] == [
        {"__gridlet__": "date", "value": "2024-01-02"}, [1, "a"]]


def test_many_values_keep_their_order(kernel):
    r = _start(kernel, "count", [3000])
    msgs = stream_until_done(kernel, r, timeout=30)
    assert [m["result"]["i"] for m in _values(msgs)] == list(range(3000))
    assert "error" not in msgs[-1]


def test_values_arrive_as_they_are_produced(kernel):
    kernel.execute("import st_gens; st_gens.GATE.clear()")
    r = _start(kernel, "gated")
    # The generator now blocks until the test opens the gate: its first value must
    # already be out.
    first = kernel.recv_until(lambda m: m.get("request_id") == r, timeout=4)
    assert first["done"] is False and first["result"] == "before gate"
    kernel.execute("import st_gens; st_gens.GATE.set()")
    rest = stream_until_done(kernel, r, timeout=10)
    assert [m["result"] for m in _values(rest)] == ["after gate"]
    assert "error" not in rest[-1]


def test_output_of_the_generator_is_streamed_with_the_request_fields(kernel):
    r = _start(kernel, "talk", [2], workbook_id="wb-req", source="ide")
    msgs = stream_until_done(kernel, r)
    assert texts(msgs, "stdout") == "value 0\nvalue 1\n"
    for m in of_type(msgs, "stdout"):
        assert (m["workbook_id"], m["source"]) == ("wb-req", "ide")
    r = _start(kernel, "talk", [1])
    msgs = stream_until_done(kernel, r)
    assert all((m["workbook_id"], m["source"]) == ("", "addin") for m in of_type(msgs, "stdout"))


def test_function_that_is_not_a_generator(kernel):
    r = _start(kernel, "not_gen")
    msgs = stream_until_done(kernel, r)
    assert msgs == [{"type": "streaming_function_result", "request_id": r,
                     "error": "Function not_gen is not a generator function", "done": True,
                     "workbook_id": "wb-shared"}]
    assert list(msgs[0]) == ERROR_KEYS


def test_missing_function(kernel):
    r = _start(kernel, "nope")
    msgs = stream_until_done(kernel, r)
    assert msgs[-1]["error"] == "Function not found: nope" and msgs[-1]["done"] is True


def test_module_that_fails_to_import(kernel):
    r = _start(kernel, "f", module="st_import_fails")
    msgs = stream_until_done(kernel, r)
    assert msgs[-1]["error"] == "import boom" and msgs[-1]["done"] is True


def test_generator_that_raises_midway(kernel):
    r = _start(kernel, "midway")
    msgs = stream_until_done(kernel, r)
    assert [m["result"] for m in _values(msgs)] == [1, 2]
    assert msgs[-1] == {"type": "streaming_function_result", "request_id": r,
                        "error": "midway failure", "done": True, "workbook_id": "wb-shared"}
    stderr = texts(msgs, "stderr")
    assert "Traceback (most recent call last):" in stderr
    assert "ValueError: midway failure" in stderr


def test_unconvertible_value_ends_the_stream_with_an_error(kernel):
    r = _start(kernel, "unconvertible")
    msgs = stream_until_done(kernel, r)
    assert [m["result"] for m in _values(msgs)] == [1]
    assert "object" in msgs[-1]["error"]


def test_bad_argument_wire_value_ends_the_stream_with_an_error(kernel):
    r = _start(kernel, "count", [{"__gridlet__": "datetime", "value": "nope"}])
    msgs = stream_until_done(kernel, r)
    assert _values(msgs) == [] and msgs[-1]["error"]


@pytest.mark.parametrize("function, error", [("exits", "2"), ("interrupted", "stop streaming")])
def test_exit_or_interrupt_in_a_generator_ends_only_that_stream(kernel, function, error):
    r = _start(kernel, function)
    msgs = stream_until_done(kernel, r)
    assert [m["result"] for m in _values(msgs)] == ["a"]
    assert msgs[-1]["done"] is True and msgs[-1].get("error") == error
    kernel.ping()
    r = _start(kernel, "count", [2])
    assert len(_values(stream_until_done(kernel, r))) == 2


def test_cancel_before_the_first_value(kernel):
    r = rid("st")
    mark = kernel.log_mark()
    kernel.send({"type": "cancel_streaming_function", "request_id": r})
    kernel.wait_log(f"Received cancel_streaming_function for request_id: {r}", since=mark)
    _start(kernel, "count", [3], request_id=r)
    msgs = stream_until_done(kernel, r)
    assert msgs == [{"type": "streaming_function_result", "request_id": r, "result": "Canceled",
                     "done": True, "workbook_id": "wb-shared"}]
    assert kernel.quiet(r, 0.3) == []


def test_cancel_while_streaming_stops_at_the_next_value(kernel):
    r = _start(kernel, "slow", [100, 0.02])
    first = kernel.recv_until(lambda m: m.get("request_id") == r, timeout=5)
    assert first["result"] == 0
    kernel.send({"type": "cancel_streaming_function", "request_id": r})
    msgs = stream_until_done(kernel, r, timeout=5)
    assert msgs[-1] == {"type": "streaming_function_result", "request_id": r,
                        "result": "Canceled", "done": True, "workbook_id": "wb-shared"}
    got = [first["result"]] + [m["result"] for m in _values(msgs)]
    assert got == list(range(len(got))) and len(got) < 100
    assert kernel.quiet(r, 0.2) == []


def test_cancel_of_an_unknown_stream_is_silent(kernel):
    r = rid("nostream")
    kernel.send({"type": "cancel_streaming_function", "request_id": r})
    kernel.ping()
    assert kernel.quiet(r, 0.1) == []


def test_module_sync_late_arrival_and_never_arriving(kernel):
    """Three streams at once: a module sent 2 s after request_module_sync, one never
    sent, and an installed module that is not held in memory (still asked for)."""
    late, never, disk = rid("late"), rid("never"), rid("disk")
    _start(kernel, "gen", [3], request_id=late, module="st_late_mod")
    _start(kernel, "gen", [3], request_id=never, module="st_never_mod")
    _start(kernel, "dumps", [[1]], request_id=disk, module="json")
    asks = {}
    for _ in range(3):
        m = kernel.recv_until(lambda m: m.get("type") == "request_module_sync", timeout=5)
        asks[m["module_name"]] = m
    assert asks == {name: {"type": "request_module_sync", "module_name": name,
                           "workbook_id": "wb-shared"}
                    for name in ("st_late_mod", "st_never_mod", "json")}
    assert all(list(m) == ["type", "module_name", "workbook_id"] for m in asks.values())
    t0 = time.monotonic()
    # The listener keeps answering while the streams wait for their modules.
    kernel.ping()
    assert kernel.quiet(late, 0.1) == []
    time.sleep(max(0.0, 2.0 - (time.monotonic() - t0)))
    send_module(kernel, "st_late_mod", "def gen(n):\n    for i in range(n):\n        yield i * i\n")
    msgs = stream_until_done(kernel, late, timeout=5)
    assert [m["result"] for m in _values(msgs)] == [0, 1, 4]
    assert "error" not in msgs[-1]
    for r, name in ((never, "st_never_mod"), (disk, "json")):
        msgs = stream_until_done(kernel, r, timeout=8)
        assert msgs == [{"type": "streaming_function_result", "request_id": r,
                         "error": f"Module '{name}' not found after sync attempt",
                         "done": True, "workbook_id": "wb-shared"}]
    kernel.wait_log("Module 'st_never_mod' not found after sync attempt")


def _refusal(kernel, msg, request_id):
    """Send a request that cannot be used: it is answered once, with a final
    streaming_function_result that echoes the request_id it carried."""
    kernel.drain()
    seen = len(kernel.all_messages)
    kernel.send(msg)
    final = kernel.recv_until(lambda m: m.get("type") == "streaming_function_result"
                              and m.get("request_id") == request_id and m.get("done") is True)
    assert list(final) == ["type", "request_id", "error", "done", "workbook_id"], final
    assert isinstance(final["error"], str) and final["error"].startswith("execute_streaming_function requires")
    kernel.ping()
    later = kernel.all_messages[seen:]
    assert not [m for m in later if m.get("type") == "error"], later
    assert [m for m in later if m.get("type") == "streaming_function_result"] == [final]
    return final


@pytest.mark.parametrize("drop", ["request_id", "module_name", "function_name"])
def test_request_missing_a_required_field_is_answered(kernel, drop):
    r = rid("stbad")
    msg = {"type": "execute_streaming_function", "request_id": r, "module_name": "st_gens",
           "function_name": "count", "args": [1]}
    del msg[drop]
    final = _refusal(kernel, msg, None if drop == "request_id" else r)
    assert final["error"] == f"execute_streaming_function requires '{drop}' as a string"


@pytest.mark.parametrize("fields,problem", [
    ({"request_id": None}, "'request_id' as a string, not NoneType"),
    ({"request_id": 17}, "'request_id' as a string, not int"),
    ({"request_id": ["a"]}, "'request_id' as a string, not list"),
    ({"args": {"a": 1}}, "'args' as a list, not dict"),
    ({"args": "text"}, "'args' as a list, not str"),
    ({"module_name": None}, "'module_name' as a string, not NoneType"),
    ({"function_name": 5}, "'function_name' as a string, not int"),
], ids=["id-null", "id-int", "id-list", "args-object", "args-text", "module-null", "function-int"])
def test_request_with_wrong_field_types_is_answered(kernel, fields, problem):
    r = rid("stbad")
    msg = {"type": "execute_streaming_function", "request_id": r, "module_name": "st_gens",
           "function_name": "count", "args": [1], **fields}
    final = _refusal(kernel, msg, msg["request_id"])
    assert final["error"] == "execute_streaming_function requires " + problem


def _pause_reading(bl):
    bl.loop.call_soon_threadsafe(bl.ws.transport.pause_reading)


def _resume_reading(bl):
    bl.loop.call_soon_threadsafe(bl.ws.transport.resume_reading)


def test_value_not_written_within_a_second_ends_the_stream_with_an_error(kernel_factory):
    """The Business Layer stops reading; once the socket buffers are full the kernel's
    sends stall, and the stream must end with an error rather than a completion."""
    bl = kernel_factory.start(workbook_id="wb-stall")
    try:
        send_module(bl, "st_stall", GENS)
        _pause_reading(bl)
        r = rid("stall")
        # 400 values of 100000 characters: far more than the socket buffers hold.
        bl.send({"type": "execute_streaming_function", "request_id": r,
                 "module_name": "st_stall", "function_name": "big", "args": [400, 100000]},
                timeout=10)
        bl.wait_log("Starting to stream results from generator: big", timeout=5)
        # Leave the kernel stalled for well over its one-second limit.
        time.sleep(2.5)
        _resume_reading(bl)
        msgs = stream_until_done(bl, r, timeout=60)
        final = msgs[-1]
        assert final["done"] is True
        assert isinstance(final.get("error"), str) and final["error"], \
            f"stalled stream ended without an error: {final}"
        assert len(_values(msgs)) < 400
        bl.ping(timeout=10)
    finally:
        _resume_reading(bl)
        kernel_factory.finish(bl)


def test_no_batch_messages_are_sent(kernel):
    # The batcher runs with the connection, but nothing is enqueued to it.
    r = _start(kernel, "count", [50])
    stream_until_done(kernel, r)
    kernel.ping()
    assert kernel.all_messages, "no traffic seen"
    assert [m for m in kernel.all_messages if m.get("type") == "batch"] == []


def test_cancellations_for_streams_that_never_come_are_bounded(kernel):
    # Thousands of stray cancels must not grow the kernel without limit, and streaming still works.
    for i in range(5000):
        kernel.send({"type": "cancel_streaming_function", "request_id": f"stray-{i}"})
    kernel.ping(timeout=20)
    kernel.wait_log("cancellations for streams that never started: forgetting them", timeout=5)
