"""Connecting, the URL, TLS, command line, logging and how the process ends."""

import json
import os
import re
import subprocess
import time

import pytest

from conftest import KERNEL, free_port, rid


def test_ws_connects_to_kernel_path_of_its_workbook(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-path-7")
    assert bl.paths == ["/ws/kernel/wb-path-7"]
    bl.ping()
    kernel_factory.finish(bl)


def test_wss_accepts_self_signed_certificate(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-tls", tls=True)
    assert bl.paths == ["/ws/kernel/wb-tls"]
    msgs = bl.execute("print('over tls')")
    assert [m["content"] for m in msgs if m["type"] == "stdout"] == ["over tls", "\n"]
    assert msgs[-1]["type"] == "execution_result"
    kernel_factory.finish(bl)


def test_wss_close_from_server_ends_the_process_promptly(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-tls-close", tls=True)
    bl.ping()
    t0 = time.monotonic()
    bl.close_connection()
    assert bl.wait_exit(10) == 0
    elapsed = time.monotonic() - t0
    assert elapsed < 3, f"kernel took {elapsed:.1f}s to end after the server closed"
    kernel_factory.finish(bl)


def test_any_secured_value_but_zero_means_tls(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-false", tls=True, secured=True,
                              env={"GRIDLET_SECURED": "false"})
    assert bl.paths == ["/ws/kernel/wb-false"]
    bl.ping()
    kernel_factory.finish(bl)


def test_shutdown_ends_the_process_with_status_zero(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-shut")
    bl.ping()
    bl.send({"type": "shutdown"})
    assert bl.wait_exit(10) == 0
    assert bl.conn_closed.wait(5)
    log = bl.log_text()
    assert "Kernel disconnected for workbook: wb-shut" in log
    assert "Kernel error" not in log
    kernel_factory.finish(bl)


def test_server_closing_the_connection_ends_the_process_with_zero(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-close")
    bl.ping()
    bl.close_connection()
    assert bl.wait_exit(10) == 0
    assert "Kernel disconnected for workbook: wb-close" in bl.log_text()
    kernel_factory.finish(bl)


def test_process_exits_soon_even_with_a_worker_stuck_in_user_code(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-stuck")
    r = rid()
    bl.send({"type": "execution_request", "request_id": r,
             "code": "import time\nprint('sleeping')\ntime.sleep(60)"})
    bl.recv_until(lambda m: m.get("request_id") == r and m.get("type") == "stdout")
    bl.close_connection()
    assert bl.wait_exit(8) == 0
    kernel_factory.finish(bl)


def test_nonzero_exit_when_nothing_listens():
    if not os.path.exists(KERNEL):
        pytest.skip("kernel binary missing")
    env = dict(os.environ, GRIDLET_SECURED="0")
    p = subprocess.run([KERNEL, "wb-none", str(free_port())], env=env,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
    assert p.returncode != 0


def test_help_explains_arguments_and_environment():
    if not os.path.exists(KERNEL):
        pytest.skip("kernel binary missing")
    p = subprocess.run([KERNEL, "--help"], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=20)
    text = (p.stdout + p.stderr).decode("utf-8", "replace")
    assert p.returncode == 0, text
    for word in ("WORKBOOK_ID", "PORT", "--connection-args", "GRIDLET_SECURED",
                 "GRIDLET_LOG_LEVEL"):
        assert word in text


def test_connection_args_reach_the_bridge_module(kernel_factory):
    args = {"platform": "web", "tenant": "t-1", "n": 3}
    bl = kernel_factory.start(workbook_id="wb-args",
                              args=("--connection-args", json.dumps(args)))
    assert bl.evaluate("gridlet.connection_args") == args
    assert not [m for m in bl.all_messages if m["type"] == "win32_event_definitions"]
    kernel_factory.finish(bl)


def test_win32_platform_without_com_logs_warning_and_goes_on(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-win",
                              args=("--connection-args", '{"platform": "win32"}'))
    bl.wait_log("[Kernel] Could not start Win32 COM watcher: ")
    bl.ping()
    kernel_factory.finish(bl)


def test_first_request_finds_no_heavy_modules_imported(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-lean")
    loaded = bl.evaluate(
        "[m for m in ('asyncio', 'jedi', 'pyflakes', 'numpy') if m in __import__('sys').modules]")
    assert loaded == []
    kernel_factory.finish(bl)


def test_log_lines_go_to_stderr_and_never_through_the_streams(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-log", env={"GRIDLET_LOG_LEVEL": "DEBUG"})
    r = rid()
    msgs = bl.execute("print('payload line')", request_id=r)
    assert msgs[-1]["type"] == "execution_result"
    log = bl.wait_log(f"[Kernel] [Listener Thread] Received execution_request (source=ide, "
                      f"request_id={r})")
    assert "Kernel connected for workbook: wb-log" in log
    assert "[TIMING] Message received: type=execution_request" in log
    time.sleep(0.2)
    bl.quiet("nothing", 0.2)
    streamed = [m["content"] for m in bl.all_messages if m["type"] in ("stdout", "stderr")]
    assert streamed and not [s for s in streamed if "[Kernel]" in s or "[TIMING]" in s]
    kernel_factory.finish(bl)


@pytest.mark.parametrize("bad", [
    "{broken",
    "[1, 2]",
    '{"type": "execution_request", "request_id": "e1", "code": 5}',
    '{"type": "sys_response", "payload": [1]}',
], ids=["malformed", "not-object", "wrong-field-type", "handler-failure"])
def test_bad_input_is_logged_at_error_level(kernel_factory, bad):
    bl = kernel_factory.start(workbook_id="wb-quiet", env={"GRIDLET_LOG_LEVEL": "ERROR"})
    bl.ping()
    assert bl.log_text() == ""  # nothing below error level is written
    bl.send_raw(bad)
    bl.wait_log(re.compile(r"\S"), timeout=3)
    bl.ping()
    kernel_factory.finish(bl)
    log = bl.log_text()
    assert "Kernel connected for workbook" not in log
    assert "Received execution_request" not in log


def test_shutdown_during_a_stuck_run_ends_the_process(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-shut-busy")
    r = rid()
    bl.send({"type": "execution_request", "request_id": r,
             "code": "import time\nprint('busy')\ntime.sleep(60)"})
    bl.recv_until(lambda m: m.get("request_id") == r and m.get("type") == "stdout")
    bl.send({"type": "shutdown"})
    assert bl.wait_exit(8) == 0
    kernel_factory.finish(bl)
