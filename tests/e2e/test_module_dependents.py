"""Updating or deleting a workbook module also unloads the workbook modules that import it,
directly or through others, so every later call reaches the new code: through every kind of
call, through `import x` and `from x import y`, imports inside functions, chains and cycles,
while installed modules, modules from files and objects already held stay as they were."""

import re

import pytest

from calls import (call_callable, call_function, delete_module, fire_event, send_module,
                   stream_until_done, texts)
from conftest import rid

SYS = "__import__('sys')"


def _result(kernel, module, function, args=(), kind="custom_function_call"):
    msgs = call_function(kernel, module, function, args, kind=kind)
    assert msgs[-1]["status"] == "success", msgs[-1]
    return msgs[-1]["result"]


def _loaded(kernel, *names):
    return kernel.evaluate(f"[n in {SYS}.modules for n in {list(names)!r}]")


def _helpers(rate):
    return f"def rate():\n    return {rate}\n"


# ------------------------------------------------------------ import forms

@pytest.mark.parametrize("form", ["import", "from", "alias", "in_function_cached"])
def test_dependent_sees_the_updated_helper(kernel, form):
    helpers, pricing = f"dep_{form}_helpers", f"dep_{form}_pricing"
    body = {
        "import": f"import {helpers}\n"
                  f"def price(x):\n    return x * {helpers}.rate()\n",
        "from": f"from {helpers} import rate\n"
                f"def price(x):\n    return x * rate()\n",
        "alias": f"import {helpers} as h\n"
                 f"def price(x):\n    return x * h.rate()\n",
        # Imported later, inside a function, and kept at module level: the module's state
        # depends on the helper only once the function ran.
        "in_function_cached": "_rate = None\n"
                              "def price(x):\n"
                              "    global _rate\n"
                              "    if _rate is None:\n"
                              f"        from {helpers} import rate\n"
                              "        _rate = rate()\n"
                              "    return x * _rate\n",
    }[form]
    send_module(kernel, helpers, _helpers(5))
    send_module(kernel, pricing, body)
    assert _result(kernel, pricing, "price", [10]) == 50
    send_module(kernel, helpers, _helpers(7))
    # The dependent left sys.modules with the helper; the next call runs both afresh.
    assert _loaded(kernel, helpers, pricing) == [False, False]
    assert _result(kernel, pricing, "price", [10]) == 70
    send_module(kernel, helpers, _helpers(9))
    assert _result(kernel, pricing, "price", [10]) == 90


def test_chain_of_three_modules_reaches_the_bottom_change(kernel):
    send_module(kernel, "dep_chain_a", "V = 1\n")
    send_module(kernel, "dep_chain_b", "import dep_chain_a\ndef mid():\n    return dep_chain_a.V + 1\n")
    send_module(kernel, "dep_chain_c", "from dep_chain_b import mid\ndef top():\n    return mid() * 10\n")
    assert _result(kernel, "dep_chain_c", "top") == 20
    send_module(kernel, "dep_chain_a", "V = 4\n")
    assert _loaded(kernel, "dep_chain_a", "dep_chain_b", "dep_chain_c") == [False, False, False]
    assert _result(kernel, "dep_chain_c", "top") == 50
    # Updating the middle reaches the top, and leaves the bottom loaded.
    send_module(kernel, "dep_chain_b", "import dep_chain_a\ndef mid():\n    return dep_chain_a.V + 2\n")
    assert _loaded(kernel, "dep_chain_a", "dep_chain_b", "dep_chain_c") == [True, False, False]
    assert _result(kernel, "dep_chain_c", "top") == 60
    # Updating the top touches nothing below it.
    send_module(kernel, "dep_chain_c", "from dep_chain_b import mid\ndef top():\n    return mid() * 100\n")
    assert _loaded(kernel, "dep_chain_a", "dep_chain_b", "dep_chain_c") == [True, True, False]
    assert _result(kernel, "dep_chain_c", "top") == 600


def test_a_dropped_import_no_longer_ties_the_modules(kernel):
    send_module(kernel, "dep_drop_h", "V = 1\n")
    send_module(kernel, "dep_drop_user", "import dep_drop_h\nW = dep_drop_h.V\n")
    assert kernel.evaluate("import dep_drop_user; dep_drop_user.W") == 1
    send_module(kernel, "dep_drop_user", "W = 'standalone'\n")
    assert kernel.evaluate("import dep_drop_user; dep_drop_user.W") == "standalone"
    send_module(kernel, "dep_drop_h", "V = 2\n")
    assert _loaded(kernel, "dep_drop_user") == [True]


# ------------------------------------------------------------ every way a call arrives

def _pair(kernel, tag, extra=""):
    helpers, pricing = f"dep_way_{tag}_h", f"dep_way_{tag}_p"
    send_module(kernel, helpers, _helpers(5))
    send_module(kernel, pricing,
                f"import gridlet\nimport {helpers}\n"
                f"def price(x):\n    return x * {helpers}.rate()\n"
                f"def show(x):\n    print('price', price(x))\n"
                f"def prices(n):\n    for i in range(n):\n        yield price(i)\n" + extra)
    return helpers, pricing


def test_custom_function_call_and_run_module(kernel):
    helpers, pricing = _pair(kernel, "cf")
    assert _result(kernel, pricing, "price", [2]) == 10
    send_module(kernel, helpers, _helpers(6))
    assert _result(kernel, pricing, "price", [2], kind="run_module") == 12
    send_module(kernel, helpers, _helpers(8))
    assert _result(kernel, pricing, "price", [2]) == 16


def test_event_execution(kernel):
    helpers, pricing = _pair(kernel, "ev")
    assert texts(fire_event(kernel, pricing, "show", [3]), "stdout") == "price 15\n"
    send_module(kernel, helpers, _helpers(6))
    msgs = fire_event(kernel, pricing, "show", [3])
    assert msgs[-1]["status"] == "success", msgs[-1]
    assert texts(msgs, "stdout") == "price 18\n"


def test_streaming_function(kernel):
    helpers, pricing = _pair(kernel, "st")

    def values():
        r = rid("st")
        kernel.send({"type": "execute_streaming_function", "request_id": r,
                     "module_name": pricing, "function_name": "prices", "args": [3]})
        msgs = stream_until_done(kernel, r)
        assert "error" not in msgs[-1], msgs[-1]
        return [m["result"] for m in msgs if not m["done"]]

    assert values() == [0, 5, 10]
    send_module(kernel, helpers, _helpers(6))
    assert values() == [0, 6, 12]


def test_import_in_execution_request_and_objects_held_from_before(kernel):
    helpers, pricing = _pair(kernel, "ex")
    msgs = kernel.execute(f"import {pricing}\n_held_pricing = {pricing}\n"
                          f"_held_price = {pricing}.price\n")
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    send_module(kernel, helpers, _helpers(6))
    # What user code bound before the update keeps the old code, the namespace's own name
    # included, until it imports again.
    assert kernel.evaluate(f"({pricing}.price(1), {pricing} is _held_pricing)") == [5, True]
    assert kernel.evaluate(
        f"import {pricing}; ({pricing}.price(1), _held_pricing.price(1), _held_price(1),"
        f" _held_pricing is {pricing}, {SYS}.modules['{pricing}'] is {pricing})") == [6, 5, 5, False, True]


def test_callable_registered_at_module_top_level(kernel):
    helpers, pricing = _pair(kernel, "cb", "gridlet.messaging.register_callable(price, 'dep-cb-top')\n")
    kernel.evaluate(f"import {pricing}; None")
    assert call_callable(kernel, "dep-cb-top", [2])[-1]["result"] == 10
    send_module(kernel, helpers, _helpers(6))
    # The call imports the module again, which registers its callable again under the same id.
    res = call_callable(kernel, "dep-cb-top", [2])[-1]
    assert res["success"] is True and res["result"] == 12
    assert kernel.evaluate(
        f"import gridlet, {pricing}; gridlet.messaging.get_callable('dep-cb-top') is {pricing}.price") is True
    # The callable's own module changing works the same way.
    send_module(kernel, pricing, f"import gridlet, {helpers}\n"
                                 f"def price(x):\n    return -x * {helpers}.rate()\n"
                                 "gridlet.messaging.register_callable(price, 'dep-cb-top')\n")
    assert call_callable(kernel, "dep-cb-top", [2])[-1]["result"] == -12


def test_callable_registered_later_by_a_function(kernel):
    helpers, pricing = _pair(kernel, "cbl",
                             "class Book:\n    @staticmethod\n    def total(x):\n        return price(x) + 1\n"
                             "def setup():\n"
                             "    gridlet.messaging.register_callable(price, 'dep-cb-late')\n"
                             "    gridlet.messaging.register_callable(Book.total, 'dep-cb-late-nested')\n"
                             "    gridlet.messaging.register_callable(lambda x: price(x), 'dep-cb-late-lambda')\n")
    assert _result(kernel, pricing, "setup") is None
    assert [call_callable(kernel, c, [2])[-1]["result"]
            for c in ("dep-cb-late", "dep-cb-late-nested", "dep-cb-late-lambda")] == [10, 11, 10]
    send_module(kernel, helpers, _helpers(6))
    # Not registered again by the module's top level: the function of the same name in the
    # re-run module takes the id over; a lambda has no name to follow and keeps its old code.
    assert [call_callable(kernel, c, [2])[-1]["result"]
            for c in ("dep-cb-late", "dep-cb-late-nested", "dep-cb-late-lambda")] == [12, 13, 10]
    assert kernel.evaluate(
        f"import gridlet, {pricing}; gridlet.messaging.get_callable('dep-cb-late') is {pricing}.price") is True


def test_callable_of_a_deleted_module_fails_with_module_not_found(kernel):
    helpers, pricing = _pair(kernel, "cbd", "gridlet.messaging.register_callable(price, 'dep-cb-del')\n")
    kernel.evaluate(f"import {pricing}; None")
    delete_module(kernel, pricing)
    res = call_callable(kernel, "dep-cb-del", [2])[-1]
    assert res["success"] is False
    assert res["error"].rstrip().endswith(f"ModuleNotFoundError: No module named '{pricing}'")


# ------------------------------------------------------------ delete

def test_deleted_helper_makes_the_dependents_next_call_fail(kernel):
    send_module(kernel, "dep_del_h", "def rate():\n    return 5\n")
    send_module(kernel, "dep_del_p", "import dep_del_h\ndef price(x):\n    return x * dep_del_h.rate()\n")
    assert _result(kernel, "dep_del_p", "price", [1]) == 5
    delete_module(kernel, "dep_del_h")
    assert _loaded(kernel, "dep_del_h", "dep_del_p") == [False, False]
    msgs = call_function(kernel, "dep_del_p", "price", [1])
    err = msgs[-1]["error"]
    assert msgs[-1]["status"] == "error"
    assert err.rstrip().endswith("ModuleNotFoundError: No module named 'dep_del_h'")
    assert 'File "<virtual:dep_del_p>", line 1' in err
    # Sending the helper again brings the dependent back.
    send_module(kernel, "dep_del_h", "def rate():\n    return 6\n")
    assert _result(kernel, "dep_del_p", "price", [1]) == 6


# ------------------------------------------------------------ cycles and logs

def test_cycle_updates_cleanly_and_logs_each_removal_once(kernel_factory):
    bl = kernel_factory.start(env={"GRIDLET_LOG_LEVEL": "DEBUG"})
    send_module(bl, "dep_cyc_a", "import dep_cyc_b\nA = 1\ndef get():\n    return [A, dep_cyc_b.B]\n")
    send_module(bl, "dep_cyc_b", "import dep_cyc_a\nB = 1\ndef get():\n    return [B, dep_cyc_a.A]\n")
    send_module(bl, "dep_cyc_c", "import dep_cyc_b\ndef get():\n    return dep_cyc_b.get()\n")
    assert _result(bl, "dep_cyc_c", "get") == [1, 1]
    assert _result(bl, "dep_cyc_a", "get") == [1, 1]
    mark = bl.log_mark()
    send_module(bl, "dep_cyc_a", "import dep_cyc_b\nA = 2\ndef get():\n    return [A, dep_cyc_b.B]\n")
    log = bl.log_text()[mark:]
    removed = re.findall(r"\[InMemoryModuleLoader\] Removed '(dep_cyc_\w+)' from sys\.modules to force reload", log)
    assert sorted(removed) == ["dep_cyc_a", "dep_cyc_b", "dep_cyc_c"]
    assert removed[0] == "dep_cyc_a"
    assert _loaded(bl, "dep_cyc_a", "dep_cyc_b", "dep_cyc_c") == [False, False, False]
    assert _result(bl, "dep_cyc_c", "get") == [1, 2]
    assert _result(bl, "dep_cyc_a", "get") == [2, 1]
    mark = bl.log_mark()
    delete_module(bl, "dep_cyc_b")
    log = bl.log_text()[mark:]
    # The deleted module first, then each module that imports it, nearest first.
    assert re.findall(r"Removed '(dep_cyc_\w+)' from sys\.modules\n", log) == ["dep_cyc_b", "dep_cyc_a", "dep_cyc_c"]
    msgs = call_function(bl, "dep_cyc_c", "get")
    assert msgs[-1]["error"].rstrip().endswith("ModuleNotFoundError: No module named 'dep_cyc_b'")
    kernel_factory.finish(bl)


# ------------------------------------------------------------ what is never touched

def test_installed_modules_and_files_on_a_path_are_untouched(kernel, tmp_path):
    folder = tmp_path / "plain"
    folder.mkdir()
    (folder / "dep_plain_file.py").write_text("import dep_inst_h\nSEEN = dep_inst_h.V\n")
    kernel.send({"type": "add_path", "path": str(folder)})
    kernel.recv_until(lambda m: m.get("type") == "path_added")
    try:
        send_module(kernel, "dep_inst_h", "V = 1\n")
        send_module(kernel, "dep_inst_user", "import json, colorsys as cs, dep_inst_h, dep_plain_file\n"
                                             "def f():\n    return [dep_inst_h.V, dep_plain_file.SEEN]\n")
        assert _result(kernel, "dep_inst_user", "f") == [1, 1]
        msgs = kernel.execute(f"_before = {{n: id({SYS}.modules[n]) for n in"
                              " ('json', 'colorsys', 'dep_plain_file')}\n")
        assert msgs[-1]["type"] == "execution_result", msgs[-1]
        send_module(kernel, "dep_inst_h", "V = 2\n")
        # The file module imported the workbook module too, but it is no workbook module.
        assert kernel.evaluate(f"{{n: id({SYS}.modules.get(n)) for n in _before}} == _before") is True
        assert _loaded(kernel, "dep_inst_user") == [False]
        assert _result(kernel, "dep_inst_user", "f") == [2, 1]
        # Updating the workbook module that imports installed modules leaves them alone too.
        send_module(kernel, "dep_inst_user", "import json\ndef f():\n    return json.dumps(1)\n")
        assert _result(kernel, "dep_inst_user", "f") == "1"
        assert kernel.evaluate(f"{{n: id({SYS}.modules.get(n)) for n in _before}} == _before") is True
    finally:
        kernel.send({"type": "remove_path", "path": str(folder)})
        kernel.recv_until(lambda m: m.get("type") == "path_removed")


def test_builtin_import_behaves_as_usual(kernel):
    send_module(kernel, "dep_imp_h", "V = 'h'\n")
    assert kernel.evaluate(
        "import builtins, importlib; "
        "(__import__('os.path', fromlist=['join']).__name__,"
        " __import__(name='json', globals=None, locals=None, fromlist=(), level=0).__name__,"
        " builtins.__import__('dep_imp_h').V, importlib.import_module('dep_imp_h').V,"
        " builtins.__import__.__name__, type(builtins.__import__).__name__)"
    ) == ["posixpath", "json", "h", "h", "__import__", "builtin_function_or_method"]
    # Called by keyword from a workbook module, the import is recorded all the same.
    send_module(kernel, "dep_imp_user", "h = __import__(fromlist=(), globals=globals(), name='dep_imp_h')\n")
    assert kernel.evaluate("import dep_imp_user; dep_imp_user.h.V") == "h"
    send_module(kernel, "dep_imp_h", "V = 'h2'\n")
    assert kernel.evaluate("import dep_imp_user; dep_imp_user.h.V") == "h2"
    msgs = kernel.execute("import dep_no_such_module_at_all")
    assert msgs[-1]["type"] == "execution_error"
    assert msgs[-1]["error"]["type"] == "ModuleNotFoundError"


def test_dependent_still_running_its_top_level_finishes_then_reloads(kernel):
    send_module(kernel, "dep_slow_h", "V = 1\n")
    send_module(kernel, "dep_slow_user", "import time, dep_slow_h\nprint('imported', flush=True)\n"
                                         "time.sleep(1.0)\nSEEN = dep_slow_h.V\n"
                                         "def f():\n    return [SEEN, dep_slow_h.V]\n")
    r = rid("slow")
    kernel.send({"type": "custom_function_call", "module_name": "dep_slow_user", "function_name": "f",
                 "args": [], "request_id": r})
    kernel.recv_until(lambda m: m.get("request_id") == r and m.get("type") == "stdout", 10)
    # The helper changes while the dependent's first run is still going on.
    send_module(kernel, "dep_slow_h", "V = 2\n")
    msgs = kernel.collect_for(r, "function_execution_result", timeout=10)
    assert msgs[-1]["status"] == "success", msgs[-1]
    assert msgs[-1]["result"] == [1, 1]
    # That run ends with the old code; the next call runs the dependent again.
    assert _result(kernel, "dep_slow_user", "f") == [2, 2]
