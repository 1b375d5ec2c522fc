"""Connection hooks the kernel installs, and the registry of callables Excel can call by id."""

loop = None
loop_thread = None
_callables = {}


def _not_connected(req, timeout=30.0):
    raise RuntimeError("gridlet is not connected to the Business Layer")


send_request_sync = _not_connected


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
    """Forgets the connection: requests fail until the kernel connects again."""
    global send_request_sync, loop, loop_thread
    send_request_sync = _not_connected
    loop = None
    loop_thread = None
