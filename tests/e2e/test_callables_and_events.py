"""python_function_call on registered callables, event_execution of workbook event
handlers, and COM responses through a registrar test double."""

import time

import pytest

from calls import call_callable, fire_event, of_type, once_per_kernel, send_module, texts
from conftest import rid

PFR_SUCCESS_KEYS = ["type", "success", "result", "logs", "request_id", "workbook_id"]
PFR_FAILURE_KEYS = ["type", "success", "error", "logs", "request_id", "workbook_id"]
EVENT_KEYS = ["type", "status", "logs", "error", "request_id", "module_name", "function_name",
              "workbook_id"]

# Functions defined by execution requests see only the namespace's globals, so each
# one imports what it needs itself.
REGISTER = """
def _cb_print(x):
    print('cb says', x)
    return x * 2

def _cb_raise():
    print('about to fail')
    raise LookupError('callable failed')

def _cb_exit():
    import sys
    sys.exit(9)

def _cb_interrupt():
    raise KeyboardInterrupt

def _cb_gen():
    yield 1

gridlet.messaging.register_callable(_cb_print, 'cb-print')
gridlet.messaging.register_callable(_cb_raise, 'cb-raise')
gridlet.messaging.register_callable(_cb_exit, 'cb-exit')
gridlet.messaging.register_callable(_cb_interrupt, 'cb-interrupt')
gridlet.messaging.register_callable(_cb_gen, 'cb-gen')
gridlet.messaging.register_callable(lambda: None, 'cb-none')
gridlet.messaging.register_callable(lambda *a: list(a), 'cb-echo')
gridlet.messaging.register_callable(5, 'cb-not-callable')
"""

EVENTS = """
def on_change(a, b):
    print('event', a, b)
    return a + b

def on_fail(x):
    print('handler starts')
    raise ValueError('handler broke: %s' % x)

def on_unconvertible():
    return object()

def on_exit():
    raise SystemExit(1)

def on_interrupt():
    raise KeyboardInterrupt('interrupted')

def on_echo(*args):
    return list(args)
"""


def _register(bl):
    msgs = bl.execute(REGISTER)
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    send_module(bl, "ev_mod", EVENTS)


@pytest.fixture(autouse=True)
def _setup(kernel):
    once_per_kernel(kernel, "cb", _register)


# ---------------------------------------------------------------- callables

def test_callable_call_streams_with_addin_and_replies_once(kernel):
    r = rid()
    msgs = call_callable(kernel, "cb-print", [21], request_id=r, workbook_id="wb-c",
                         source="ide")
    assert texts(msgs, "stdout") == "cb says 21\n"
    for m in of_type(msgs, "stdout"):
        assert list(m) == ["type", "content", "request_id", "workbook_id", "source"]
        assert (m["request_id"], m["workbook_id"], m["source"]) == (r, "wb-c", "addin")
    n = len(of_type(msgs, "stdout"))
    assert msgs[n:] == [
        {"type": "result_output", "content": "Out: 42\n", "request_id": r, "workbook_id": "wb-c"},
        {"type": "python_function_result", "success": True, "result": 42,
         "logs": "cb says 21\n", "request_id": r, "workbook_id": "wb-c"},
    ]
    assert list(msgs[n]) == ["type", "content", "request_id", "workbook_id"]
    assert list(msgs[n + 1]) == PFR_SUCCESS_KEYS
    assert kernel.quiet(r, 0.2) == []


def test_callable_without_ids_echoes_null(kernel):
    kernel.drain()
    kernel.send({"type": "python_function_call", "callable_id": "cb-echo", "args": [1]})
    res = kernel.recv_until(lambda m: m.get("type") == "python_function_result")
    assert res == {"type": "python_function_result", "success": True, "result": [1], "logs": "",
                   "request_id": None, "workbook_id": None}


def test_callable_returning_none_sends_no_result_output(kernel):
    msgs = call_callable(kernel, "cb-none")
    assert msgs == [{"type": "python_function_result", "success": True, "result": None,
                     "logs": "", "request_id": msgs[0]["request_id"], "workbook_id": None}]


def test_callable_arguments_use_the_wire_form(kernel):
    msgs = call_callable(kernel, "cb-echo", [{"__gridlet__": "date", "value": "2024-02-29"},
                                             [1, 2]])
    assert msgs[-1]["result"] == [{"__gridlet__": "date", "value": "2024-02-29"}, [1, 2]]


def test_callable_not_found(kernel):
    r = rid()
    msgs = call_callable(kernel, "cb-no-such-id", request_id=r, workbook_id="wb-c")
    assert len(msgs) == 1
    res = msgs[0]
    assert list(res) == PFR_FAILURE_KEYS
    assert res["success"] is False and res["request_id"] == r and res["workbook_id"] == "wb-c"
    assert isinstance(res["error"], str)
    assert res["error"].rstrip().endswith(
        "ValueError: Callable 'cb-no-such-id' not found in registry")
    # A lookup failure prints no traceback into the capture.
    assert res["logs"] == ""


def test_registered_object_that_is_not_callable(kernel):
    res = call_callable(kernel, "cb-not-callable")[-1]
    assert res["success"] is False
    assert res["error"].rstrip().endswith(
        "TypeError: Object with id 'cb-not-callable' is not callable")
    assert res["logs"] == ""


def test_missing_callable_id_is_a_validation_error(kernel):
    r = rid()
    kernel.send({"type": "python_function_call", "request_id": r, "workbook_id": "wb-c"})
    msgs = kernel.collect_for(r, "python_function_result")
    assert msgs == [{"type": "python_function_result", "success": False,
                     "error": {"type": "ValidationError", "message": "Missing callable_id",
                               "traceback": ""},
                     "request_id": r, "workbook_id": "wb-c"}]
    assert list(msgs[0]) == ["type", "success", "error", "request_id", "workbook_id"]


def test_callable_that_raises_streams_its_traceback(kernel):
    msgs = call_callable(kernel, "cb-raise")
    res = msgs[-1]
    assert res["success"] is False
    assert res["error"].rstrip().endswith("LookupError: callable failed")
    stderr = texts(msgs, "stderr")
    assert "LookupError: callable failed" in stderr
    assert all(m["source"] == "addin" for m in of_type(msgs, "stderr"))
    assert res["logs"] == "about to fail\n" + stderr


def test_callable_returning_a_generator_is_not_iterated(kernel):
    res = call_callable(kernel, "cb-gen")[-1]
    assert res["success"] is False
    assert "TypeError" in res["error"] and "generator" in res["error"]


@pytest.mark.parametrize("cid, tail", [("cb-exit", "SystemExit: 9"),
                                       ("cb-interrupt", "KeyboardInterrupt")])
def test_callable_ending_with_exit_or_interrupt_ends_only_the_call(kernel, cid, tail):
    res = call_callable(kernel, cid)[-1]
    assert res["success"] is False
    assert res["error"].rstrip().splitlines()[-1] == tail
    kernel.ping()
    assert call_callable(kernel, "cb-echo", [7])[-1]["result"] == [7]


@pytest.mark.parametrize("args", [{"a": 1}, "x", 3], ids=["object", "text", "int"])
def test_callable_with_non_list_args_is_answered(kernel, args):
    r = rid()
    kernel.send({"type": "python_function_call", "callable_id": "cb-echo", "args": args,
                 "request_id": r})
    msgs = kernel.collect_for(r, ("python_function_result", "error"))
    if msgs[-1]["type"] == "python_function_result":
        assert msgs[-1]["success"] is False
    else:
        assert msgs[-1]["original_type"] == "python_function_call"
    kernel.ping()


def test_callable_with_non_text_id_is_answered(kernel):
    r = rid()
    kernel.send({"type": "python_function_call", "callable_id": 12, "request_id": r})
    msgs = kernel.collect_for(r, ("python_function_result", "error"))
    assert msgs[-1].get("success") is False or msgs[-1]["type"] == "error"
    kernel.ping()


# ---------------------------------------------------------------- events

def test_event_without_workbook_id_echoes_the_kernels(kernel):
    r = rid()
    msgs = fire_event(kernel, "ev_mod", "on_change", [1, 2], request_id=r,
                      object_name="Sheet1", event_type="Change", object_type="Worksheet")
    assert texts(msgs, "stdout") == "event 1 2\n"
    for m in of_type(msgs, "stdout"):
        assert (m["workbook_id"], m["source"]) == ("wb-shared", "addin")
    assert of_type(msgs, "result_output") == []
    assert msgs[-1] == {"type": "event_execution_result", "status": "success",
                        "logs": "event 1 2\n", "error": None, "request_id": r,
                        "module_name": "ev_mod", "function_name": "on_change",
                        "workbook_id": "wb-shared"}
    assert list(msgs[-1]) == EVENT_KEYS


def test_event_with_workbook_id_echoes_it(kernel):
    msgs = fire_event(kernel, "ev_mod", "on_change", [3, 4], workbook_id="wb-other")
    assert msgs[-1]["workbook_id"] == "wb-other" and msgs[-1]["status"] == "success"
    assert all(m["workbook_id"] == "wb-other" for m in of_type(msgs, "stdout"))


def test_event_handler_failure(kernel):
    r = rid()
    msgs = fire_event(kernel, "ev_mod", "on_fail", ["x1"], request_id=r)
    res = msgs[-1]
    assert list(res) == EVENT_KEYS
    assert res["status"] == "error" and isinstance(res["error"], str)
    assert res["error"].rstrip().endswith("ValueError: handler broke: x1")
    assert 'File "<virtual:ev_mod>", line 8, in on_fail' in res["error"]
    stderr = texts(msgs, "stderr")
    assert "ValueError: handler broke: x1" in stderr
    assert res["logs"] == "handler starts\n" + stderr


def test_event_missing_names_get_no_reply(kernel):
    a, b = rid("evm"), rid("evf")
    mark = kernel.log_mark()
    kernel.send({"type": "event_execution", "function_name": "on_change", "request_id": a})
    kernel.send({"type": "event_execution", "module_name": "ev_mod", "function_name": "",
                 "request_id": b})
    kernel.wait_log("event_execution missing module_name or function_name", since=mark)
    kernel.ping()
    assert kernel.quiet(a, 0.2) == [] and kernel.quiet(b, 0.1) == []


def test_event_missing_module_and_bad_argument_reports_the_argument(kernel):
    msgs = fire_event(kernel, "ev_no_such_module", "f",
                      [{"__gridlet__": "datetime", "value": "not-a-date"}])
    res = msgs[-1]
    assert res["status"] == "error"
    assert "ValueError" in res["error"] and "ModuleNotFoundError" not in res["error"]


def test_event_missing_module_or_function(kernel):
    res = fire_event(kernel, "ev_no_such_module", "f")[-1]
    assert res["status"] == "error"
    assert "ModuleNotFoundError: No module named 'ev_no_such_module'" in res["error"]
    res = fire_event(kernel, "ev_mod", "nope")[-1]
    assert res["error"].rstrip().endswith(
        "AttributeError: Function 'nope' not found in module 'ev_mod'")


def test_event_returning_unconvertible_value_succeeds(kernel):
    res = fire_event(kernel, "ev_mod", "on_unconvertible")[-1]
    assert res["status"] == "success" and res["error"] is None


@pytest.mark.parametrize("function, tail", [("on_exit", "SystemExit: 1"),
                                            ("on_interrupt", "KeyboardInterrupt: interrupted")])
def test_event_ending_with_exit_or_interrupt_ends_only_the_call(kernel, function, tail):
    res = fire_event(kernel, "ev_mod", function)[-1]
    assert res["status"] == "error"
    assert res["error"].rstrip().splitlines()[-1] == tail
    kernel.ping()
    assert fire_event(kernel, "ev_mod", "on_echo", [1])[-1]["status"] == "success"


@pytest.mark.parametrize("args", [{"a": 1}, "x"], ids=["object", "text"])
def test_event_with_non_list_args_is_answered(kernel, args):
    r = rid()
    kernel.send({"type": "event_execution", "module_name": "ev_mod", "function_name": "on_echo",
                 "args": args, "request_id": r})
    msgs = kernel.collect_for(r, ("event_execution_result", "error"))
    if msgs[-1]["type"] == "event_execution_result":
        assert msgs[-1]["status"] == "error"
    else:
        assert msgs[-1]["original_type"] == "event_execution"
    kernel.ping()


# ---------------------------------------------------------------- COM responses
# The test without a registrar runs first; the later ones install the double.

REGISTRAR = """
class _E2eRegistrar:
    def __init__(self):
        self.deliveries = []
        self.configs = []
        self.fail_ok = False

    def apply_config(self, config):
        self.configs.append(config)

    def deliver_com_response(self, request_id, response):
        if self.fail_ok and response.get('status') == 'ok':
            self.deliveries.append((request_id, 'raised'))
            raise RuntimeError('registrar refused')
        # Linger a little, then note the time, so the test can tell whether the reply
        # was sent after the delivery returned.
        import time
        time.sleep(0.2)
        self.deliveries.append((request_id, response, time.monotonic()))

gridlet._e2e_registrar = _E2eRegistrar()
gridlet._kernel_instance.set_com_event_registrar(gridlet._e2e_registrar)
"""


def _install_registrar(bl):
    msgs = bl.execute(REGISTRAR)
    assert msgs[-1]["type"] == "execution_result", msgs[-1]


@pytest.fixture
def registrar(kernel):
    once_per_kernel(kernel, "com", _install_registrar)
    msgs = kernel.execute("gridlet._e2e_registrar.deliveries.clear()\n"
                          "gridlet._e2e_registrar.configs.clear()\n"
                          "gridlet._e2e_registrar.fail_ok = False\n")
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    return kernel


def test_is_com_without_registrar_runs_normally(kernel):
    res = fire_event(kernel, "ev_mod", "on_change", [1, 1], is_com=True)[-1]
    assert res["status"] == "success"
    kernel.send({"type": "com_event_config_update", "com_config": {"x": 1}})
    kernel.ping()


def test_com_delivery_ok_with_return_value_before_the_reply(registrar):
    kernel = registrar
    r = rid("com")
    kernel.send({"type": "event_execution", "module_name": "ev_mod", "function_name": "on_change",
                 "args": [5, 6], "request_id": r, "is_com": True})
    res = kernel.recv_until(lambda m: m.get("request_id") == r
                            and m.get("type") == "event_execution_result")
    received_at = time.monotonic()
    assert res["status"] == "success"
    deliveries = kernel.evaluate("[list(d) for d in gridlet._e2e_registrar.deliveries]")
    assert [d[:2] for d in deliveries] == [[r, {"status": "ok", "return_value": 11}]]
    assert deliveries[0][2] < received_at


def test_com_delivery_nok_on_failure(registrar):
    kernel = registrar
    r = rid("com")
    res = fire_event(kernel, "ev_mod", "on_fail", ["y"], request_id=r, is_com=True)[-1]
    assert res["status"] == "error"
    deliveries = kernel.evaluate("[list(d)[:2] for d in gridlet._e2e_registrar.deliveries]")
    assert deliveries == [[r, {"status": "nok"}]]


def test_com_delivery_for_exit_in_handler_is_nok(registrar):
    kernel = registrar
    r = rid("com")
    res = fire_event(kernel, "ev_mod", "on_exit", request_id=r, is_com=True)[-1]
    assert res["status"] == "error"
    assert kernel.evaluate("[list(d)[:2] for d in gridlet._e2e_registrar.deliveries]") == [
        [r, {"status": "nok"}]]


def test_com_unconvertible_return_value_still_reaches_the_registrar(registrar):
    kernel = registrar
    r = rid("com")
    res = fire_event(kernel, "ev_mod", "on_unconvertible", request_id=r, is_com=True)[-1]
    assert res["status"] == "success"
    assert kernel.evaluate(
        "[(d[0], d[1]['status'], type(d[1]['return_value']).__name__)"
        " for d in gridlet._e2e_registrar.deliveries]") == [[r, "ok", "object"]]


def test_com_delivery_that_raises_is_followed_by_nok(registrar):
    kernel = registrar
    kernel.execute("gridlet._e2e_registrar.fail_ok = True")
    try:
        r = rid("com")
        mark = kernel.log_mark()
        res = fire_event(kernel, "ev_mod", "on_change", [1, 2], request_id=r, is_com=True)[-1]
        assert res["status"] == "success"
        assert kernel.evaluate(
            "[list(d)[:2] for d in gridlet._e2e_registrar.deliveries]") == [
            [r, "raised"], [r, {"status": "nok"}]]
        kernel.wait_log("Error delivering COM event response: registrar refused", since=mark)
    finally:
        kernel.execute("gridlet._e2e_registrar.fail_ok = False")


def test_event_without_is_com_delivers_nothing(registrar):
    kernel = registrar
    assert fire_event(kernel, "ev_mod", "on_change", [1, 2])[-1]["status"] == "success"
    assert kernel.evaluate("len(gridlet._e2e_registrar.deliveries)") == 0


def test_com_event_config_update_reaches_apply_config(registrar):
    kernel = registrar
    kernel.send({"type": "com_event_config_update",
                 "com_config": {"events": ["SheetChange"], "enabled": True}})
    kernel.send({"type": "com_event_config_update"})
    kernel.ping()
    assert kernel.evaluate("gridlet._e2e_registrar.configs") == [
        {"events": ["SheetChange"], "enabled": True}, {}]
