"""The gridlet bridge module as user code sees it while the kernel is connected."""

import re

from conftest import rid


def test_to_wire_maps_datetimes_tuples_and_nested_values(kernel):
    assert kernel.evaluate(
        "import datetime; gridlet.Serializer.to_wire(datetime.datetime(2024, 1, 2, 3, 4, 5))"
    ) == {"__gridlet__": "datetime", "value": "2024-01-02T03:04:05"}
    assert kernel.evaluate(
        "import datetime; gridlet.Serializer.to_wire(datetime.date(2024, 1, 2))"
    ) == {"__gridlet__": "date", "value": "2024-01-02"}
    assert kernel.evaluate(
        "import datetime; gridlet.Serializer.to_wire("
        "{'d': datetime.date(2024, 1, 2), 't': (1, 'a', (2.5, None)), 'b': True})"
    ) == {"d": {"__gridlet__": "date", "value": "2024-01-02"}, "t": [1, "a", [2.5, None]],
          "b": True}


def test_from_wire_restores_datetimes(kernel):
    assert kernel.evaluate(
        "import datetime; gridlet.Serializer.from_wire("
        "{'__gridlet__': 'datetime', 'value': '2024-01-02T03:04:05'}) == "
        "datetime.datetime(2024, 1, 2, 3, 4, 5)") is True
    assert kernel.evaluate(
        "import datetime; gridlet.Serializer.from_wire("
        "{'__gridlet__': 'date', 'value': '2024-01-02'}) == datetime.date(2024, 1, 2)") is True
    assert kernel.evaluate("gridlet.Serializer.from_wire([1, 'x', {'k': None}])") == [
        1, "x", {"k": None}]


def test_to_wire_refuses_other_objects_naming_their_type(kernel):
    msgs = kernel.execute("class E2eThing: pass\ngridlet.Serializer.to_wire(E2eThing())")
    assert msgs[-1]["type"] == "execution_error"
    assert msgs[-1]["error"]["type"] == "TypeError"
    assert "E2eThing" in msgs[-1]["error"]["message"]


def test_callable_registry(kernel):
    cid = kernel.evaluate("gridlet._e2e_f = lambda: 1; gridlet.messaging.register_callable("
                          "gridlet._e2e_f)")
    assert re.fullmatch(r"[0-9a-f]{32}", cid)
    assert kernel.evaluate(f"gridlet.messaging.get_callable({cid!r}) is gridlet._e2e_f") is True
    assert kernel.evaluate("gridlet.messaging.register_callable(len, 'e2e-len')") == "e2e-len"
    assert kernel.evaluate("gridlet.messaging.get_callable('e2e-len') is len") is True
    assert kernel.evaluate("gridlet.messaging.get_callable('no-such-callable') is None") is True


def test_kernel_is_wired_into_the_bridge(kernel):
    assert kernel.evaluate("gridlet._kernel_instance is not None") is True
    assert kernel.evaluate("__import__('sys').modules['gridlet'] is gridlet") is True
    assert kernel.evaluate(
        "import threading; (gridlet.messaging.loop_thread is not None, "
        "gridlet.messaging.loop_thread is not threading.current_thread(), "
        "gridlet.messaging.loop is not None, callable(gridlet.messaging.send_request_sync))"
    ) == [True, True, True, True]
    assert kernel.evaluate("(hasattr(gridlet, 'excel'), hasattr(gridlet, 'context'), "
                           "gridlet.connection_args)") == [True, True, {}]


def test_bridge_names_are_in_the_user_namespace(kernel):
    r = rid()
    msgs = kernel.execute("(gridlet.__name__, excel is gridlet.excel, context is gridlet.context)",
                          request_id=r, function_name="names")
    assert msgs[-1]["result"] == ["gridlet", True, True]
