"""The listener never waits for Python: while a worker holds the GIL inside a C call, every kind
is still received and routed, the listener's own replies and pongs go out, and each kind gets its
reply once the GIL is free. State changes are seen by every request that arrives after them, and
the process ends promptly however busy Python is."""

import asyncio
import json
import os
import signal
import textwrap
import time

import pytest

from conftest import rid

# Holds the GIL for `seconds` inside one C call (PyDLL keeps the GIL during the call).
HOG = "import ctypes; ctypes.PyDLL(None).usleep({micros})"

MODULE = textwrap.dedent("""
    import gridlet

    def version():
        return 1

    def ticks():
        yield 1
        yield 2
""")


def _start_hog(bl, seconds):
    r = rid("hog")
    bl.send({"type": "execution_request", "code": HOG.format(micros=int(seconds * 1e6)), "request_id": r})
    # The hog's run has started once its worker had the GIL; give it a moment to get there.
    time.sleep(0.3)
    return r


def _pong_seconds(bl):
    async def ping():
        t0 = time.monotonic()
        waiter = await bl.ws.ping()
        await asyncio.wait_for(waiter, 10)
        return time.monotonic() - t0
    return bl._call(ping(), 15)


def _every_kind(module):
    """One message of each kind (but shutdown), with the reply kind each must get."""
    return [
        ({"type": "execution_request", "code": "1 + 1", "request_id": rid("k")}, "execution_result"),
        ({"type": "custom_function_call", "module_name": module, "function_name": "version", "args": [],
          "request_id": rid("k")}, "function_execution_result"),
        ({"type": "python_function_call", "callable_id": "nope", "args": [], "request_id": rid("k")},
         "python_function_result"),
        ({"type": "event_execution", "module_name": module, "function_name": "version", "args": [],
          "request_id": rid("k")}, "event_execution_result"),
        ({"type": "execute_streaming_function", "module_name": module, "function_name": "ticks", "args": [],
          "request_id": rid("k")}, "streaming_function_result"),
        ({"type": "cancel_streaming_function", "request_id": rid("k")}, None),
        ({"type": "run_module", "module_name": module, "function_name": "version", "args": [],
          "request_id": rid("k")}, "function_execution_result"),
        ({"type": "update_module", "module_name": module + "_b", "code": "x = 1\n"}, "module_updated"),
        ({"type": "delete_module", "module_name": module + "_b"}, "module_deleted"),
        ({"type": "add_path", "path": "/tmp/gridlet-hog-path"}, "path_added"),
        ({"type": "remove_path", "path": "/tmp/gridlet-hog-path"}, "path_removed"),
        ({"type": "reset_path"}, "path_reset"),
        ({"type": "set_package_paths", "old_paths": [], "new_paths": []}, "package_paths_updated"),
        ({"type": "set_python_paths", "old_paths": [], "new_paths": []}, "python_paths_updated"),
        ({"type": "unload_and_clear_paths", "paths": []}, "modules_unloaded"),
        ({"type": "reset_namespace"}, "namespace_reset"),
        ({"type": "get_object_registry"}, "object_registry_response"),
        ({"type": "com_event_config_update", "com_config": {}}, None),
        ({"type": "completion_request", "code": "import os\nos.pa", "line": 2, "column": 5,
          "request_id": rid("k")}, "completion_response"),
        ({"type": "signature_help_request", "code": "print(", "line": 1, "column": 6,
          "request_id": rid("k")}, "signature_help_response"),
        ({"type": "hover_request", "code": "len", "line": 1, "column": 1, "request_id": rid("k")},
         "hover_response"),
        ({"type": "diagnostic_request", "code": "x = (", "request_id": rid("k")}, "diagnostic_response"),
        ({"type": "set_hover_mode", "mode": "compact"}, "hover_mode_updated"),
        ({"type": "debug_update_breakpoints", "breakpoints": []}, None),
        ({"type": "debug_continue"}, None),
        ({"type": "debug_step_over"}, None),
        ({"type": "debug_step_into"}, None),
        ({"type": "debug_step_out"}, None),
        ({"type": "debug_stop"}, None),
        ({"type": "debug_evaluate", "expression": "1", "request_id": rid("k")}, "debug_evaluate_result"),
        ({"type": "sys_response", "payload": {"requestId": "nobody-waits"}}, None),
        ({"type": "interrupt_request", "request_id": "no-such-run"}, "interrupt_reply"),
    ]


def test_gil_hog_delays_no_listener_reply_and_every_kind_is_answered(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-hog")
    bl.send({"type": "update_module", "module_name": "hogmod", "code": MODULE})
    bl.recv_until(lambda m: m.get("type") == "module_updated")
    # Warm the language thread so its first answer is not the bridge's start-up.
    bl.send({"type": "diagnostic_request", "code": "x = 1", "request_id": "warm"})
    bl.recv_until(lambda m: m.get("request_id") == "warm", timeout=30)

    hog = _start_hog(bl, 3.0)
    sent = _every_kind("hogmod")
    for msg, _ in sent:
        bl.send(msg)
    t0 = time.monotonic()
    bl.send_raw("{not json")
    err = bl.recv_until(lambda m: m.get("type") == "error" and m.get("message") == "Invalid JSON received")
    error_after = time.monotonic() - t0
    pong_after = _pong_seconds(bl)
    evaluated = bl.recv_until(lambda m: m.get("type") == "debug_evaluate_result")
    assert evaluated["error"] == "No active debug session"
    interrupted = bl.recv_until(lambda m: m.get("type") == "interrupt_reply")
    assert interrupted["interrupted"] == []
    # All of that happened while the worker still held the GIL: the hog has not ended yet.
    assert not [m for m in bl.all_messages if m.get("request_id") == hog], (error_after, pong_after)
    print(f"invalid-JSON reply after {error_after * 1000:.1f} ms, pong after {pong_after * 1000:.1f} ms")
    assert err["message"] == "Invalid JSON received"

    final = bl.recv_until(lambda m: m.get("request_id") == hog
                          and m.get("type") in ("execution_result", "execution_error"), timeout=30)
    assert final["type"] == "execution_result"
    for msg, reply in sent:
        if reply in (None, "interrupt_reply", "debug_evaluate_result"):
            continue
        if "request_id" in msg:
            got = bl.recv_until(lambda m: m.get("request_id") == msg["request_id"] and m.get("type") == reply
                                and (reply != "streaming_function_result" or m.get("done")), timeout=30)
        else:
            got = bl.recv_until(lambda m: m.get("type") == reply, timeout=30)
        assert got["type"] == reply
    bl.ping()
    kernel_factory.finish(bl)


def test_state_changes_are_seen_by_the_next_request_with_workers_busy(kernel, tmp_path):
    # Six workers busy in Python (sleeping, GIL released between their steps).
    busy = [rid("busy") for _ in range(6)]
    for r in busy:
        kernel.send({"type": "execution_request", "code": "import time\nfor _ in range(30): time.sleep(0.02)",
                     "request_id": r})
    for attempt in range(5):
        r = rid("ord")
        kernel.send({"type": "update_module", "module_name": "ordered", "code": f"def v():\n    return {attempt}\n"})
        kernel.send({"type": "custom_function_call", "module_name": "ordered", "function_name": "v", "args": [],
                     "request_id": r})
        got = kernel.recv_until(lambda m: m.get("request_id") == r and m.get("type") == "function_execution_result")
        assert got["result"] == attempt

    (tmp_path / "ordered_file_mod.py").write_text("VALUE = 'from the path'\n")
    r = rid("ord")
    kernel.send({"type": "add_path", "path": str(tmp_path)})
    kernel.send({"type": "execution_request", "code": "import ordered_file_mod; ordered_file_mod.VALUE",
                 "request_id": r, "function_name": "probe"})
    got = kernel.recv_until(lambda m: m.get("request_id") == r and m.get("type") in ("execution_result",
                                                                                     "execution_error"))
    assert got.get("result") == "from the path", got
    kernel.send({"type": "remove_path", "path": str(tmp_path)})

    kernel.execute("left_over = 42")
    r = rid("ord")
    kernel.send({"type": "reset_namespace"})
    kernel.send({"type": "execution_request", "code": "'left_over' in globals()", "request_id": r,
                 "function_name": "probe"})
    got = kernel.recv_until(lambda m: m.get("request_id") == r and m.get("type") == "execution_result")
    assert got["result"] is False
    for r in busy:
        kernel.recv_until(lambda m: m.get("request_id") == r and m.get("type") == "execution_result", timeout=30)


@pytest.mark.parametrize("how", ["shutdown", "sigterm", "sigint", "peer_close"])
def test_process_ends_promptly_while_python_is_stuck_in_a_c_call(kernel_factory, how):
    bl = kernel_factory.start(workbook_id=f"wb-stuck-{how}")
    bl.ping()
    _start_hog(bl, 20.0)
    t0 = time.monotonic()
    if how == "shutdown":
        bl.send({"type": "shutdown"})
    elif how == "sigterm":
        bl.proc.send_signal(signal.SIGTERM)
    elif how == "sigint":
        bl.proc.send_signal(signal.SIGINT)
    else:
        bl.close_connection()
    code = bl.wait_exit(10)
    took = time.monotonic() - t0
    assert code == 0, bl.log_text()[-2000:]
    # Far sooner than the 20 s the stuck call lasts (the bound is about a second).
    assert took < 10
    assert bl.conn_closed.wait(5)
    # The kernel ended the WebSocket with a close frame, not by dropping the socket.
    assert bl.ws.close_code == 1000, bl.ws.close_code
    bl.stop()


def test_send_request_sync_refuses_bad_timeouts(kernel):
    for bad in ("float('nan')", "-1", "-0.5"):
        msgs = kernel.execute(f"gridlet.messaging.send_request_sync({{'action': 'x'}}, timeout={bad})")
        assert msgs[-1]["type"] == "execution_error"
        assert msgs[-1]["error"]["type"] == "ValueError", msgs[-1]
    assert not [m for m in kernel.all_messages if m.get("type") == "sys_request"
                and m["payload"].get("action") == "x"]


def test_send_request_sync_times_out_while_the_write_queue_is_full(kernel_factory):
    """The Business Layer stops reading and one run's output fills the write queue: a request
    whose message cannot even be queued still raises its TimeoutError at its deadline."""
    bl = kernel_factory.start(workbook_id="wb-full-queue")
    bl.ping()
    bl._call(_pause_reading(bl), 5)
    flood = rid("flood")
    bl.send({"type": "execution_request", "request_id": flood,
             "code": "blob = 'x' * (1 << 20)\nfor _ in range(16): print(blob)"})
    time.sleep(2)  # the flood is now waiting for room in the write queue
    asker = rid("ask")
    bl.send({"type": "execution_request", "request_id": asker, "code": textwrap.dedent("""
        import time, gridlet
        t0 = time.monotonic()
        try:
            gridlet.messaging.send_request_sync({'action': 'never'}, timeout=1.0)
            gridlet._e2e_outcome = 'answered'
        except TimeoutError:
            gridlet._e2e_outcome = 'timeout'
        gridlet._e2e_took = time.monotonic() - t0
    """)})
    time.sleep(3)
    bl._call(_resume_reading(bl), 5)
    assert bl.collect_for(flood, timeout=60)[-1]["type"] == "execution_result"
    assert bl.collect_for(asker, timeout=30)[-1]["type"] == "execution_result"
    assert bl.evaluate("gridlet._e2e_outcome") == "timeout"
    assert bl.evaluate("gridlet._e2e_took") < 2.5
    kernel_factory.finish(bl)


async def _pause_reading(bl):
    bl.ws.transport.pause_reading()


async def _resume_reading(bl):
    bl.ws.transport.resume_reading()


def test_child_processes_get_the_default_sigpipe_disposition(kernel):
    """As under python3: a child started by user code dies quietly of SIGPIPE when its reader goes
    away (`yes | head -1` ends at once instead of writing errors for ever)."""
    status = kernel.evaluate(
        "__import__('subprocess').run(['grep', 'SigIgn', '/proc/self/status'],"
        " capture_output=True, timeout=10).stdout.decode()")
    ignored = int(status.split()[1], 16)
    assert not ignored & (1 << (signal.SIGPIPE - 1)), status
    out = kernel.evaluate(
        "__import__('subprocess').run('yes | head -1', shell=True, capture_output=True, timeout=10).stdout.decode()")
    assert out == "y\n"


def test_a_forked_child_ended_by_sigterm_leaves_the_kernel_running(kernel):
    """SIGTERM ends the kernel with a close frame; in a forked child (os.fork, a multiprocessing
    worker) it has its usual effect and never reaches the parent."""
    kernel.execute(textwrap.dedent("""
        import os, signal
        pid = os.fork()
        if pid == 0:
            os.kill(os.getpid(), signal.SIGTERM)
            os._exit(3)
        _, status = os.waitpid(pid, 0)
    """))
    assert kernel.evaluate("os.WIFSIGNALED(status) and os.WTERMSIG(status)") == signal.SIGTERM
    time.sleep(0.3)
    kernel.ping()
