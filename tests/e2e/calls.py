"""Helpers shared by the tests of workbook modules and function calls."""

import textwrap
import time

from conftest import rid


def send_module(bl, name, code, timeout=5):
    """Send a workbook module's source and wait for its `module_updated` reply."""
    bl.send({"type": "update_module", "module_name": name, "code": textwrap.dedent(code)})
    reply = bl.recv_until(lambda m: m.get("type") == "module_updated"
                          and m.get("module_name") == name, timeout)
    assert reply == {"type": "module_updated", "module_name": name}
    return reply


def delete_module(bl, name, timeout=5):
    bl.send({"type": "delete_module", "module_name": name})
    reply = bl.recv_until(lambda m: m.get("type") == "module_deleted"
                          and m.get("module_name") == name, timeout)
    assert reply == {"type": "module_deleted", "module_name": name}
    return reply


def call_function(bl, module_name, function_name, args=(), request_id=None, timeout=10,
                  kind="custom_function_call", **fields):
    """Send a custom_function_call (or run_module) and return every message carrying
    its request id up to the closing function_execution_result."""
    request_id = request_id or rid("cf")
    msg = {"type": kind, "module_name": module_name, "function_name": function_name,
           "args": list(args), "request_id": request_id}
    msg.update(fields)
    bl.send(msg)
    return bl.collect_for(request_id, "function_execution_result", timeout=timeout)


def call_callable(bl, callable_id, args=(), request_id=None, timeout=10, **fields):
    request_id = request_id or rid("pf")
    msg = {"type": "python_function_call", "callable_id": callable_id, "args": list(args),
           "request_id": request_id}
    msg.update(fields)
    bl.send(msg)
    return bl.collect_for(request_id, "python_function_result", timeout=timeout)


def fire_event(bl, module_name, function_name, args=(), request_id=None, timeout=10, **fields):
    request_id = request_id or rid("ev")
    msg = {"type": "event_execution", "module_name": module_name,
           "function_name": function_name, "args": list(args), "request_id": request_id}
    msg.update(fields)
    bl.send(msg)
    return bl.collect_for(request_id, "event_execution_result", timeout=timeout)


def stream_until_done(bl, request_id, timeout=10):
    """Every message of one stream (values, output) up to its message with done true."""
    deadline = time.monotonic() + timeout
    out = []
    while True:
        m = bl.recv_until(lambda m: m.get("request_id") == request_id,
                          max(deadline - time.monotonic(), 0.001))
        out.append(m)
        if m.get("type") == "streaming_function_result" and m.get("done") is True:
            return out


def texts(msgs, kind):
    return "".join(m["content"] for m in msgs if m["type"] == kind)


def of_type(msgs, kind):
    return [m for m in msgs if m["type"] == kind]


def once_per_kernel(bl, key, setup):
    """Run `setup(bl)` the first time `key` is asked for on this kernel, so that a test
    module's modules and registrations are in place again after a kernel was replaced."""
    done = bl.__dict__.setdefault("_e2e_setup_done", set())
    if key not in done:
        setup(bl)
        done.add(key)
