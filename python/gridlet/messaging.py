"""Connection hooks the kernel installs, and the registry of callables Excel can call by id.

`loop` is an asyncio event loop running on its own thread, `loop_thread`; both come into being
the first time either is read. User code schedules work onto it from any thread, e.g.
`asyncio.run_coroutine_threadsafe(coro, gridlet.messaging.loop)` or
`gridlet.messaging.loop.call_soon_threadsafe(fn)`. Synchronous requests to the Business Layer
are refused on `loop_thread`: the loop would stop while it waits.
"""

import threading

_callables = {}
_loop_lock = threading.Lock()
_loop = None
_loop_thread = None
_loop_thread_ident = None  # read by the kernel's guard without starting the loop


def _not_connected(req, timeout=30.0):
    raise RuntimeError("gridlet is not connected to the Business Layer")


send_request_sync = _not_connected


def _start_loop():
    global _loop, _loop_thread, _loop_thread_ident
    with _loop_lock:
        if _loop is None:
            import asyncio
            loop = asyncio.new_event_loop()
            running = threading.Event()

            def run():
                asyncio.set_event_loop(loop)
                loop.call_soon(running.set)
                loop.run_forever()

            thread = threading.Thread(target=run, name="gridlet-event-loop", daemon=True)
            thread._gridlet_outside_runs = True  # its callbacks' output is not a run's
            thread.start()
            running.wait()
            _loop, _loop_thread, _loop_thread_ident = loop, thread, thread.ident
        return _loop, _loop_thread


def __getattr__(name):
    if name == "loop":
        return _start_loop()[0]
    if name == "loop_thread":
        return _start_loop()[1]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def register_callable(func, callable_id=None):
    """Registers `func` under `callable_id` (a new uuid4 hex when None) and returns the id."""
    if callable_id is None:
        import uuid
        callable_id = uuid.uuid4().hex
    _callables[callable_id] = func
    return callable_id


def get_callable(callable_id):
    return _callables.get(callable_id)


def reset():
    """Forgets the connection: requests fail until the kernel connects again; the event loop
    stops (a new one starts if `loop` is read again)."""
    global send_request_sync, _loop, _loop_thread, _loop_thread_ident
    send_request_sync = _not_connected
    with _loop_lock:
        loop, _loop, _loop_thread, _loop_thread_ident = _loop, None, None, None
    if loop is not None:
        loop.call_soon_threadsafe(loop.stop)


def _forget_loop_in_child():
    # A forked child has no loop thread: it starts its own loop if it needs one.
    global _loop_lock, _loop, _loop_thread, _loop_thread_ident
    _loop_lock = threading.Lock()
    _loop = _loop_thread = _loop_thread_ident = None


import os as _os
_os.register_at_fork(after_in_child=_forget_loop_in_child)
