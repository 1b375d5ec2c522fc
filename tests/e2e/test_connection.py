"""Connecting, the URL, TLS, command line, logging and how the process ends."""

import json
import os
import re
import subprocess
import time
import urllib.parse

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
                 "GRIDLET_LOG_LEVEL", "GRIDLET_TLS_CA_FILE", "GRIDLET_TLS_PIN", "GRIDLET_AUTH_TOKEN",
                 "GRIDLET_PING_INTERVAL", "exit status"):
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


# ------------------------------------------------------------------ any workbook name

@pytest.mark.parametrize("workbook_id", [
    "Book 1.xlsx", "Zahlen-éè", "Q1/Sales", "a?b#c", "%41", "..", "wb-Plain_1.x~"])
def test_workbook_id_travels_as_one_percent_encoded_path_segment(kernel_factory, workbook_id):
    bl = kernel_factory.start(workbook_id=workbook_id)
    # RFC 3986: unreserved characters as they are, every other UTF-8 byte as %XX.
    expected = "/ws/kernel/" + (
        "%2E%2E" if workbook_id == ".." else urllib.parse.quote(workbook_id, safe="", encoding="utf-8"))
    assert bl.paths == [expected]
    assert urllib.parse.unquote(bl.paths[0][len("/ws/kernel/"):]) == workbook_id
    if workbook_id == "wb-Plain_1.x~":
        assert bl.paths == ["/ws/kernel/wb-Plain_1.x~"]  # the same URL as before encoding
    msgs = bl.execute("print('hi')")
    assert {m["workbook_id"] for m in msgs if m["type"] == "stdout"} == {workbook_id}
    kernel_factory.finish(bl)


# ------------------------------------------------------------------ handshake limits

def test_upgrade_answer_with_large_headers_is_accepted_up_to_64_kib(kernel_factory):
    cookies = [("Set-Cookie", f"c{i}={'x' * 2000}") for i in range(10)]  # 20 KiB
    bl = kernel_factory.start(workbook_id="wb-cookies", extra_headers=cookies)
    bl.ping()
    kernel_factory.finish(bl)

    cookies = [("Set-Cookie", f"c{i}={'x' * 2000}") for i in range(34)]  # 68 KiB
    bl = kernel_factory.start(workbook_id="wb-cookies-over", extra_headers=cookies, connect=False)
    code = bl.wait_exit(15)
    log = bl.log_text()
    assert code == 1, log
    assert "Kernel error: WebSocket handshake failed: the server's response header is larger than 64 KiB" in log
    assert "Kernel connected" not in log


# ------------------------------------------------------------------ keep-alive

def test_server_that_stops_answering_pings_ends_the_kernel(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-hang", env={"GRIDLET_PING_INTERVAL": "0.3"})
    bl.ping()
    # Quiet for several intervals: the server's pongs keep the connection.
    time.sleep(1.5)
    bl.ping()
    assert "keep-alive" not in bl.log_text()
    # The server hangs without closing its socket: it reads nothing more, so answers no ping.
    bl.loop.call_soon_threadsafe(bl.ws.transport.pause_reading)
    t0 = time.monotonic()
    assert bl.wait_exit(15) == 0
    elapsed = time.monotonic() - t0
    log = bl.log_text()
    assert "[Kernel] Connection closed: no answer to the keep-alive ping within 0.3 s" in log, log
    assert "Kernel disconnected for workbook: wb-hang" in log
    assert elapsed < 10, f"took {elapsed:.1f}s"


def test_ping_interval_zero_turns_keep_alive_off(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-no-ping", env={"GRIDLET_PING_INTERVAL": "0"})
    bl.ping()
    bl.loop.call_soon_threadsafe(bl.ws.transport.pause_reading)
    time.sleep(1.5)
    assert bl.proc.poll() is None
    bl.loop.call_soon_threadsafe(bl.ws.transport.resume_reading)
    bl.ping()
    kernel_factory.finish(bl)
    assert "keep-alive" not in bl.log_text()


# ------------------------------------------------------------------ protocol failure by the peer

def test_invalid_utf8_from_the_server_ends_the_kernel_with_status_three(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-bad-utf8")
    bl.ping()
    # A text frame whose payload is not UTF-8: the kernel closes with 1007 and says why.
    bl._call(bl.ws.write_frame(True, 0x1, b'{"type":"x\xff"}'))
    code = bl.wait_exit(10)
    log = bl.log_text()
    assert code == 3, log
    assert "[Kernel] Connection closed: protocol error by the Business Layer: " in log, log
    assert bl.conn_closed.wait(5)
    assert bl.ws.close_code == 1007
