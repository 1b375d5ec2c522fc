"""Workbook modules held as source: update, import, replace, delete, shadowing,
virtual file names in errors and linecache, and bad update/delete messages."""

import pytest

from calls import call_function, delete_module, send_module
from conftest import rid

LOADER = ("[f for f in __import__('sys').meta_path "
          "if type(f).__name__ == 'InMemoryModuleLoader'][0]")


def _run_then(kernel, setup, expr):
    """Run statements, then evaluate an expression in the same namespace."""
    msgs = kernel.execute(setup)
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    return kernel.evaluate(expr)


def _error_of(kernel, code):
    msgs = kernel.execute(code)
    assert msgs[-1]["type"] == "execution_error", msgs[-1]
    return msgs[-1]["error"]


def test_loader_is_one_real_meta_path_finder_first_in_line(kernel):
    send_module(kernel, "mod_loader_probe", "x = 1\n")
    assert _run_then(
        kernel,
        "import sys, importlib.abc\n"
        "_L = [f for f in sys.meta_path if type(f).__name__ == 'InMemoryModuleLoader']\n",
        "(len(_L), sys.meta_path[0] is _L[0],"
        " isinstance(_L[0], importlib.abc.MetaPathFinder),"
        " isinstance(_L[0], importlib.abc.Loader),"
        " importlib.abc.MetaPathFinder in type(_L[0]).__mro__,"
        " importlib.abc.Loader in type(_L[0]).__mro__,"
        " type(_L[0].source_cache) is dict,"
        " _L[0].source_cache.get('mod_loader_probe'))"
    ) == [1, True, True, True, True, True, True, "x = 1\n"]


def test_source_cache_is_the_live_dict_user_code_can_read(kernel):
    send_module(kernel, "mod_cache_a", "A = 'a'\n")
    assert kernel.evaluate(f"_c = {LOADER}.source_cache; 'mod_cache_a' in _c") is True
    send_module(kernel, "mod_cache_b", "B = 'b'\n")
    # The same dict object sees the later update.
    assert kernel.evaluate("_c.get('mod_cache_b')") == "B = 'b'\n"


def test_import_then_replace_while_an_old_object_is_held(kernel):
    send_module(kernel, "mod_replace", "x = 1\n")
    assert _run_then(kernel, "import mod_replace\n_held_mod = mod_replace", "mod_replace.x") == 1
    send_module(kernel, "mod_replace", "x = 2\n")
    assert kernel.evaluate(
        "'mod_replace' in __import__('sys').modules") is False
    assert kernel.evaluate(
        "import mod_replace; (_held_mod.x, mod_replace.x, _held_mod is mod_replace)"
    ) == [1, 2, False]


def test_replace_is_seen_by_the_next_custom_function_call(kernel):
    send_module(kernel, "mod_replace_fn", "def f():\n    return 'v1'\n")
    assert call_function(kernel, "mod_replace_fn", "f")[-1]["result"] == "v1"
    send_module(kernel, "mod_replace_fn", "def f():\n    return 'v2'\n")
    assert call_function(kernel, "mod_replace_fn", "f")[-1]["result"] == "v2"


def test_replace_unloads_workbook_modules_that_imported_it(kernel):
    send_module(kernel, "mod_dep_base", "V = 'base1'\n")
    send_module(kernel, "mod_dep_user", "import mod_dep_base\nSEEN = mod_dep_base.V\n")
    assert kernel.evaluate("import mod_dep_user; mod_dep_user.SEEN") == "base1"
    send_module(kernel, "mod_dep_base", "V = 'base2'\n")
    # The importer leaves sys.modules too; the object already bound keeps the old values.
    assert kernel.evaluate(
        "import sys; ('mod_dep_user' in sys.modules, 'mod_dep_base' in sys.modules,"
        " mod_dep_user.SEEN, mod_dep_user.mod_dep_base.V)") == [False, False, "base1", "base1"]
    assert kernel.evaluate("import mod_dep_user; mod_dep_user.SEEN") == "base2"


def test_in_memory_module_shadows_an_installed_module_not_yet_imported(kernel):
    # colorsys is a standard-library module nothing in the kernel needs.
    assert kernel.evaluate("'colorsys' in __import__('sys').modules") is False
    send_module(kernel, "colorsys", "SHADOW = 'from memory'\n")
    try:
        assert kernel.evaluate(
            "import colorsys; (getattr(colorsys, 'SHADOW', None),"
            " hasattr(colorsys, 'rgb_to_hsv'),"
            " type(colorsys.__spec__.loader).__name__, colorsys.__spec__.origin,"
            " getattr(colorsys, '__file__', None))"
        ) == ["from memory", False, "InMemoryModuleLoader", None, None]
    finally:
        delete_module(kernel, "colorsys")
    # Once deleted, the installed module is found again.
    assert kernel.evaluate(
        "import colorsys; (hasattr(colorsys, 'SHADOW'), hasattr(colorsys, 'rgb_to_hsv'))"
    ) == [False, True]


def test_in_memory_module_is_not_a_package(kernel):
    send_module(kernel, "mod_nopkg", "X = 1\n")
    err = _error_of(kernel, "import mod_nopkg.sub")
    assert err["type"] == "ModuleNotFoundError"
    assert "'mod_nopkg' is not a package" in err["message"]
    # Even with a source held under the dotted name, the parent is no package.
    send_module(kernel, "mod_nopkg.sub", "Y = 2\n")
    err = _error_of(kernel, "import mod_nopkg.sub")
    assert err["type"] == "ModuleNotFoundError"
    assert "'mod_nopkg' is not a package" in err["message"]
    assert kernel.evaluate(
        "import mod_nopkg; (hasattr(mod_nopkg, '__path__'), mod_nopkg.__spec__.submodule_search_locations)"
    ) == [False, None]


def test_syntax_error_names_the_virtual_file_and_leaves_no_module(kernel):
    send_module(kernel, "mod_syntax", "x = 1\ndef f(:\n    pass\n")
    err = _error_of(kernel, "import mod_syntax")
    assert err["type"] == "SyntaxError"
    assert "<virtual:mod_syntax>" in err["message"]
    assert 'File "<virtual:mod_syntax>", line 2' in err["traceback"]
    assert _run_then(
        kernel,
        "import sys\n"
        "try:\n    import mod_syntax\nexcept SyntaxError as e:\n    _se = e\n",
        "(_se.filename, _se.lineno, 'mod_syntax' in sys.modules)"
    ) == ["<virtual:mod_syntax>", 2, False]


def test_syntax_error_through_a_custom_function_call(kernel):
    send_module(kernel, "mod_syntax_cf", "def f(:\n    pass\n")
    msgs = call_function(kernel, "mod_syntax_cf", "f")
    err = msgs[-1]
    assert err["status"] == "error"
    assert isinstance(err["error"], str)
    assert 'File "<virtual:mod_syntax_cf>", line 1' in err["error"]
    assert err["error"].rstrip().splitlines()[-1].startswith("SyntaxError:")
    assert kernel.evaluate("'mod_syntax_cf' in __import__('sys').modules") is False


def test_runtime_error_in_module_body_traceback_starts_in_the_module(kernel):
    send_module(kernel, "mod_toperr", "x = 1\nraise ValueError('boom at top')\n")
    # Run the loader directly: the entry after the caller's own frame must be the
    # module's line, with no kernel frame in between.
    assert _run_then(
        kernel,
        "import importlib.util, traceback\n"
        f"_ld = {LOADER}\n"
        "_spec = _ld.find_spec('mod_toperr', None)\n"
        "_m = importlib.util.module_from_spec(_spec)\n"
        "try:\n    _ld.exec_module(_m)\nexcept ValueError as e:\n    _e = e\n",
        "[(f.filename, f.lineno) for f in traceback.extract_tb(_e.__traceback__)][1:]"
    ) == [["<virtual:mod_toperr>", 2]]
    err = _error_of(kernel, "import mod_toperr")
    assert err["type"] == "ValueError" and err["message"] == "boom at top"
    assert 'File "<virtual:mod_toperr>", line 2, in <module>' in err["traceback"]
    assert "raise ValueError('boom at top')" in err["traceback"]
    assert "During handling" not in err["traceback"]
    assert "direct cause" not in err["traceback"]
    assert kernel.evaluate("'mod_toperr' in __import__('sys').modules") is False


def test_runtime_error_in_module_body_through_a_custom_function_call(kernel):
    send_module(kernel, "mod_toperr_cf", "def f():\n    return 1\nraise KeyError('top')\n")
    err = call_function(kernel, "mod_toperr_cf", "f")[-1]
    assert err["status"] == "error"
    tb = err["error"]
    assert 'File "<virtual:mod_toperr_cf>", line 3, in <module>' in tb
    assert tb.rstrip().splitlines()[-1] == "KeyError: 'top'"
    assert "During handling" not in tb


def test_linecache_serves_module_lines_until_deleted(kernel):
    send_module(kernel, "mod_lines", "first = 1\nsecond = 2\n")
    assert kernel.evaluate(
        "import mod_lines, linecache; "
        "(linecache.getline('<virtual:mod_lines>', 1), linecache.getline('<virtual:mod_lines>', 2))"
    ) == ["first = 1\n", "second = 2\n"]
    # A new source replaces the lines when the module runs again.
    send_module(kernel, "mod_lines", "changed = 3\n")
    assert kernel.evaluate(
        "import mod_lines, linecache;"
        " linecache.getline('<virtual:mod_lines>', 1)") == "changed = 3\n"
    delete_module(kernel, "mod_lines")
    assert kernel.evaluate(
        "import linecache, sys; "
        f"(linecache.getline('<virtual:mod_lines>', 1), 'mod_lines' in sys.modules,"
        f" 'mod_lines' in {LOADER}.source_cache, '<virtual:mod_lines>' in linecache.cache)"
    ) == ["", False, False, False]
    err = _error_of(kernel, "import mod_lines")
    assert err["type"] == "ModuleNotFoundError"


def test_traceback_of_a_function_shows_the_source_line(kernel):
    send_module(kernel, "mod_tbline", "def f():\n    return 1 / 0  # divide here\n")
    err = _error_of(kernel, "import mod_tbline; mod_tbline.f()")
    assert 'File "<virtual:mod_tbline>", line 2, in f' in err["traceback"]
    assert "return 1 / 0  # divide here" in err["traceback"]


def test_empty_code_is_an_empty_module(kernel):
    send_module(kernel, "mod_empty", "")
    assert kernel.evaluate(
        "import mod_empty; [n for n in vars(mod_empty) if not n.startswith('__')]") == []


def test_delete_of_a_never_sent_module_is_answered(kernel):
    delete_module(kernel, "mod_never_sent_anywhere")
    kernel.ping()


def test_update_without_module_name_is_refused_and_changes_nothing(kernel):
    kernel.drain()
    before = kernel.evaluate(f"sorted({LOADER}.source_cache)")
    kernel.send({"type": "update_module", "code": "X = 1\n"})
    assert kernel.recv_until(lambda m: m.get("type") == "error") == {
        "type": "error", "message": "update_module requires module_name"}
    kernel.send({"type": "update_module", "module_name": "", "code": "X = 1\n"})
    assert kernel.recv_until(lambda m: m.get("type") == "error") == {
        "type": "error", "message": "update_module requires module_name"}
    assert kernel.evaluate(f"sorted({LOADER}.source_cache)") == before


def test_delete_without_module_name_is_refused(kernel):
    kernel.drain()
    kernel.send({"type": "delete_module"})
    assert kernel.recv_until(lambda m: m.get("type") == "error") == {
        "type": "error", "message": "delete_module requires module_name"}
    kernel.ping()


@pytest.mark.parametrize("fields", [
    {"module_name": None, "code": "X = 1\n"},
    {"module_name": "mod_badcode_null", "code": None},
    {"module_name": "mod_badcode_int", "code": 5},
    {"module_name": 17, "code": "X = 1\n"},
    {"module_name": ["mod_badlist"], "code": "X = 1\n"},
], ids=["name-null", "code-null", "code-int", "name-int", "name-list"])
def test_update_with_non_text_fields_is_answered_and_changes_nothing(kernel, fields):
    kernel.drain()
    before = kernel.evaluate(f"sorted({LOADER}.source_cache)")
    kernel.send({"type": "update_module", **fields})
    err = kernel.recv_until(lambda m: m.get("type") in ("error", "module_updated"))
    assert err["type"] == "error", err
    assert isinstance(err.get("message"), str) and err["message"]
    if "original_type" in err:
        assert err["original_type"] == "update_module"
    assert kernel.evaluate(f"sorted({LOADER}.source_cache)") == before
    kernel.ping()


@pytest.mark.parametrize("name", [None, 3, {"m": 1}], ids=["null", "int", "object"])
def test_delete_with_non_text_name_is_answered(kernel, name):
    kernel.drain()
    kernel.send({"type": "delete_module", "module_name": name})
    err = kernel.recv_until(lambda m: m.get("type") in ("error", "module_deleted"))
    assert err["type"] == "error", err
    assert isinstance(err.get("message"), str) and err["message"]
    kernel.ping()


def test_module_updates_are_answered_while_a_call_runs(kernel):
    # update_module is handled on the listener while a worker is busy in user code.
    send_module(kernel, "mod_busy", "import time\ndef slow():\n    time.sleep(0.6)\n    return 'slow'\n")
    r = rid("busy")
    kernel.send({"type": "custom_function_call", "module_name": "mod_busy",
                 "function_name": "slow", "request_id": r})
    send_module(kernel, "mod_busy_other", "Z = 9\n")
    msgs = kernel.collect_for(r, "function_execution_result", timeout=5)
    assert msgs[-1]["result"] == "slow"
    order = [m.get("type") for m in kernel.all_messages
             if m.get("request_id") == r or m.get("module_name") == "mod_busy_other"]
    assert order.index("module_updated") < order.index("execution_result"), order
