"""Storms of pipelined worksheet function calls, which the workers take in batches: every call
answered exactly once with its own result, output and logs; a slow or blocked call in the middle
of a storm holds back nobody; an interrupt reaches a call taken in a batch; a module update sent
between the calls of a storm is seen by every call after it."""
import time

import pytest

from calls import send_module
from conftest import rid

MOD = """
import threading

_release = threading.Event()

def hold():
    print("holding")
    return _release.wait(timeout=60)

def release():
    _release.set()
    return True

def twice(x):
    print(f"call {x}")
    return x * 2

def spin_loud():
    print("started")
    while True:
        pass
"""


@pytest.fixture
def storm(kernel):
    send_module(kernel, "storm", MOD)
    return kernel


def send_call(bl, function, args, request_id, module="storm"):
    bl.send({"type": "custom_function_call", "module_name": module, "function_name": function,
             "args": list(args), "request_id": request_id})


def gather(bl, ids, until, timeout=60, others=None):
    """Messages per request id in `ids`, read until `until(by_id)` holds; the other messages
    read meanwhile go to `others` when given."""
    by_id = {i: [] for i in ids}
    deadline = time.monotonic() + timeout
    while not until(by_id):
        left = deadline - time.monotonic()
        assert left > 0, f"{sum(1 for v in by_id.values() if finals(v))} of {len(ids)} calls answered"
        m = bl.recv(timeout=left)
        if m.get("request_id") in by_id:
            by_id[m["request_id"]].append(m)
        elif others is not None:
            others.append(m)
    return by_id


def finals(msgs):
    return [m for m in msgs if m["type"] == "function_execution_result"]


def all_answered(ids):
    return lambda by_id: all(finals(by_id[i]) for i in ids)


def check_twice(request_id, x, msgs):
    """One call of twice(x): its own output, then result_output, execution_result and the one
    function_execution_result, in that order, with its own value and logs."""
    kinds = [m["type"] for m in msgs]
    printed = kinds.count("stdout")
    assert printed >= 1 and kinds == ["stdout"] * printed + [
        "result_output", "execution_result", "function_execution_result"], (request_id, kinds)
    assert "".join(m["content"] for m in msgs if m["type"] == "stdout") == f"call {x}\n"
    assert msgs[printed]["content"] == f"Out: {x * 2}\n"
    final = msgs[-1]
    assert final["status"] == "success" and final["result"] == x * 2, final
    assert final["logs"].count("call ") == 1 and f"call {x}\n" in final["logs"], final["logs"]


def no_more_for(bl, ids, wait=0.5):
    """Nothing else carrying one of `ids` arrives within `wait` seconds."""
    extra = []
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        try:
            m = bl.recv(timeout=max(deadline - time.monotonic(), 0.001))
        except AssertionError:
            break
        if m.get("request_id") in ids:
            extra.append(m)
    assert extra == []


def test_storm_behind_a_blocked_call_is_answered_once_each_in_order(storm):
    held = rid("held")
    send_call(storm, "hold", [], held)
    ids = [rid(f"tw{i}-") for i in range(1500)]
    for i, r in enumerate(ids):
        send_call(storm, "twice", [i], r)
    by_id = gather(storm, ids + [held], all_answered(ids))
    # Every call of the storm was answered while the first one still waits.
    assert finals(by_id[held]) == []
    for i, r in enumerate(ids):
        check_twice(r, i, by_id[r])
    released = rid("rel")
    send_call(storm, "release", [], released)
    done = gather(storm, [held, released], all_answered([held, released]), timeout=30)
    assert finals(by_id[held] + done[held])[0]["result"] is True
    assert finals(done[released])[0]["result"] is True
    no_more_for(storm, set(ids) | {held, released})


def test_interrupt_reaches_a_call_taken_in_the_middle_of_a_storm(storm):
    before = [rid(f"b{i}-") for i in range(200)]
    looping = rid("loop")
    after = [rid(f"a{i}-") for i in range(200)]
    for i, r in enumerate(before):
        send_call(storm, "twice", [i], r)
    send_call(storm, "spin_loud", [], looping)
    for i, r in enumerate(after):
        send_call(storm, "twice", [1000 + i], r)
    ids = before + after

    def started_and_answered(by_id):
        return all(finals(by_id[i]) for i in ids) and any(
            m["type"] == "stdout" and "started" in m["content"] for m in by_id[looping])

    by_id = gather(storm, ids + [looping], started_and_answered)
    for i, r in enumerate(before):
        check_twice(r, i, by_id[r])
    for i, r in enumerate(after):
        check_twice(r, 1000 + i, by_id[r])
    storm.send({"type": "interrupt_request", "request_id": looping})
    reply = storm.recv_until(lambda m: m.get("type") == "interrupt_reply", timeout=10)
    assert reply["interrupted"] == [looping]
    final = gather(storm, [looping], all_answered([looping]), timeout=20)[looping]
    assert finals(final)[0]["status"] == "error" and "KeyboardInterrupt" in finals(final)[0]["error"]
    # The worker that ran it takes the next storm like the others.
    more = [rid(f"m{i}-") for i in range(300)]
    for i, r in enumerate(more):
        send_call(storm, "twice", [i], r)
    by_id = gather(storm, more, all_answered(more))
    for i, r in enumerate(more):
        check_twice(r, i, by_id[r])
    no_more_for(storm, set(ids) | set(more) | {looping})


def test_module_update_between_calls_of_a_storm_is_seen_by_every_later_call(storm):
    code = "def which(i):\n    return [{!r}, i]\n"
    send_module(storm, "stormver", code.format("v1"))
    first = [rid(f"v1-{i}-") for i in range(400)]
    later = [rid(f"v2-{i}-") for i in range(400)]
    for i, r in enumerate(first):
        send_call(storm, "which", [i], r, module="stormver")
    storm.send({"type": "update_module", "module_name": "stormver", "code": code.format("v2")})
    for i, r in enumerate(later):
        send_call(storm, "which", [i], r, module="stormver")
    others = []
    by_id = gather(storm, first + later, all_answered(first + later), others=others)
    assert {"type": "module_updated", "module_name": "stormver"} in others
    for i, r in enumerate(first):
        (final,) = finals(by_id[r])
        assert final["status"] == "success" and final["result"] in (["v1", i], ["v2", i]), final
    for i, r in enumerate(later):
        (final,) = finals(by_id[r])
        assert final["status"] == "success" and final["result"] == ["v2", i], final
    no_more_for(storm, set(first) | set(later))


def test_a_full_queue_behind_waiting_workers_still_lets_their_answers_in(storm):
    # Every worker waits for a sys_response, and more calls are queued behind them than the
    # kernel takes in while its workers are busy: the queue does not move, so reading goes on
    # and the answers (sent after the calls) still reach the waiting workers.
    waits = []
    for i in range(10):
        r = rid(f"wait{i}")
        storm.send({"type": "execution_request", "request_id": r, "function_name": "ask",
                    "code": f"gridlet.messaging.send_request_sync({{'tag': 'full-{i}'}}, timeout=60)"})
        sreq = storm.recv_until(lambda m, i=i: m.get("type") == "sys_request"
                                and m.get("payload", {}).get("tag") == f"full-{i}", timeout=10)
        waits.append((r, sreq["payload"]["requestId"]))
    ids = [rid("queued") for _ in range(6000)]
    for n, r in enumerate(ids):
        send_call(storm, "twice", [n], r)
    for _, request_id in waits:
        storm.send({"type": "sys_response", "payload": {"requestId": request_id, "ok": True}})
    wait_ids = [r for r, _ in waits]

    def ended(msgs):
        return [m for m in msgs if m["type"] in ("execution_result", "execution_error")]

    by_id = gather(storm, wait_ids + ids,
                   lambda b: all(ended(b[r]) for r in wait_ids) and all(finals(b[r]) for r in ids),
                   timeout=120)
    for r in wait_ids:
        assert [m["type"] for m in ended(by_id[r])] == ["execution_result"], by_id[r]
    for n, r in enumerate(ids):
        final = finals(by_id[r])
        assert len(final) == 1 and final[0]["result"] == 2 * n, by_id[r]
