"""Path messages: add/remove/reset, package paths at the front with unloading of stale
packages (deepest first), Python paths at the end, and bad path fields."""

import re

import pytest

from conftest import rid

SYS = "__import__('sys')"


def _reply(kernel, msg, reply_type, timeout=5):
    kernel.send(msg)
    return kernel.recv_until(lambda m: m.get("type") == reply_type, timeout)


def _sys_path(kernel):
    return kernel.evaluate(f"{SYS}.path")


@pytest.fixture
def clean_path(kernel):
    """Every test starts and ends with sys.path as it was when the kernel was built."""
    kernel.drain()
    start = _reply(kernel, {"type": "reset_path"}, "path_reset")
    yield start["current_paths"]
    _reply(kernel, {"type": "reset_path"}, "path_reset")


def _make_package(root, name, version, with_sub=True):
    pkg = root / name
    (pkg / "a").mkdir(parents=True)
    (pkg / "__init__.py").write_text(f"VERSION = {version!r}\n")
    (pkg / "a" / "__init__.py").write_text("A = 'a'\n")
    if with_sub:
        (pkg / "a" / "b.py").write_text(f"B = {version!r}\n")
    return pkg


def test_add_path_twice_adds_once_and_edits_sys_path_in_place(kernel, clean_path, tmp_path):
    p = str(tmp_path / "added")
    kernel.execute(f"_e2e_path_list = {SYS}.path")
    first = _reply(kernel, {"type": "add_path", "path": p}, "path_added")
    assert list(first) == ["type", "path", "current_paths"]
    assert first["path"] == p and first["current_paths"][0] == p
    assert first["current_paths"] == [p] + clean_path
    second = _reply(kernel, {"type": "add_path", "path": p}, "path_added")
    assert second["current_paths"] == first["current_paths"]
    assert kernel.evaluate(f"({SYS}.path is _e2e_path_list, {SYS}.path)") == [
        True, first["current_paths"]]


def test_remove_path_takes_out_only_paths_it_added(kernel, clean_path, tmp_path):
    p = str(tmp_path / "to-remove")
    _reply(kernel, {"type": "add_path", "path": p}, "path_added")
    removed = _reply(kernel, {"type": "remove_path", "path": p}, "path_removed")
    assert removed == {"type": "path_removed", "path": p, "current_paths": clean_path}
    # A path the kernel did not add stays, even though it is in sys.path.
    foreign = clean_path[-1]
    again = _reply(kernel, {"type": "remove_path", "path": foreign}, "path_removed")
    assert again["current_paths"] == clean_path
    assert _sys_path(kernel) == clean_path


def test_add_path_already_in_sys_path_is_recorded_but_not_moved(kernel, clean_path):
    existing = clean_path[-1]
    added = _reply(kernel, {"type": "add_path", "path": existing}, "path_added")
    assert added["current_paths"] == clean_path
    removed = _reply(kernel, {"type": "remove_path", "path": existing}, "path_removed")
    assert removed["current_paths"] == clean_path[:-1]


def test_add_path_without_path_uses_the_empty_text(kernel, clean_path):
    added = _reply(kernel, {"type": "add_path"}, "path_added")
    assert added["path"] == "" and "" in added["current_paths"]


def test_reset_path_restores_the_original_list_object(kernel, clean_path, tmp_path):
    kernel.execute(f"_e2e_path_list = {SYS}.path")
    a, b, c = (str(tmp_path / n) for n in "abc")
    _reply(kernel, {"type": "add_path", "path": a}, "path_added")
    _reply(kernel, {"type": "set_package_paths", "new_paths": [b]}, "package_paths_updated")
    _reply(kernel, {"type": "set_python_paths", "new_paths": [c]}, "python_paths_updated")
    assert {a, b, c} <= set(_sys_path(kernel))
    reset = _reply(kernel, {"type": "reset_path"}, "path_reset")
    assert reset == {"type": "path_reset", "current_paths": clean_path}
    assert kernel.evaluate(f"({SYS}.path is _e2e_path_list, {SYS}.path)") == [True, clean_path]


def test_package_paths_go_to_the_front_in_their_order(kernel, clean_path, tmp_path):
    a, b = str(tmp_path / "pkgs-a"), str(tmp_path / "pkgs-b")
    existing = clean_path[-1]
    reply = _reply(kernel, {"type": "set_package_paths", "old_paths": [],
                            "new_paths": [a, b, existing]}, "package_paths_updated")
    assert reply == {"type": "package_paths_updated", "paths_added": 3, "modules_unloaded": 0,
                     "workbook_id": "wb-shared"}
    path = _sys_path(kernel)
    assert path[:2] == [a, b]
    # A new path already present keeps its place.
    assert path[-1] == existing and path.count(existing) == 1
    # The package paths become the kernel's own: remove_path takes them out again.
    removed = _reply(kernel, {"type": "remove_path", "path": a}, "path_removed")
    assert a not in removed["current_paths"] and removed["current_paths"][0] == b


def test_python_paths_go_to_the_end_and_old_ones_leave(kernel, clean_path, tmp_path):
    c, d, e = (str(tmp_path / n) for n in ("py-c", "py-d", "py-e"))
    reply = _reply(kernel, {"type": "set_python_paths", "old_paths": [],
                            "new_paths": [c, d]}, "python_paths_updated")
    assert reply == {"type": "python_paths_updated", "paths_added": 2,
                     "workbook_id": "wb-shared"}
    assert _sys_path(kernel) == clean_path + [c, d]
    _reply(kernel, {"type": "set_python_paths", "old_paths": [c, d], "new_paths": [e]},
           "python_paths_updated")
    assert _sys_path(kernel) == clean_path + [e]
    # Python paths are not the kernel's own paths: remove_path leaves them.
    _reply(kernel, {"type": "remove_path", "path": e}, "path_removed")
    assert _sys_path(kernel)[-1] == e


def test_stale_package_is_unloaded_deepest_first_and_reloads_from_the_new_folder(
        kernel_factory, tmp_path):
    bl = kernel_factory.start(workbook_id="wb-paths", env={"GRIDLET_LOG_LEVEL": "DEBUG"})
    try:
        old, new = tmp_path / "old", tmp_path / "new"
        _make_package(old, "e2epkgp", "old")
        _make_package(new, "e2epkgp", "new")
        reply = _reply(bl, {"type": "set_package_paths", "old_paths": [],
                            "new_paths": [str(old)]}, "package_paths_updated")
        assert reply["modules_unloaded"] == 0
        msgs = bl.execute("import types, sys\n"
                          "import e2epkgp.a.b\n"
                          "_held = e2epkgp.a.b\n"
                          # A submodule with no file is unloaded with its package.
                          "sys.modules['e2epkgp.virtual'] = types.ModuleType('e2epkgp.virtual')\n")
        assert msgs[-1]["type"] == "execution_result", msgs[-1]
        assert bl.evaluate("e2epkgp.VERSION") == "old"
        mark = bl.log_mark()
        reply = _reply(bl, {"type": "set_package_paths", "old_paths": [str(old)],
                            "new_paths": [str(new)]}, "package_paths_updated")
        assert reply == {"type": "package_paths_updated", "paths_added": 1,
                         "modules_unloaded": 4, "workbook_id": "wb-paths"}
        log = bl.wait_log("Package paths updated: 1 paths added, 4 modules unloaded", since=mark)
        unloaded = re.findall(r"Unloaded module: (\S+)\s*$", log, re.MULTILINE)
        assert unloaded == ["e2epkgp.a.b", "e2epkgp.a", "e2epkgp.virtual", "e2epkgp"]
        assert bl.evaluate(
            "import sys; [n for n in sys.modules if n.split('.')[0] == 'e2epkgp']") == []
        path = bl.evaluate("__import__('sys').path")
        assert path[0] == str(new) and str(old) not in path
        # Holders keep the old objects; a new import loads from the new folder.
        assert bl.evaluate("_held.B") == "old"
        assert bl.evaluate(
            "import e2epkgp.a.b; (e2epkgp.VERSION, e2epkgp.a.b.B, e2epkgp.__file__)"
        ) == ["new", "new", str(new / "e2epkgp" / "__init__.py")]
    finally:
        kernel_factory.finish(bl)


def test_stale_paths_match_by_text_prefix(kernel, clean_path, tmp_path):
    x, xy = tmp_path / "lib", tmp_path / "libextra"
    _make_package(xy, "e2epkgq", "q")
    _reply(kernel, {"type": "set_python_paths", "new_paths": [str(xy)]}, "python_paths_updated")
    msgs = kernel.execute("import e2epkgq.a.b")
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    reply = _reply(kernel, {"type": "unload_and_clear_paths", "paths": [str(x)]},
                   "modules_unloaded")
    assert reply == {"type": "modules_unloaded", "modules_unloaded": 3, "paths_cleared": 1,
                     "workbook_id": "wb-shared"}
    assert kernel.evaluate(
        "import sys; [n for n in sys.modules if n.startswith('e2epkgq')]") == []
    # Only the exact entry is taken out of sys.path; the sibling folder stays.
    assert str(xy) in _sys_path(kernel)


def test_unload_and_clear_paths_removes_the_paths(kernel, clean_path, tmp_path):
    d = tmp_path / "clear-me"
    _make_package(d, "e2epkgr", "r", with_sub=False)
    _reply(kernel, {"type": "set_python_paths", "new_paths": [str(d)]}, "python_paths_updated")
    kernel.execute("import e2epkgr.a")
    reply = _reply(kernel, {"type": "unload_and_clear_paths", "paths": [str(d)]},
                   "modules_unloaded")
    assert reply["modules_unloaded"] == 2 and reply["paths_cleared"] == 1
    assert str(d) not in _sys_path(kernel)


def test_unload_and_clear_paths_with_no_paths_unloads_nothing(kernel, clean_path):
    before = kernel.evaluate("len(__import__('sys').modules)")
    reply = _reply(kernel, {"type": "unload_and_clear_paths", "paths": []}, "modules_unloaded")
    assert reply == {"type": "modules_unloaded", "modules_unloaded": 0, "paths_cleared": 0,
                     "workbook_id": "wb-shared"}
    reply = _reply(kernel, {"type": "unload_and_clear_paths"}, "modules_unloaded")
    assert reply["modules_unloaded"] == 0 and reply["paths_cleared"] == 0
    assert kernel.evaluate("len(__import__('sys').modules)") == before


@pytest.mark.parametrize("msg", [
    {"type": "set_package_paths", "new_paths": "/tmp/not-a-list"},
    {"type": "set_package_paths", "old_paths": 5, "new_paths": []},
    {"type": "set_package_paths", "new_paths": None},
    {"type": "set_python_paths", "new_paths": {"p": 1}},
    {"type": "set_python_paths", "old_paths": "x", "new_paths": []},
    {"type": "unload_and_clear_paths", "paths": "/tmp"},
    {"type": "add_path", "path": 5},
    {"type": "add_path", "path": None},
    {"type": "remove_path", "path": ["a"]},
], ids=["pkg-new-text", "pkg-old-int", "pkg-new-null", "py-new-object", "py-old-text",
        "unload-text", "add-int", "add-null", "remove-list"])
def test_wrong_field_types_are_answered_and_the_kernel_goes_on(kernel, clean_path, msg):
    kernel.send(msg)
    err = kernel.recv_until(lambda m: m.get("type") == "error", timeout=5)
    assert err["original_type"] == msg["type"]
    assert isinstance(err["message"], str) and err["message"]
    assert all(isinstance(p, str) for p in _sys_path(kernel))
    kernel.ping()
