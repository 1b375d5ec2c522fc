"""A Business Layer that misbehaves: it goes away in the middle of a call, of an outgoing chunk
sequence, of a stream and while a worker waits on a sys_request; it is not there at start; it
accepts the socket but never answers the handshake. In every case the kernel logs what happened
and ends by itself within a few seconds: status 0 after a connection that ended, 1 when it
could not connect. And the bounds of incoming data, each at its limit and one past it."""

import os
import random
import socket
import subprocess
import threading
import time
import uuid

import pytest

from calls import send_module
from conftest import KERNEL, ConnectionClosedByKernel, compact, free_port, rid

# How long the kernel may take to end once its peer is gone (it waits for nothing of user code).
END_WITHIN = 4.0
# The kernel gives up on an unanswered handshake after 5 s.
HANDSHAKE_LIMIT = 5.0

MAX_CHUNKS_PER_MESSAGE = 16384
MAX_CHUNK_BUFFER_BYTES = 256 << 20
MAX_INCOMPLETE_MESSAGES = 1024

FAULTS = """
import time
import gridlet

def slow(seconds):
    print('started')
    time.sleep(seconds)
    return 'finished'

def big(n):
    return 'x' * n

def ticks():
    i = 0
    while True:
        yield i
        i += 1
        time.sleep(0.005)

def ask():
    print('asking')
    return gridlet.messaging.send_request_sync({'action': 'get_range', 'address': 'A1'}, timeout=60)
"""


# ------------------------------------------------------------------ process helpers

def _children(pid):
    """Pids of every process below `pid`, from /proc."""
    parent_of = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        # Fields after the command name, which may hold spaces and parentheses.
        fields = stat[stat.rfind(")") + 2:].split()
        parent_of[int(entry)] = int(fields[1])
    found, frontier = set(), {pid}
    while frontier:
        frontier = {p for p, pp in parent_of.items() if pp in frontier} - found
        found |= frontier
    return found


def _alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def _ends_by_itself(bl, since, status=0):
    """The kernel exits on its own within END_WITHIN seconds of `since` with `status`, has
    logged the end of the connection and left no process behind."""
    children = _children(bl.proc.pid)
    code = bl.wait_exit(END_WITHIN + 6)
    elapsed = time.monotonic() - since
    log = bl.log_text()
    assert code == status, f"exit status {code}; log tail:\n{log[-3000:]}"
    assert elapsed < END_WITHIN, f"kernel took {elapsed:.1f}s to end; log tail:\n{log[-3000:]}"
    assert "Connection closed" in log, log[-3000:]
    assert f"Kernel disconnected for workbook: {bl.workbook_id}" in log, log[-3000:]
    left = [p for p in children if _alive(p)]
    assert not left, f"processes left behind: {left}"
    return log


def _abort(bl):
    """Drop the TCP connection without a WebSocket closing handshake."""
    bl.loop.call_soon_threadsafe(bl.ws.transport.abort)


def _close(bl, how):
    t0 = time.monotonic()
    if how == "close":
        # The closing handshake: the kernel answers it and ends.
        bl._call(bl.ws.close(), 10)
    else:
        _abort(bl)
    return t0


def _raw_frames_until(bl, pred, timeout=10):
    deadline = time.monotonic() + timeout
    while True:
        frame = bl.recv_frames(1, max(deadline - time.monotonic(), 0.01))[0]
        if pred(frame):
            return frame


def _module(bl):
    send_module(bl, "faults", FAULTS)


# ------------------------------------------------------------------ the peer goes away

@pytest.mark.parametrize("tls", [False, True], ids=["ws", "wss"])
@pytest.mark.parametrize("how", ["close", "abort"])
def test_peer_gone_in_the_middle_of_a_call(kernel_factory, how, tls):
    bl = kernel_factory.start(workbook_id=f"wb-midcall-{how}", tls=tls)
    _module(bl)
    r = rid("midcall")
    bl.send({"type": "custom_function_call", "module_name": "faults", "function_name": "slow",
             "args": [30], "request_id": r})
    bl.recv_until(lambda m: m.get("request_id") == r and m.get("type") == "stdout")
    t0 = _close(bl, how)
    _ends_by_itself(bl, t0)
    kernel_factory.finish(bl)


@pytest.mark.parametrize("how", ["close", "abort"])
def test_peer_gone_in_the_middle_of_an_outgoing_chunk_sequence(kernel_factory, how):
    bl = kernel_factory.start(workbook_id=f"wb-midchunk-{how}")
    _module(bl)
    r = rid("midchunk")
    # 40 million characters: about 600 chunks, far more than the socket takes at once.
    bl.send({"type": "custom_function_call", "module_name": "faults", "function_name": "big",
             "args": [40_000_000], "request_id": r})
    _raw_frames_until(bl, lambda f: f.startswith('{"type":"chunk"') and '"chunk_index":3,' in f)
    t0 = _close(bl, how)
    _ends_by_itself(bl, t0)
    kernel_factory.finish(bl)


@pytest.mark.parametrize("how", ["close", "abort"])
def test_peer_gone_in_the_middle_of_a_stream(kernel_factory, how):
    bl = kernel_factory.start(workbook_id=f"wb-midstream-{how}")
    _module(bl)
    r = rid("midstream")
    bl.send({"type": "execute_streaming_function", "module_name": "faults",
             "function_name": "ticks", "args": [], "request_id": r})
    for _ in range(5):
        bl.recv_until(lambda m: m.get("request_id") == r
                      and m.get("type") == "streaming_function_result")
    t0 = _close(bl, how)
    _ends_by_itself(bl, t0)
    kernel_factory.finish(bl)


@pytest.mark.parametrize("how", ["close", "abort"])
def test_peer_gone_while_a_worker_waits_on_a_sys_request(kernel_factory, how):
    bl = kernel_factory.start(workbook_id=f"wb-midsys-{how}")
    _module(bl)
    r = rid("midsys")
    bl.send({"type": "custom_function_call", "module_name": "faults", "function_name": "ask",
             "args": [], "request_id": r})
    sreq = bl.recv_until(lambda m: m.get("type") == "sys_request")
    assert sreq["payload"]["action"] == "get_range"
    t0 = _close(bl, how)
    _ends_by_itself(bl, t0)
    kernel_factory.finish(bl)


def test_peer_gone_while_the_kernel_cannot_write(kernel_factory):
    """The peer stops reading (the kernel's writes back up and its workers wait for room),
    then drops the connection."""
    bl = kernel_factory.start(workbook_id="wb-stalled")
    bl.ping()
    bl.loop.call_soon_threadsafe(bl.ws.transport.pause_reading)
    r = rid("stalled")
    bl.send({"type": "execution_request", "request_id": r,
             "code": "for i in range(200): print('y' * 1_000_000)"})
    time.sleep(1.0)
    assert bl.proc.poll() is None
    t0 = _close(bl, "abort")
    _ends_by_itself(bl, t0)
    kernel_factory.finish(bl)


# ------------------------------------------------------------------ no server, no handshake

def _run_kernel(port, workbook_id, secured=False, timeout=20):
    env = dict(os.environ, GRIDLET_LOG_LEVEL="INFO")
    if secured:
        env.pop("GRIDLET_SECURED", None)
    else:
        env["GRIDLET_SECURED"] = "0"
    t0 = time.monotonic()
    p = subprocess.run([KERNEL, workbook_id, str(port)], env=env, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=timeout)
    return p.returncode, time.monotonic() - t0, p.stderr.decode("utf-8", "replace")


def _require_kernel():
    if not os.path.exists(KERNEL):
        pytest.skip(f"kernel binary not found at {KERNEL}")


@pytest.mark.parametrize("secured", [False, True], ids=["ws", "wss"])
def test_server_not_there_at_start_exits_with_one(secured):
    _require_kernel()
    code, elapsed, log = _run_kernel(free_port(), "wb-nobody", secured)
    assert code == 1, log
    assert elapsed < 3, f"took {elapsed:.1f}s"
    assert "Kernel error" in log and "refused" in log.lower(), log
    assert "Kernel connected" not in log


class SilentServer:
    """Accepts TCP connections and then does `behaviour` with each: 'silent' says nothing,
    'read_and_close' reads the upgrade request and closes, 'http_404' answers it with 404."""

    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.accepted = []
        self.requests = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        self.sock.settimeout(0.1)
        while not self._stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.accepted.append(conn)
            if self.behaviour == "silent":
                continue
            conn.settimeout(5)
            data = b""
            try:
                while b"\r\n\r\n" not in data:
                    more = conn.recv(4096)
                    if not more:
                        break
                    data += more
            except OSError:
                pass
            self.requests.append(data)
            if self.behaviour == "http_404":
                conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            conn.close()

    def close(self):
        self._stop.set()
        self.sock.close()
        for c in self.accepted:
            try:
                c.close()
            except OSError:
                pass
        self._thread.join(5)


@pytest.mark.parametrize("secured", [False, True], ids=["ws", "wss"])
def test_server_that_never_answers_the_handshake_exits_with_one(secured):
    _require_kernel()
    server = SilentServer("silent")
    try:
        code, elapsed, log = _run_kernel(server.port, "wb-silent", secured)
    finally:
        server.close()
    assert len(server.accepted) == 1
    assert code == 1, log
    assert HANDSHAKE_LIMIT - 0.5 < elapsed < HANDSHAKE_LIMIT + 3, f"took {elapsed:.1f}s"
    stage = "TLS handshake" if secured else "WebSocket handshake"
    assert f"Kernel error: {stage} not answered within 5 s" in log, log
    assert "Kernel connected" not in log


@pytest.mark.parametrize("behaviour", ["read_and_close", "http_404"])
def test_server_that_refuses_the_upgrade_exits_with_one(behaviour):
    _require_kernel()
    server = SilentServer(behaviour)
    try:
        code, elapsed, log = _run_kernel(server.port, "wb-refused")
    finally:
        server.close()
    assert server.requests and server.requests[0].startswith(b"GET /ws/kernel/wb-refused ")
    assert code == 1, log
    assert elapsed < 3, f"took {elapsed:.1f}s"
    assert "Kernel error: WebSocket handshake failed: " in log, log


# ------------------------------------------------------------------ bounds of incoming data

def _send_many(bl, texts, timeout=120):
    """Send many frames from one coroutine (one round trip to the server thread in all)."""
    async def go():
        for t in texts:
            await bl.ws.send(t)
    bl._call(go(), timeout)


def _pieces(text, size):
    return [text[i:i + size] for i in range(0, len(text), size)]


def _chunk(cid, index, total, data):
    return compact({"type": "chunk", "chunk_id": cid, "chunk_index": index,
                    "total_chunks": total, "data": data, "original_type": "execution_request",
                    "request_id": "N/A"})


def _request(r, length=None, pad_char="a"):
    """An execution_request (`1 + 1`) padded with an ignored field to `length` characters."""
    msg = {"type": "execution_request", "request_id": r, "function_name": "bound", "code": "1 + 1"}
    if length is None:
        return compact(msg)
    base = len(compact({**msg, "pad": ""}))
    text = compact({**msg, "pad": pad_char * (length - base)})
    assert len(text) == length
    return text


def _arrived(bl):
    """Every message that has arrived so far (taken out of the mailbox)."""
    try:
        while bl._pump(0):
            pass
    except ConnectionClosedByKernel:
        pass
    msgs = [e.msg for e in bl.mailbox]
    bl.mailbox.clear()
    return msgs


def _answered(bl, r, timeout=20):
    final = bl.collect_for(r, timeout=timeout)[-1]
    assert final["type"] == "execution_result", final
    assert final["result"] == 2
    return final


def test_pieces_per_message_at_the_bound_and_one_past(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-pieces")
    r = rid("pieces")
    text = _request(r, MAX_CHUNKS_PER_MESSAGE)
    mark = bl.log_mark()
    cid = str(uuid.uuid4())
    _send_many(bl, [_chunk(cid, i, MAX_CHUNKS_PER_MESSAGE, ch) for i, ch in enumerate(text)])
    _answered(bl, r)
    assert "exceeds the limit" not in bl.log_text()[mark:]

    r2 = rid("pieces-over")
    over = str(uuid.uuid4())
    text2 = _request(r2, MAX_CHUNKS_PER_MESSAGE + 1)
    _send_many(bl, [_chunk(over, i, MAX_CHUNKS_PER_MESSAGE + 1, ch) for i, ch in enumerate(text2)])
    bl.wait_log(f"total_chunks {MAX_CHUNKS_PER_MESSAGE + 1} exceeds the limit of "
                f"{MAX_CHUNKS_PER_MESSAGE}", since=mark)
    bl.ping()
    assert bl.quiet(r2, 0.2) == []
    kernel_factory.finish(bl)


def test_buffered_chunk_text_at_the_bound_and_one_past(kernel_factory):
    """Two incomplete messages together one byte short of the bound; a piece of a third that
    would pass it by one byte drops that third message only; the last byte of the second brings
    the buffers exactly to the bound and completes it; then the first completes too."""
    bl = kernel_factory.start(workbook_id="wb-buffers")
    size = 1_000_000  # characters per piece, well inside the frame limit
    rx, ry, rz = rid("bx"), rid("by"), rid("bz")
    x = _request(rx, MAX_CHUNK_BUFFER_BYTES // 2)
    y = _request(ry, MAX_CHUNK_BUFFER_BYTES // 2 + 1)
    cx, cy, cz = (str(uuid.uuid4()) for _ in range(3))
    px, py = _pieces(x[:-1], size) + ["}"], _pieces(y[:-1], size) + ["}"]
    mark = bl.log_mark()
    _send_many(bl, [_chunk(cx, i, len(px), p) for i, p in enumerate(px[:-1])])
    _send_many(bl, [_chunk(cy, i, len(py), p) for i, p in enumerate(py[:-1])])
    del x, y
    bl.ping()
    # Buffered now: 2**28 - 1 bytes.
    assert "Chunk buffers full" not in bl.log_text()[mark:]
    bl.send_raw(_chunk(cz, 0, 2, "{}"))
    bl.wait_log(f"Chunk buffers full ({MAX_CHUNK_BUFFER_BYTES - 1} bytes): dropping chunked "
                f"message {cz}", since=mark)
    bl.send_raw(_chunk(cy, len(py) - 1, len(py), py[-1]))
    _answered(bl, ry, timeout=60)
    bl.send_raw(_chunk(cx, len(px) - 1, len(px), px[-1]))
    _answered(bl, rx, timeout=60)
    assert bl.log_text()[mark:].count("Chunk buffers full") == 1
    # The dropped message is gone: its second piece starts a new, incomplete message.
    bl.send_raw(_chunk(cz, 1, 2, ""))
    bl.ping()
    assert bl.quiet(rz, 0.2) == []
    kernel_factory.finish(bl)


def test_incomplete_messages_at_the_bound_and_one_past(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-incomplete")
    n = MAX_INCOMPLETE_MESSAGES
    ids = [f"inc-{i}-{uuid.uuid4()}" for i in range(n + 1)]
    runs = [rid(f"inc{i}") for i in range(n + 1)]
    halves = []
    for r in runs:
        text = _request(r)
        halves.append((text[:10], text[10:]))
    mark = bl.log_mark()
    # The bound: n incomplete messages are all kept; the oldest still completes.
    _send_many(bl, [_chunk(ids[i], 0, 2, halves[i][0]) for i in range(n)])
    bl.send_raw(_chunk(ids[0], 1, 2, halves[0][1]))
    _answered(bl, runs[0])
    assert "too many incomplete messages" not in bl.log_text()[mark:]
    # Back to n - 1; two more make n + 1: the oldest left (number 1) is dropped.
    bl.send_raw(_chunk(ids[n], 0, 2, halves[n][0]))
    bl.ping()
    assert "too many incomplete messages" not in bl.log_text()[mark:]
    bl.send_raw(_chunk("one-more", 0, 2, "{"))
    bl.wait_log(f"Dropping incomplete chunked message {ids[1]}: too many incomplete messages",
                since=mark)
    bl.send_raw(_chunk(ids[2], 1, 2, halves[2][1]))
    bl.send_raw(_chunk(ids[n], 1, 2, halves[n][1]))
    _answered(bl, runs[2])
    _answered(bl, runs[n])
    # The dropped one's second piece starts a new message that waits for a first piece.
    bl.send_raw(_chunk(ids[1], 1, 2, halves[1][1]))
    bl.ping()
    assert bl.quiet(runs[1], 0.2) == []
    assert bl.log_text()[mark:].count("too many incomplete messages") == 1
    kernel_factory.finish(bl)


def test_waiting_requests_at_the_pool_bound_and_one_past(kernel_factory):
    """Ten callers wait on sys_request at once (one per worker); an eleventh is served when a
    worker is free. Answers come in random order, with duplicates and answers for unknown ids:
    each caller gets its own answer exactly once, and nothing else is kept."""
    bl = kernel_factory.start(workbook_id="wb-table")
    runs = [rid(f"tbl{i}") for i in range(11)]
    for i, r in enumerate(runs):
        bl.send({"type": "execution_request", "request_id": r, "function_name": "ask",
                 "code": f"gridlet.messaging.send_request_sync({{'i': {i}}}, timeout=20)['i']"})
    first = [bl.recv_until(lambda m: m.get("type") == "sys_request", timeout=10) for _ in range(10)]
    # All ten workers are waiting: the eleventh has not asked yet.
    time.sleep(0.3)
    assert [m for m in _arrived(bl) if m.get("type") == "sys_request"] == [], \
        "an eleventh request was sent while ten workers waited"
    asked = {s["payload"]["i"]: s["payload"]["requestId"] for s in first}
    assert len(asked) == 10
    order = list(asked.items())
    random.Random(7).shuffle(order)
    mark = bl.log_mark()
    answers = []
    for i, req_id in order:
        answers.append({"type": "sys_response", "payload": {"requestId": req_id, "i": i}})
        answers.append({"type": "sys_response", "payload": {"requestId": uuid.uuid4().hex, "i": -1}})
    _send_many(bl, [compact(a) for a in answers])
    results = {}
    eleventh = bl.recv_until(lambda m: m.get("type") == "sys_request", timeout=10)
    j = eleventh["payload"]["i"]
    assert j not in asked
    # Answer twice: the second answer finds nobody waiting.
    for _ in range(2):
        bl.send({"type": "sys_response", "payload": {"requestId": eleventh["payload"]["requestId"], "i": j}})
    for i, r in enumerate(runs):
        msgs = bl.collect_for(r, timeout=10)
        assert msgs[-1]["type"] == "execution_result", msgs[-1]
        results[i] = msgs[-1]["result"]
        assert bl.quiet(r, 0.05) == [], "a caller was answered twice"
    assert results == {i: i for i in range(11)}
    bl.wait_log(f"Received sys_response for unknown request_id: {eleventh['payload']['requestId']}",
                since=mark)
    assert bl.log_text()[mark:].count("Received sys_response for unknown request_id") == 11
    kernel_factory.finish(bl)
