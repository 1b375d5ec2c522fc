"""The language-service bridge and its analysis process, without a kernel."""

import os
import signal
import sys
import threading

import pytest

from gridlet_services.analysis_server import param_docs
from gridlet_services.lsp_bridge import LSPBridge


@pytest.fixture(scope="module")
def bridge():
    b = LSPBridge()
    yield b
    b.close()


@pytest.fixture
def own_bridge():
    b = LSPBridge()
    yield b
    b.close()


def names(result):
    assert result["error"] is None, result
    return [c["label"] for c in result["completions"]]


def complete(b, code, **kw):
    lines = code.split("\n")
    return b.get_completions(code=code, line=len(lines), column=len(lines[-1]), **kw)


def big_buffer(functions):
    return "\n".join(f"def filler_{i}(a):\n    return a\n" for i in range(functions)) + "\nfiller_"


# ---------------------------------------------------------------------- module view

def test_modules_are_kept_between_queries_until_deleted(bridge):
    assert names(complete(bridge, "import ub_kept\nub_kept.ke",
                          modules={"ub_kept": "def kept_fn(): pass\n"})) == ["kept_fn"]
    # A query without modules sees the last ones handed in.
    assert names(complete(bridge, "import ub_kept\nub_kept.ke")) == ["kept_fn"]
    bridge.delete_module("ub_kept")
    assert names(complete(bridge, "import ub_kept\nub_kept.ke")) == []


def test_rewrites_in_quick_succession_are_each_seen(bridge):
    for i in range(6):
        src = f"def gen_{i}_fn(): pass\n"
        assert names(complete(bridge, "import ub_gen\nub_gen.gen_", modules={"ub_gen": src})) == [f"gen_{i}_fn"]


def test_only_identifier_names_become_modules(bridge):
    mods = {"ub-dash": "def a(): pass\n", "ub_ok": "def ok_fn(): pass\n"}
    assert names(complete(bridge, "import ub_o", modules=mods)) == ["ub_ok"]


def test_buffer_of_a_module_is_analysed_as_that_module(bridge):
    src = "def own_fn():\n    '''Own.'''\n\nown_fn"
    bridge.set_hover_mode("full")
    try:
        hover = bridge.get_hover(code=src, line=4, column=2, path="<virtual:ub_own>",
                                 modules={"ub_own": src})
    finally:
        bridge.set_hover_mode("compact")
    assert hover["error"] is None
    assert hover["contents"].endswith("Defined in `ub_own`, line 1")


def test_search_path_is_the_given_paths_then_the_live_sys_path(bridge, tmp_path):
    (tmp_path / "ub_disk.py").write_text("def on_disk(): pass\n")
    code = "import ub_disk\nub_disk.on_"
    assert names(complete(bridge, code)) == []
    bridge.update_sys_paths([str(tmp_path)])
    assert names(complete(bridge, code)) == ["on_disk"]
    bridge.update_sys_paths([])
    assert names(complete(bridge, code)) == []
    sys.path.append(str(tmp_path))
    try:
        assert names(complete(bridge, code)) == ["on_disk"]
    finally:
        sys.path.remove(str(tmp_path))
    assert names(complete(bridge, code)) == []


def test_workbook_module_shadows_a_module_on_the_path(bridge, tmp_path):
    (tmp_path / "ub_shadow.py").write_text("def from_disk(): pass\n")
    bridge.update_sys_paths([str(tmp_path)])
    try:
        got = names(complete(bridge, "import ub_shadow\nub_shadow.from_",
                             modules={"ub_shadow": "def from_workbook(): pass\n"}))
        assert got == ["from_workbook"]
    finally:
        bridge.update_sys_paths([])
        bridge.delete_module("ub_shadow")


# ---------------------------------------------------------------------- unsaved buffers

def test_dirty_files_as_mapping_and_as_list(bridge):
    mods = {"ub_dirty": "def stored(): pass\n"}
    code = "import ub_dirty\nub_dirty."
    assert "in_map" in names(complete(bridge, code, modules=mods,
                                      dirty_files={"<virtual:ub_dirty>": "def in_map(): pass\n"}))
    assert "in_list" in names(complete(bridge, code, modules=mods,
                                       dirty_files=[{"path": "ub_dirty.py", "content": "def in_list(): pass\n"}]))
    # A relative path of a module that is not a workbook module adds it for this query.
    assert names(complete(bridge, "import ub_extra\nub_extra.ex",
                          dirty_files={"ub_extra.py": "def extra(): pass\n"})) == ["extra"]
    assert names(complete(bridge, "import ub_extra\nub_extra.ex")) == []
    assert "stored" in names(complete(bridge, code, modules=mods))


def test_buffer_of_a_file_on_disk_replaces_its_content_for_one_query(bridge, tmp_path):
    pkg = tmp_path / "ubpkg"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    sub = pkg / "sub.py"
    sub.write_text("def saved_sub(): pass\n")
    bridge.update_sys_paths([str(tmp_path)])
    code = "import ubpkg.sub\nubpkg.sub."
    try:
        assert "saved_sub" in names(complete(bridge, code))
        got = names(complete(bridge, code, dirty_files={str(sub): "def unsaved_sub(): pass\n"}))
        assert "unsaved_sub" in got and "saved_sub" not in got
        got = names(complete(bridge, code))
        assert "saved_sub" in got and "unsaved_sub" not in got
        sub.write_text("def resaved_sub(): pass\n")
        os.utime(sub, (os.path.getmtime(sub) + 5,) * 2)
        assert "resaved_sub" in names(complete(bridge, code))
    finally:
        bridge.update_sys_paths([])


@pytest.mark.parametrize("dirty, text", [
    ("text", "dirty_files must be a mapping"),
    ([["a.py", "x"]], "dirty_files entries must be objects"),
    ({"a.py": 3}, "needs a text path and a text content"),
    ([{"path": "a.py"}], "needs a text path and a text content"),
])
def test_malformed_dirty_files_are_reported(bridge, dirty, text):
    r = bridge.get_completions(code="x", line=1, column=1, dirty_files=dirty)
    assert r["completions"] == [] and text in r["error"]


# ---------------------------------------------------------------------- bad positions

@pytest.mark.parametrize("kw, text", [
    (dict(line=0), "line 0 is outside the code (lines 1 to 2)"),
    (dict(line=3), "line 3 is outside the code (lines 1 to 2)"),
    (dict(line=True), "line must be an integer, not bool"),
    (dict(line=1.0), "line must be an integer, not float"),
    (dict(column="2"), "column must be an integer, not str"),
    (dict(path=5), "path must be a string, not int"),
    (dict(code=b"x"), "code must be a string, not bytes"),
    (dict(modules=[1]), "modules must be a mapping name -> source"),
])
def test_bad_arguments_are_reported_by_every_query(bridge, kw, text):
    args = dict(code="x = 1\n", line=1, column=0)
    args.update(kw)
    for query, empty in ((bridge.get_completions, {"completions": []}),
                         (bridge.get_signature_help, {"signatures": [], "activeSignature": 0, "activeParameter": 0}),
                         (bridge.get_hover, {"contents": None})):
        r = query(**args)
        assert r == dict(empty, error=text)


def test_column_none_means_end_of_line_and_out_of_range_is_reported(bridge):
    assert "print" in names(bridge.get_completions(code="prin", line=1, column=None))
    r = bridge.get_completions(code="prin", line=1, column=9)
    assert r["completions"] == [] and "column" in r["error"]


# ---------------------------------------------------------------------- results

def test_signature_past_the_last_parameter_has_none_active(bridge):
    r = bridge.get_signature_help(code="def two(a, b): pass\ntwo(1, 2, 3", line=2, column=11)
    assert r["error"] is None
    assert r["activeSignature"] == 0 and r["activeParameter"] == 2
    assert len(r["signatures"][0]["parameters"]) == 2


def test_param_docs_of_the_three_docstring_styles():
    sphinx = "Do.\n\n:param a: the a\n:param int b: the b\n:returns: nothing\n"
    google = ("Do.\n\nArgs:\n    a (int): the a,\n        continued.\n    *rest: more\n\n"
              "Returns:\n    x: not a parameter\n")
    numpy = "Do.\n\nParameters\n----------\na : int\n    The a.\nb : str, optional\n    The b.\n\nReturns\n-------\nint\n"
    assert param_docs(sphinx) == {"a": "the a", "b": "the b"}
    assert param_docs(google) == {"a": "the a, continued.", "rest": "more"}
    assert param_docs(numpy) == {"a": "The a.", "b": "The b."}
    assert param_docs("No parameters here.") == {}


# ---------------------------------------------------------------------- diagnostics

def diag(bridge, code, module_name=None):
    r = bridge.get_diagnostics(code=code, module_name=module_name)
    assert r["error"] is None, r
    return r["diagnostics"]


def test_diagnostics_report_each_finding_once(bridge):
    (d,) = diag(bridge, "def f():\n    pass\nreturn 1\n")
    assert d["message"] == "SyntaxError: 'return' outside function" and d["line"] == 3
    (d,) = diag(bridge, "x = 1\nif x is 'a':\n    pass\n")
    assert d["source"] == "python" and d["severity"] == "warning" and d["line"] == 2
    (d,) = diag(bridge, "s = '\\d'\n")
    assert d["severity"] == "warning" and "invalid escape sequence" in d["message"]


def test_diagnostics_of_broken_sources(bridge):
    (d,) = diag(bridge, "def f():\n        x = 1\n\tpass\n")
    assert d["message"].startswith("TabError") and d["line"] == 3
    (d,) = diag(bridge, "x = 1\n\x00\n")
    assert d["severity"] == "error" and d["line"] == 1
    assert diag(bridge, "") == []
    assert bridge.get_diagnostics(code=3) == {"diagnostics": [], "error": "code must be a string, not int"}


# ---------------------------------------------------------------------- the helper process

def test_helper_killed_during_a_query_reports_it_and_is_restarted(own_bridge):
    assert names(complete(own_bridge, "prin")) == ["print"]
    first = own_bridge._helper.proc
    killer = threading.Timer(0.3, lambda: os.kill(first.pid, signal.SIGKILL))
    killer.start()
    try:
        r = complete(own_bridge, big_buffer(4000))
    finally:
        killer.join()
    assert r["completions"] == []
    assert r["error"].startswith("The analysis process failed: ")
    assert r["error"].endswith("; it has been restarted")
    assert own_bridge._helper is not None and own_bridge._helper.proc.pid != first.pid
    assert names(complete(own_bridge, "prin")) == ["print"]


def test_helper_dead_while_idle_is_replaced_for_the_next_query(own_bridge):
    assert names(complete(own_bridge, "import ub_idle\nub_idle.i",
                          modules={"ub_idle": "def idle_fn(): pass\n"})) == ["idle_fn"]
    proc = own_bridge._helper.proc
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait(5)
    # The new process gets the whole view again.
    assert names(complete(own_bridge, "import ub_idle\nub_idle.i")) == ["idle_fn"]


def test_helper_that_stops_answering_is_replaced(own_bridge):
    assert names(complete(own_bridge, "prin")) == ["print"]
    stuck = own_bridge._helper
    os.kill(stuck.proc.pid, signal.SIGSTOP)
    own_bridge.TIMEOUT = 0.5
    r = complete(own_bridge, "prin")
    assert r["error"] == ("The analysis process failed: it did not answer within 0.5 s;"
                          " it has been restarted")
    assert stuck.proc.poll() is not None  # killed, not left stopped
    own_bridge.TIMEOUT = LSPBridge.TIMEOUT
    assert names(complete(own_bridge, "prin")) == ["print"]


def test_helper_folder_goes_away_with_it(own_bridge):
    assert names(complete(own_bridge, "prin")) == ["print"]
    root = own_bridge._helper.root
    assert os.path.isdir(os.path.join(root, "modules"))
    own_bridge.close()
    assert not os.path.exists(root)


def test_missing_interpreter_is_reported():
    b = LSPBridge(python="/nonexistent/python3")
    r = b.get_diagnostics(code="x")
    assert r["diagnostics"] == []
    assert r["error"].startswith("could not start the analysis process /nonexistent/python3")
