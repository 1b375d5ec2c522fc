"""Threads and processes as under stock python3: worker threads are ordinary threading.Thread
objects, threads that user code starts write into the run that started them, the bridge's
event loop is a real asyncio loop on its own thread, and output written to file descriptors 1
and 2 (shell commands, forked children, multiprocessing workers) reaches the Business Layer."""

import re
import time

from calls import call_function, send_module
from conftest import rid


def _streams(msgs, kind="stdout"):
    return "".join(m["content"] for m in msgs if m.get("type") == kind)


def _run_then(kernel, code, expression, timeout=5):
    """Run `code`, then return the value of `expression`."""
    msgs = kernel.execute(code, timeout=timeout)
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    return kernel.evaluate(expression, timeout=timeout)


def _plain_stream_containing(kernel, needle, kind="stdout", timeout=10):
    """The next stream message without a request id whose content holds `needle`."""
    return kernel.recv_until(lambda m: m.get("type") == kind and "request_id" not in m
                             and needle in m.get("content", ""), timeout)


def _plain_text_with(kernel, *needles, kind="stdout", timeout=10):
    """Concatenated plain stream messages, read until every needle has shown up (the pipe
    reader may cut or join what separate processes wrote)."""
    deadline = time.monotonic() + timeout
    text = ""
    while not all(n in text for n in needles):
        text += kernel.recv_until(lambda m: m.get("type") == kind and "request_id" not in m,
                                  max(deadline - time.monotonic(), 0.01))["content"]
    return text


# ---------------------------------------------------------------- worker threads

def test_worker_thread_is_an_ordinary_named_non_daemon_thread(kernel):
    info = _run_then(
        kernel,
        "import threading\n"
        "_t = threading.current_thread()\n"
        "_r = (type(_t).__name__, _t.name, _t.daemon, _t.is_alive(), _t.ident == threading.get_ident(),\n"
        " _t in threading.enumerate(), _t is threading.main_thread())", "_r")
    kind, name, daemon, alive, same_ident, listed, is_main = info
    assert kind == "Thread"
    assert re.fullmatch(r"ThreadPoolExecutor-0_\d", name), name
    assert (daemon, alive, same_ident, listed, is_main) == (False, True, True, True, False)


def test_joining_the_current_worker_raises_as_in_python(kernel):
    assert _run_then(
        kernel,
        "import threading\n"
        "try:\n"
        "    threading.current_thread().join()\n"
        "    _r = 'joined'\n"
        "except RuntimeError as e:\n"
        "    _r = str(e)\n", "_r") == "cannot join current thread"


def test_user_threads_are_non_daemon_unless_asked(kernel):
    assert kernel.evaluate(
        "(__import__('threading').Thread(target=print).daemon,"
        " __import__('threading').Thread(target=print, daemon=True).daemon)"
    ) == [False, True]


def test_running_non_daemon_user_threads_do_not_hold_up_the_exit(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-thread-exit")
    msgs = bl.execute("import threading, time\n"
                      "_forever = threading.Thread(target=time.sleep, args=(600,))\n"
                      "_forever.start()\n")
    assert msgs[-1]["type"] == "execution_result"
    assert bl.evaluate("(_forever.daemon, _forever.is_alive())") == [False, True]
    bl.send({"type": "shutdown"})
    assert bl.wait_exit(10) == 0
    kernel_factory.finish(bl)


# ---------------------------------------------------------------- user threads' output

def test_thread_started_during_a_run_writes_into_that_run(kernel):
    r = rid()
    msgs = kernel.execute(
        "import threading, sys\n"
        "def _work():\n"
        "    import sys, threading\n"
        "    print('from-thread')\n"
        "    sys.stderr.write('thread-err\\n')\n"
        "    inner = threading.Thread(target=print, args=('from-grandchild',))\n"
        "    inner.start()\n"
        "    inner.join()\n"
        "_t = threading.Thread(target=_work)\n"
        "_t.start()\n"
        "_t.join()\n"
        "print('after-join')\n",
        request_id=r, source="addin")
    assert msgs[-1]["type"] == "execution_result"
    for m in msgs[:-1]:
        assert (m["request_id"], m["source"]) == (r, "addin"), m
    assert _streams(msgs) == "from-thread\nfrom-grandchild\nafter-join\n"
    assert _streams(msgs, "stderr") == "thread-err\n"


def test_thread_output_is_part_of_a_custom_functions_logs(kernel):
    send_module(kernel, "thr_logs", """
        import threading
        def spawn():
            t = threading.Thread(target=print, args=('logged-from-thread',))
            t.start()
            t.join()
            return 1
    """)
    r = rid()
    msgs = call_function(kernel, "thr_logs", "spawn", request_id=r)
    assert _streams(msgs) == "logged-from-thread\n"
    assert msgs[-1]["logs"] == "logged-from-thread\n"


def test_thread_writing_after_its_run_ended_sends_plain_stream_messages(kernel):
    r = rid()
    msgs = kernel.execute(
        "import threading\n"
        "_go = threading.Event()\n"
        "def _late(go):\n"
        "    print('during-run')\n"
        "    go.wait(10)\n"
        "    print('after-run')\n"
        "_late_thread = threading.Thread(target=_late, args=(_go,))\n"
        "_late_thread.start()\n"
        "import time\n"
        "time.sleep(0.2)\n",
        request_id=r)
    assert msgs[-1]["type"] == "execution_result"
    assert _streams(msgs) == "during-run\n"
    kernel.execute("_go.set()\n_late_thread.join(10)\n")
    late = _plain_stream_containing(kernel, "after-run")
    assert late["content"] == "after-run" and late["workbook_id"] == "wb-shared"
    assert "source" not in late
    # its console copy goes to the original stdout only, not through fd 1 a second time
    kernel.wait_log(re.compile("Sending execution_result"), timeout=5)
    time.sleep(0.3)
    kernel.drain()
    assert [m.get("content") for m in kernel.all_messages if "after-run" in m.get("content", "")] == [
        "after-run"]
    assert "after-run" in kernel.console_text()


# ---------------------------------------------------------------- the bridge's event loop

def test_coroutines_run_on_the_bridges_event_loop_thread(kernel):
    result = _run_then(
        kernel,
        "import asyncio, threading\n"
        "async def _coro(x):\n"
        "    import asyncio, threading, gridlet\n"
        "    await asyncio.sleep(0.01)\n"
        "    t = threading.current_thread()\n"
        "    return (x * 2, t is gridlet.messaging.loop_thread, t is threading.main_thread())\n"
        "_loop = gridlet.messaging.loop\n"
        "_r = (isinstance(_loop, asyncio.AbstractEventLoop), _loop.is_running(),\n"
        "      gridlet.messaging.loop_thread is not threading.current_thread(),\n"
        "      asyncio.run_coroutine_threadsafe(_coro(21), _loop).result(5))", "_r")
    assert result == [True, True, True, [42, True, False]]


def test_call_soon_threadsafe_runs_the_callback_on_the_loop_thread(kernel):
    assert _run_then(
        kernel,
        "import threading\n"
        "_done = threading.Event()\n"
        "_seen = []\n"
        "def _cb(a, b, seen, done):\n"
        "    import threading, gridlet\n"
        "    seen.append((a + b, threading.current_thread() is gridlet.messaging.loop_thread,\n"
        "                  threading.current_thread() is threading.main_thread()))\n"
        "    done.set()\n"
        "gridlet.messaging.loop.call_soon_threadsafe(_cb, 1, 2, _seen, _done)\n",
        "(_done.wait(5), _seen)") == [True, [[3, True, False]]]


def test_sync_request_on_the_loop_thread_is_refused(kernel):
    assert _run_then(
        kernel,
        "import asyncio\n"
        "async def _ask():\n"
        "    import gridlet\n"
        "    try:\n"
        "        gridlet.messaging.send_request_sync({'tag': 'on-loop'}, timeout=1)\n"
        "        return 'sent'\n"
        "    except RuntimeError as e:\n"
        "        return str(e)\n"
        "_r = asyncio.run_coroutine_threadsafe(_ask(), gridlet.messaging.loop).result(5)\n", "_r"
    ) == "send_sys_request must not be called from the async event loop thread to avoid deadlock"
    assert not [m for m in kernel.all_messages if m.get("type") == "sys_request"
                and m["payload"].get("tag") == "on-loop"]


# ---------------------------------------------------------------- file descriptors 1 and 2

def test_shell_output_reaches_the_business_layer_before_the_reply(kernel):
    r = rid()
    kernel.drain()
    msgs = kernel.execute("import os\n"
                          "os.system('echo hi-from-shell && echo oops-from-shell >&2')\n"
                          "os.write(1, b'raw-fd-write\\n')",
                          request_id=r)
    assert msgs[-1]["type"] == "execution_result"
    # fd output is not attributed to a run; it left before the run's reply
    before_reply = kernel.all_messages[:[id(m) for m in kernel.all_messages].index(id(msgs[-1]))]
    plain = [m for m in before_reply if m.get("type") in ("stdout", "stderr") and "request_id" not in m]
    for m in plain:
        assert set(m) == {"type", "content", "workbook_id"}
    assert "hi-from-shell\n" in _streams(plain) and "raw-fd-write\n" in _streams(plain)
    assert "oops-from-shell\n" in _streams(plain, "stderr")
    # the console still gets a copy; the kernel's own log lines never go through the socket
    kernel.wait_log(re.compile("Sending execution_result"), timeout=5)
    assert "hi-from-shell" in kernel.console_text()
    assert not [m for m in kernel.all_messages if m.get("type") in ("stdout", "stderr")
                and "[Kernel]" in m.get("content", "")]


def test_c_library_output_is_forwarded(kernel):
    kernel.execute("import ctypes\n"
                   "_libc = ctypes.CDLL(None)\n"
                   "_libc.printf(b'printf-from-c %d\\n', 7)\n"
                   "_libc.fflush(None)")
    assert "printf-from-c 7" in _plain_stream_containing(kernel, "printf-from-c")["content"]


def test_multiprocessing_pool_workers_output_arrives(kernel):
    assert _run_then(
        kernel,
        "import multiprocessing\n"
        "with multiprocessing.get_context('fork').Pool(2) as _pool:\n"
        "    _r = _pool.map(print, ['mp-worker-one', 'mp-worker-two'])\n",
        "_r", timeout=30) == [None, None]
    _plain_text_with(kernel, "mp-worker-one\n", "mp-worker-two\n")


def test_multiprocessing_pool_runs_a_workbook_modules_function(kernel):
    send_module(kernel, "mp_funcs", """
        def shout(x):
            print('shouting', x)
            return x.upper()
    """)
    result = _run_then(
        kernel,
        "import multiprocessing, mp_funcs\n"
        "with multiprocessing.Pool(2) as _pool:\n"
        "    _r = _pool.map(mp_funcs.shout, ['a', 'b'])\n",
        "_r", timeout=30)
    assert result == ["A", "B"]
    _plain_text_with(kernel, "shouting a\n", "shouting b\n")


def test_forked_child_prints_while_other_threads_hold_the_kernels_locks(kernel):
    # A thread floods the write queue and the stream hooks while the run forks: the child must
    # neither deadlock on a lock that thread held nor write into the parent's queue.
    r = rid()
    msgs = kernel.execute(
        "import os, threading, time, sys\n"
        "_stop = threading.Event()\n"
        "def _flood(stop):\n"
        "    import sys\n"
        "    while not stop.is_set():\n"
        "        sys.stdout.write('f')\n"
        "_flooder = threading.Thread(target=_flood, args=(_stop,))\n"
        "_flooder.start()\n"
        "time.sleep(0.05)\n"
        "_statuses = []\n"
        "for _i in range(5):\n"
        "    _pid = os.fork()\n"
        "    if _pid == 0:\n"
        "        print(f'child-{_i}-says-hi', flush=True)\n"
        "        sys.stderr.write('child-stderr\\n')\n"
        "        os._exit(7)\n"
        "    _deadline = time.monotonic() + 10\n"
        "    while True:\n"
        "        _done, _status = os.waitpid(_pid, os.WNOHANG)\n"
        "        if _done or time.monotonic() > _deadline:\n"
        "            break\n"
        "        time.sleep(0.01)\n"
        "    if not _done:\n"
        "        os.kill(_pid, 9)\n"
        "        os.waitpid(_pid, 0)\n"
        "    _statuses.append(os.waitstatus_to_exitcode(_status) if _done else 'hung')\n"
        "_stop.set()\n"
        "_flooder.join(10)\n"
        "print('statuses', _statuses)\n",
        request_id=r, timeout=60)
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    assert "statuses [7, 7, 7, 7, 7]" in _streams(msgs)
    _plain_text_with(kernel, *[f"child-{i}-says-hi\n" for i in range(5)])
    # nothing the children wrote went out as part of the parent's run
    assert "child-" not in _streams(msgs)
