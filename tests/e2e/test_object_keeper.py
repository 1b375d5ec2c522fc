"""The object keeper and host interaction requests of the kernel object that user code
reaches as gridlet._kernel_instance, and the get_object_registry message."""

import pytest

from calls import call_function, fire_event, send_module
from conftest import rid

K = "gridlet._kernel_instance"


def _run(kernel, code):
    msgs = kernel.execute(code)
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    return msgs


def _error(kernel, code):
    msgs = kernel.execute(code)
    assert msgs[-1]["type"] == "execution_error", msgs[-1]
    return msgs[-1]["error"]


def _update(kernel, key=None, action="update", timeout=5):
    return kernel.recv_until(lambda m: m.get("type") == "object_registry_update"
                             and m.get("action") == action
                             and (key is None or m.get("key") == key), timeout)


def _registry_message(kernel):
    kernel.send({"type": "get_object_registry"})
    return kernel.recv_until(lambda m: m.get("type") == "object_registry_response")


@pytest.fixture
def keeper(kernel):
    kernel.drain()
    _run(kernel, f"{K}.clear_all_objects()")
    _update(kernel, action="clear_all")
    yield kernel
    _run(kernel, f"{K}.clear_all_objects()")


def test_save_sends_update_and_get_returns_the_same_object(keeper):
    kernel = keeper
    _run(kernel, f"_e2e_obj = [1, 2]\n{K}.save_object('e2e-list', _e2e_obj)")
    upd = _update(kernel, "e2e-list")
    assert upd == {"type": "object_registry_update", "action": "update", "key": "e2e-list",
                   "object_type": "list", "repr": "[1, 2]", "workbook_id": "wb-shared"}
    assert list(upd) == ["type", "action", "key", "object_type", "repr", "workbook_id"]
    assert kernel.evaluate(f"{K}.get_object('e2e-list') is _e2e_obj") is True


def test_kept_object_is_reachable_from_a_custom_function(keeper):
    kernel = keeper
    send_module(kernel, "ok_fetch", """
        import gridlet
        def fetch(key):
            return gridlet._kernel_instance.get_object(key)
        def keep(key, value):
            gridlet._kernel_instance.save_object(key, value)
    """)
    _run(kernel, f"{K}.save_object('e2e-shared', {{'a': [1, 2]}})")
    assert call_function(kernel, "ok_fetch", "fetch", ["e2e-shared"])[-1]["result"] == {"a": [1, 2]}
    call_function(kernel, "ok_fetch", "keep", ["e2e-from-fn", "v"])
    assert kernel.evaluate(f"{K}.get_object('e2e-from-fn')") == "v"
    assert call_function(kernel, "ok_fetch", "fetch", ["e2e-absent"])[-1]["result"] is None


def test_saving_twice_keeps_the_second_and_sends_two_updates(keeper):
    kernel = keeper
    _run(kernel, f"{K}.save_object('e2e-twice', 1)\n{K}.save_object('e2e-twice', 'two')")
    first, second = _update(kernel, "e2e-twice"), _update(kernel, "e2e-twice")
    assert (first["object_type"], first["repr"]) == ("int", "1")
    assert (second["object_type"], second["repr"]) == ("str", "'two'")
    assert kernel.evaluate(f"{K}.get_object('e2e-twice')") == "two"


def test_notifications_follow_the_call_order(keeper):
    kernel = keeper
    _run(kernel, f"{K}.save_object('e2e-o1', 1)\n{K}.save_object('e2e-o2', 2)\n"
                 f"{K}.clear_object('e2e-o1')\n{K}.clear_all_objects()")
    got = []
    while len(got) < 4:
        m = kernel.recv_until(lambda m: m.get("type") == "object_registry_update")
        got.append((m["action"], m.get("key")))
    assert got == [("update", "e2e-o1"), ("update", "e2e-o2"), ("delete", "e2e-o1"),
                   ("clear_all", None)]


def test_absent_key_gets_none_and_clearing_it_still_notifies(keeper):
    kernel = keeper
    assert kernel.evaluate(f"{K}.get_object('e2e-never') is None") is True
    assert kernel.evaluate(f"{K}.get_object('') is None") is True
    _run(kernel, f"{K}.clear_object('e2e-never')")
    assert _update(kernel, "e2e-never", action="delete") == {
        "type": "object_registry_update", "action": "delete", "key": "e2e-never",
        "workbook_id": "wb-shared"}


def test_empty_key_is_refused_and_a_space_is_accepted(keeper):
    kernel = keeper
    err = _error(kernel, f"{K}.save_object('', 1)")
    assert err["type"] == "ValueError"
    assert err["message"] == "ObjectKeeper key must be a non-empty string"
    assert kernel.evaluate(f"{K}.get_object_registry()") == []
    _run(kernel, f"{K}.save_object(' ', 'space')")
    assert _update(kernel, " ")["repr"] == "'space'"
    # Nothing was announced for the refused key.
    assert [m for m in kernel.all_messages[-30:]
            if m.get("type") == "object_registry_update" and m.get("key") == ""] == []


@pytest.mark.parametrize("call", ["save_object(None, 1)", "save_object(5, 1)", "get_object(None)",
                                  "clear_object(3)"])
def test_non_text_keys_raise_type_error(keeper, call):
    assert _error(keeper, f"{K}.{call}")["type"] == "TypeError"


def test_registry_method_and_message_list_entries_in_insertion_order(keeper):
    kernel = keeper
    assert kernel.evaluate(f"{K}.get_object_registry()") == []
    assert _registry_message(kernel) == {"type": "object_registry_response", "objects": [],
                                         "workbook_id": "wb-shared"}
    _run(kernel, f"{K}.save_object('e2e-b', [1, 'x'])\n{K}.save_object('e2e-a', 2.5)")
    entries = [{"key": "e2e-b", "type": "list", "repr": "[1, 'x']"},
               {"key": "e2e-a", "type": "float", "repr": "2.5"}]
    assert kernel.evaluate(f"{K}.get_object_registry()") == entries
    assert kernel.evaluate(f"[list(e) for e in {K}.get_object_registry()]") == [
        ["key", "type", "repr"]] * 2
    reply = _registry_message(kernel)
    assert reply == {"type": "object_registry_response", "objects": entries,
                     "workbook_id": "wb-shared"}
    assert list(reply) == ["type", "objects", "workbook_id"]


def test_repr_is_sent_in_full(keeper):
    kernel = keeper
    _run(kernel, f"{K}.save_object('e2e-long', list(range(20000)))")
    upd = _update(kernel, "e2e-long")
    assert upd["repr"] == repr(list(range(20000)))
    assert _registry_message(kernel)["objects"][0]["repr"] == repr(list(range(20000)))


def test_clear_all_on_an_empty_keeper_still_notifies(keeper):
    kernel = keeper
    _run(kernel, f"{K}.clear_all_objects()")
    assert _update(kernel, action="clear_all") == {
        "type": "object_registry_update", "action": "clear_all", "workbook_id": "wb-shared"}
    assert kernel.evaluate(f"{K}.get_object_registry()") == []


def test_saves_from_many_threads_are_all_kept_and_announced(keeper):
    kernel = keeper
    _run(kernel, "import threading\n"
                 "def _e2e_saver(t):\n"
                 "    import gridlet\n"
                 "    for i in range(50):\n"
                 "        gridlet._kernel_instance.save_object('e2e-t%d-%d' % (t, i), i)\n"
                 "_e2e_threads = []\n"
                 "for _t in range(8): _e2e_threads.append(threading.Thread(target=_e2e_saver, args=(_t,)))\n"
                 "for _t in _e2e_threads: _t.start()\n"
                 "for _t in _e2e_threads: _t.join(10)\n")
    assert kernel.evaluate(f"len({K}.get_object_registry())") == 400
    keys = set()
    while len(keys) < 400:
        keys.add(_update(kernel)["key"])
    assert keys == {f"e2e-t{t}-{i}" for t in range(8) for i in range(50)}


def test_registry_request_with_a_failing_repr_is_answered(keeper):
    kernel = keeper
    _run(kernel, "class _E2eFragile:\n"
                 "    broken = False\n"
                 "    def __repr__(self):\n"
                 "        if type(self).broken:\n"
                 "            raise RuntimeError('repr broke')\n"
                 "        return 'fragile'\n"
                 f"{K}.save_object('e2e-fragile', _E2eFragile())\n"
                 "_E2eFragile.broken = True\n")
    kernel.send({"type": "get_object_registry"})
    reply = kernel.recv_until(lambda m: m.get("type") in ("error", "object_registry_response"))
    assert reply["type"] == "error" and reply["original_type"] == "get_object_registry", reply
    kernel.ping()
    _run(kernel, "_E2eFragile.broken = False")
    assert _registry_message(kernel)["objects"] == [
        {"key": "e2e-fragile", "type": "_E2eFragile", "repr": "fragile"}]


# ---------------------------------------------------------------- host interaction

def _host(kernel, kind):
    return kernel.recv_until(lambda m: m.get("type") == kind)


def test_show_message_box_defaults(kernel):
    kernel.drain()
    assert kernel.evaluate(f"{K}.show_message_box('hello there') is None") is True
    box = _host(kernel, "show_message_box")
    assert box == {"type": "show_message_box", "message": "hello there", "title": "Gridlet",
                   "msg_type": "Info", "workbook_id": "wb-shared"}
    assert list(box) == ["type", "message", "title", "msg_type", "workbook_id"]


def test_show_message_box_with_title_and_type(kernel):
    kernel.drain()
    _run(kernel, f"{K}.show_message_box('m', 'T', 'AnyKind')\n"
                 f"{K}.show_message_box(message='k', title='T2', type='Warning')")
    assert _host(kernel, "show_message_box")["msg_type"] == "AnyKind"
    second = _host(kernel, "show_message_box")
    assert (second["message"], second["title"], second["msg_type"]) == ("k", "T2", "Warning")


@pytest.mark.parametrize("args", ["5", "None", "'m', None", "'m', 'T', 3"])
def test_show_message_box_takes_only_text(kernel, args):
    assert _error(kernel, f"{K}.show_message_box({args})")["type"] == "TypeError"


@pytest.mark.parametrize("value, expected", [("0", False), ("False", False), ("[]", False),
                                             ("1", True), ("'no'", True), ("True", True)])
def test_set_enable_events_sends_the_truth_value(kernel, value, expected):
    kernel.drain()
    assert kernel.evaluate(f"{K}.set_enable_events({value}) is None") is True
    msg = _host(kernel, "set_enable_events")
    assert msg == {"type": "set_enable_events", "enable": expected, "workbook_id": "wb-shared"}
    assert list(msg) == ["type", "enable", "workbook_id"]


def test_host_requests_from_an_event_handler(kernel):
    send_module(kernel, "ok_events", """
        import gridlet
        def on_open():
            gridlet._kernel_instance.set_enable_events(False)
            gridlet._kernel_instance.show_message_box('opened')
    """)
    kernel.drain()
    assert fire_event(kernel, "ok_events", "on_open")[-1]["status"] == "success"
    assert _host(kernel, "set_enable_events")["enable"] is False
    assert _host(kernel, "show_message_box")["message"] == "opened"
