"""Business Layer stand-in for end-to-end tests of the kernel binary.

The harness runs a real WebSocket server (websockets 10.4, asyncio API) on
127.0.0.1 in a background thread with its own event loop, launches the kernel
binary against it and offers a synchronous API to the tests: send messages,
receive the kernel's messages (chunk sequences are reassembled automatically,
the raw frames stay available), wait for log lines, and check how the process
ends.
"""

import asyncio
import collections
import http
import json
import os
import queue
import re
import socket
import ssl
import subprocess
import threading
import time
import uuid

import pytest
import websockets

KERNEL = os.environ.get(
    "GRIDLET_KERNEL",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "gridlet-kernel"))

CHUNK_SIZE = 65536
MAX_MESSAGE_SIZE = 1048576

_CLOSED = object()


def compact(obj):
    """The kernel's outgoing form: no whitespace, UTF-8 as itself."""
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))


def rid(prefix="r"):
    return f"{prefix}-{uuid.uuid4().hex[:12]}"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Envelope:
    """One logical message and the raw frames it arrived in."""

    __slots__ = ("msg", "frames")

    def __init__(self, msg, frames):
        self.msg = msg
        self.frames = frames


class BusinessLayer:
    """`extra_headers`: added to the 101 response. `refuse`: a function of the upgrade request's
    headers returning an HTTP status to refuse it with, or None to accept it."""

    def __init__(self, workdir, tls_files=None, extra_headers=None, refuse=None):
        self.workdir = workdir
        self.tls_files = tls_files
        self.extra_headers = extra_headers
        self.refuse = refuse
        self.loop = asyncio.new_event_loop()
        self.frames = queue.Queue()
        self.paths = []  # request paths of every connection the kernel made
        self.request_headers = []  # headers of every upgrade request, accepted or not
        self.ws = None
        self.connected = threading.Event()
        self.conn_closed = threading.Event()
        self.proc = None
        self.workbook_id = None
        self.mailbox = collections.deque()
        self.chunk_buffers = {}
        self.open_chunk_id = None  # chunk sequence currently being received
        self.violations = []  # protocol faults seen on incoming frames
        self.all_messages = []  # every logical message, in arrival order
        self._server = None
        self._thread = threading.Thread(target=self._run_loop, daemon=True)
        self._thread.start()
        self._start_server()

    # ------------------------------------------------------------ server side
    def _run_loop(self):
        asyncio.set_event_loop(self.loop)
        self.loop.run_forever()

    def _call(self, coro, timeout=10):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def _start_server(self):
        ctx = None
        if self.tls_files:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(*self.tls_files)

        async def process_request(path, headers):
            self.request_headers.append(headers)
            status = self.refuse(headers) if self.refuse else None
            if status is not None:
                return http.HTTPStatus(status), [("Content-Type", "text/plain")], b"refused\n"
            return None

        async def start():
            return await websockets.serve(
                self._handler,
                "127.0.0.1",
                0,
                ssl=ctx,
                process_request=process_request,
                extra_headers=self.extra_headers,
                max_size=64 * 1024 * 1024,
                max_queue=None,
                compression=None,
                ping_interval=None,
                close_timeout=5,
            )

        self._server = self._call(start())
        self.port = self._server.sockets[0].getsockname()[1]

    async def _handler(self, ws, path):
        self.paths.append(path)
        if self.ws is not None:
            # The kernel never reconnects; keep the first connection only.
            self.violations.append(f"second connection on {path}")
            await ws.close()
            return
        self.ws = ws
        self.connected.set()
        try:
            async for frame in ws:
                self.frames.put(frame)
        except websockets.ConnectionClosed:
            pass
        finally:
            self.conn_closed.set()
            self.frames.put(_CLOSED)

    # ------------------------------------------------------------ process
    def launch(self, workbook_id="wb-e2e", secured=False, env=None, args=()):
        self.workbook_id = workbook_id
        penv = dict(os.environ)
        if secured:
            penv.pop("GRIDLET_SECURED", None)
        else:
            penv["GRIDLET_SECURED"] = "0"
        penv.setdefault("GRIDLET_LOG_LEVEL", "INFO")
        if env:
            for k, v in env.items():
                if v is None:
                    penv.pop(k, None)
                else:
                    penv[k] = v
        self.stderr_path = os.path.join(self.workdir, "kernel.stderr")
        self.stdout_path = os.path.join(self.workdir, "kernel.stdout")
        self._stderr = open(self.stderr_path, "wb")
        self._stdout = open(self.stdout_path, "wb")
        self.proc = subprocess.Popen(
            [KERNEL, workbook_id, str(self.port), *args],
            stdin=subprocess.DEVNULL,
            stdout=self._stdout,
            stderr=self._stderr,
            env=penv,
        )
        return self.proc

    def wait_connected(self, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.connected.wait(0.05):
                return
            if self.proc is not None and self.proc.poll() is not None:
                raise AssertionError(
                    f"kernel exited with {self.proc.returncode} before connecting;"
                    f" stderr:\n{self.log_text()[-3000:]}"
                )
        raise AssertionError(f"kernel did not connect within {timeout}s")

    def wait_exit(self, timeout=10):
        """Return the exit status; kill the process (by its pid) if it hangs."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)
            raise AssertionError(f"kernel did not exit within {timeout}s; killed it")

    def close_connection(self, timeout=10):
        """Close from the server side. Returns the seconds the closing handshake took
        (the server gives up on the peer after its close_timeout of 5 s)."""
        t0 = time.monotonic()
        if self.ws is not None:
            self._call(self.ws.close(), timeout)
        return time.monotonic() - t0

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(5)
        for f in ("_stderr", "_stdout"):
            if hasattr(self, f):
                getattr(self, f).close()
        if self._server is not None:
            self._server.close()
            try:
                self._call(self._server.wait_closed(), 5)
            except Exception:
                pass
        self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join(5)

    # ------------------------------------------------------------ logs
    def log_text(self):
        try:
            with open(self.stderr_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except (OSError, AttributeError):
            return ""

    def console_text(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def log_mark(self):
        """Position in the log; pass it as `since` to look only at later lines."""
        return len(self.log_text())

    def wait_log(self, needle, timeout=5, since=0):
        deadline = time.monotonic() + timeout
        while True:
            text = self.log_text()[since:]
            if (needle.search(text) if isinstance(needle, re.Pattern) else needle in text):
                return text
            if time.monotonic() > deadline:
                raise AssertionError(f"log line {needle!r} not seen within {timeout}s;"
                                     f" log tail:\n{text[-3000:]}")
            time.sleep(0.05)

    # ------------------------------------------------------------ sending
    def send_raw(self, text, timeout=20):
        self._call(self.ws.send(text), timeout)

    def send(self, msg, timeout=20):
        self.send_raw(json.dumps(msg, ensure_ascii=False), timeout)

    def send_chunks(self, msg_or_text, size=CHUNK_SIZE, order=None, chunk_id=None,
                    extra=None):
        """Send one message as chunk messages; `order` lists piece indexes to send
        (repeats allowed). Returns the chunk id."""
        text = msg_or_text if isinstance(msg_or_text, str) else compact(msg_or_text)
        pieces = [text[i:i + size] for i in range(0, len(text), size)] or [""]
        cid = chunk_id or str(uuid.uuid4())
        for i in (order if order is not None else range(len(pieces))):
            chunk = {"type": "chunk", "chunk_id": cid, "chunk_index": i,
                     "total_chunks": len(pieces), "data": pieces[i],
                     "original_type": "execution_request", "request_id": "N/A"}
            if extra:
                chunk.update(extra)
            self.send(chunk)
        return cid

    # ------------------------------------------------------------ receiving
    def _next_frame(self, timeout):
        try:
            item = self.frames.get(timeout=max(timeout, 0))
        except queue.Empty:
            return None
        if item is _CLOSED:
            self.frames.put(_CLOSED)  # keep reporting the closed state
            raise ConnectionClosedByKernel("connection closed")
        return item

    def _pump(self, timeout):
        """Read frames until one logical message is complete; put it in the mailbox.
        Returns False on timeout."""
        deadline = time.monotonic() + timeout
        while True:
            frame = self._next_frame(deadline - time.monotonic())
            if frame is None:
                return False
            if isinstance(frame, bytes):
                self.violations.append("binary frame received")
                continue
            try:
                msg = json.loads(frame)
            except ValueError as e:
                self.violations.append(f"frame is not JSON: {e}: {frame[:200]!r}")
                continue
            if not isinstance(msg, dict) or not isinstance(msg.get("type"), str):
                self.violations.append(f"frame is not a typed object: {frame[:200]!r}")
                continue
            if msg["type"] != "chunk":
                if self.open_chunk_id is not None:
                    self.violations.append(
                        f"{msg['type']} frame inside chunk sequence {self.open_chunk_id}")
                self._deliver(msg, [frame])
                return True
            done = self._take_chunk(msg, frame)
            if done is not None:
                self._deliver(*done)
                return True

    def _take_chunk(self, c, frame):
        cid = c.get("chunk_id")
        if self.open_chunk_id is not None and cid != self.open_chunk_id:
            self.violations.append(f"chunk of {cid} inside sequence {self.open_chunk_id}")
        buf = self.chunk_buffers.setdefault(cid, {"pieces": {}, "frames": [], "total": c.get("total_chunks")})
        if c.get("chunk_index") != len(buf["pieces"]):
            self.violations.append(f"chunk {c.get('chunk_index')} of {cid} out of order")
        buf["pieces"][c.get("chunk_index")] = c.get("data")
        buf["frames"].append(frame)
        self.open_chunk_id = cid
        if len(buf["pieces"]) < buf["total"]:
            return None
        del self.chunk_buffers[cid]
        self.open_chunk_id = None
        text = "".join(buf["pieces"][i] for i in range(buf["total"]))
        try:
            msg = json.loads(text)
        except ValueError as e:
            self.violations.append(f"reassembled text of {cid} is not JSON: {e}")
            return None
        return msg, buf["frames"]

    def _deliver(self, msg, frames):
        self.all_messages.append(msg)
        self.mailbox.append(Envelope(msg, frames))

    def recv_envelope_until(self, pred, timeout=5):
        deadline = time.monotonic() + timeout
        scanned = 0
        while True:
            for i in range(scanned, len(self.mailbox)):
                env = self.mailbox[i]
                if pred(env.msg):
                    del self.mailbox[i]
                    return env
            scanned = len(self.mailbox)
            left = deadline - time.monotonic()
            if left <= 0 or not self._pump(left):
                raise AssertionError(
                    f"no matching message within {timeout}s; unmatched so far: "
                    f"{[_short(e.msg) for e in list(self.mailbox)[-8:]]}")

    def recv_until(self, pred, timeout=5):
        """Next message satisfying `pred`; others stay in the mailbox."""
        return self.recv_envelope_until(pred, timeout).msg

    def recv(self, timeout=5):
        return self.recv_until(lambda m: True, timeout)

    def recv_frames(self, count, timeout=5):
        """Raw frames, bypassing the mailbox (only for tests that read the wire)."""
        out = []
        deadline = time.monotonic() + timeout
        while len(out) < count:
            f = self._next_frame(deadline - time.monotonic())
            if f is None:
                raise AssertionError(f"only {len(out)} of {count} frames within {timeout}s")
            out.append(f)
        return out

    def collect_for(self, request_id, final_types=("execution_result", "execution_error"),
                    timeout=5, with_frames=False):
        """All messages carrying `request_id` up to and including the first whose type
        is in `final_types`, in arrival order."""
        if isinstance(final_types, str):
            final_types = (final_types,)
        deadline = time.monotonic() + timeout
        out = []
        while True:
            env = self.recv_envelope_until(lambda m: m.get("request_id") == request_id,
                                           max(deadline - time.monotonic(), 0.001))
            out.append(env if with_frames else env.msg)
            if env.msg.get("type") in final_types:
                return out

    def quiet(self, request_id, wait=0.3):
        """Messages carrying `request_id` that arrive within `wait` seconds."""
        found = []
        deadline = time.monotonic() + wait
        while True:
            for env in list(self.mailbox):
                if env.msg.get("request_id") == request_id:
                    self.mailbox.remove(env)
                    found.append(env.msg)
            left = deadline - time.monotonic()
            if left <= 0:
                return found
            try:
                self._pump(left)
            except ConnectionClosedByKernel:
                return found

    def drain(self):
        """Forget every message received so far (frames already queued included)."""
        try:
            while self._pump(0):
                pass
        except ConnectionClosedByKernel:
            pass
        self.mailbox.clear()

    # ------------------------------------------------------------ convenience
    def execute(self, code, request_id=None, timeout=5, **fields):
        """Send an execution_request and return all its messages up to the reply."""
        request_id = request_id or rid("ex")
        self.send({"type": "execution_request", "code": code, "request_id": request_id,
                   **fields})
        return self.collect_for(request_id, timeout=timeout)

    def evaluate(self, code, timeout=5):
        """Run `code` with function_name set and return the reply's value."""
        msgs = self.execute(code, function_name="probe", timeout=timeout)
        final = msgs[-1]
        assert final["type"] == "execution_result", final
        return final["result"]

    def ping(self, timeout=5):
        """One round trip proving the kernel still answers."""
        assert self.evaluate("6 * 7", timeout=timeout) == 42


class ConnectionClosedByKernel(AssertionError):
    pass


def _short(msg):
    s = compact(msg)
    return s if len(s) < 160 else s[:160] + "..."


# ---------------------------------------------------------------- fixtures

def _require_binary():
    if not os.path.exists(KERNEL):
        pytest.skip(f"kernel binary not found at {KERNEL}")


@pytest.fixture(scope="session")
def tls_files(tmp_path_factory):
    d = tmp_path_factory.mktemp("tls")
    cert, key = str(d / "cert.pem"), str(d / "key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost"],
        check=True, capture_output=True, timeout=30)
    return cert, key


class KernelFactory:
    def __init__(self, tmp_path_factory, tls_files_getter):
        self._tmp = tmp_path_factory
        self._tls = tls_files_getter
        self.layers = []

    def start(self, workbook_id="wb-e2e", tls=False, secured=None, env=None, args=(),
              connect=True, **server):
        """`tls`: True for the session's self-signed certificate, or a (cert, key) pair of files.
        `server`: extra_headers or refuse, passed to the BusinessLayer."""
        _require_binary()
        tls_files = self._tls() if tls is True else (tls or None)
        bl = BusinessLayer(str(self._tmp.mktemp("kernel")), tls_files, **server)
        self.layers.append(bl)
        bl.launch(workbook_id, secured=bool(tls) if secured is None else secured, env=env, args=args)
        if connect:
            bl.wait_connected()
        return bl

    def finish(self, bl, exit_timeout=10):
        """Close from the server side and check the kernel ends by itself with 0."""
        try:
            if bl.proc.poll() is None:
                bl.close_connection()
            code = bl.wait_exit(exit_timeout)
            assert code == 0, f"kernel exit status {code}; log tail:\n{bl.log_text()[-3000:]}"
            assert not bl.violations, bl.violations
        finally:
            bl.stop()
            if bl in self.layers:
                self.layers.remove(bl)

    def cleanup(self):
        for bl in list(self.layers):
            bl.stop()
        self.layers.clear()


@pytest.fixture
def kernel_factory(tmp_path_factory, request):
    f = KernelFactory(tmp_path_factory, lambda: request.getfixturevalue("tls_files"))
    yield f
    f.cleanup()


class SharedKernel:
    """One kernel per test module, replaced by a fresh one if a test killed it."""

    def __init__(self, factory):
        self.factory = factory
        self.current = None

    def get(self):
        if self.current is None or not self.alive():
            if self.current is not None:
                self.current.stop()
                self.factory.layers.remove(self.current)
            self.current = self.factory.start(workbook_id="wb-shared")
        return self.current

    def alive(self):
        bl = self.current
        return bl.proc.poll() is None and not bl.conn_closed.is_set()


@pytest.fixture(scope="module")
def _shared_kernel(tmp_path_factory, request):
    f = KernelFactory(tmp_path_factory, lambda: request.getfixturevalue("tls_files"))
    shared = SharedKernel(f)
    try:
        yield shared
        if shared.current is not None and shared.alive():
            f.finish(shared.current)
    finally:
        f.cleanup()


@pytest.fixture
def kernel(_shared_kernel):
    """A connected kernel shared by the tests of a module. A test after which the
    kernel is gone (crashed or closed the connection) errors at teardown, and the
    next test gets a new kernel."""
    bl = _shared_kernel.get()
    yield bl
    if not _shared_kernel.alive():
        code = bl.proc.poll()
        raise AssertionError(
            f"kernel ended during this test (exit status {code}); log tail:\n"
            f"{bl.log_text()[-2000:]}")
