"""Editor language requests: completion, signature help, hover and diagnostics."""

import pytest

from calls import delete_module, send_module
from conftest import rid

REPLY_KEYS = {
    "completion_request": ["type", "completions", "error", "request_id", "workbook_id", "module_name"],
    "signature_help_request": ["type", "signatures", "activeSignature", "activeParameter", "error",
                               "request_id", "workbook_id", "module_name"],
    "hover_request": ["type", "contents", "error", "request_id", "workbook_id", "module_name"],
    "diagnostic_request": ["type", "diagnostics", "error", "request_id", "workbook_id", "module_name"],
}
REPLY_TYPE = {"completion_request": "completion_response",
              "signature_help_request": "signature_help_response",
              "hover_request": "hover_response", "diagnostic_request": "diagnostic_response"}

# The first request of a kernel starts the analysis process and imports jedi.
TIMEOUT = 30

SCALE = '''\
def scale(value, factor=2, *, clamp=None):
    """Multiply a value.

    The result is clamped when a limit is given.

    Args:
        value: the number to scale
        factor: how much bigger
        clamp: the upper limit
    """
    return value * factor
'''


def ask(kernel, kind, code, line=None, column=None, timeout=TIMEOUT, **fields):
    """Send one language request; return its reply (after checking its type and key order)."""
    r = fields.pop("request_id", None) or rid("lsp")
    msg = {"type": kind, "request_id": r, "code": code, **fields}
    if line is not None:
        msg["line"] = line
    if column is not None:
        msg["column"] = column
    kernel.send(msg)
    reply = kernel.recv_until(lambda m: m.get("request_id") == r
                              and m.get("type") == REPLY_TYPE[kind], timeout)
    assert list(reply) == REPLY_KEYS[kind], reply
    return reply


def at_end(code):
    """(line, column) of the end of `code`: 1-based line, 0-based column."""
    lines = code.split("\n")
    return len(lines), len(lines[-1])


def complete(kernel, code, **fields):
    line, column = at_end(code)
    reply = ask(kernel, "completion_request", code, line, column, **fields)
    assert reply["error"] is None, reply
    return reply


def labels(reply):
    return [c["label"] for c in reply["completions"]]


def big_buffer(functions, tail):
    """An editor buffer that takes jedi a good while (~0.5 s per 2000 functions) to complete."""
    body = "\n".join(f"def filler_{i}(a, b):\n    v{i} = a + b\n    return v{i}\n"
                     for i in range(functions))
    return body + "\n" + tail


# ---------------------------------------------------------------------- completion

def test_completion_follows_the_in_memory_module_through_update_and_delete(kernel):
    send_module(kernel, "lang_geo", "def area_of(w, h):\n    return w * h\n\nUNIT_NAME = 'm2'\n")
    reply = complete(kernel, "import lang_geo\nlang_geo.ar")
    assert reply["completions"][0] == {"label": "area_of", "kind": "function", "detail": "def area_of",
                                       "insert_text": "area_of"}
    assert labels(complete(kernel, "import lang_geo\nlang_geo.UN")) == ["UNIT_NAME"]
    assert labels(complete(kernel, "from lang_geo import ar")) == ["area_of"]

    send_module(kernel, "lang_geo", "def area_total(parts):\n    return sum(parts)\n")
    assert labels(complete(kernel, "import lang_geo\nlang_geo.ar")) == ["area_total"]

    delete_module(kernel, "lang_geo")
    assert labels(complete(kernel, "import lang_geo\nlang_geo.ar")) == []
    assert "lang_geo" not in labels(complete(kernel, "import lang_g"))


def test_completion_of_names_in_the_buffer_and_a_module_class(kernel):
    send_module(kernel, "lang_shapes", """\
        class Box:
            def __init__(self, w):
                self.width = w

            def grow(self, by):
                return Box(self.width + by)
        """)
    reply = complete(kernel, "import lang_shapes\nb = lang_shapes.Box(2)\nb.")
    by_label = {c["label"]: c for c in reply["completions"]}
    assert by_label["grow"]["kind"] == "function"
    assert by_label["width"]["kind"] == "variable"
    reply = complete(kernel, "def local_helper():\n    pass\nlocal_h")
    assert labels(reply) == ["local_helper"]


def test_unsaved_buffer_of_a_module_wins_over_its_stored_source(kernel):
    send_module(kernel, "lang_draft", "def saved_name():\n    pass\n")
    code = "import lang_draft\nlang_draft."
    dirty = {"<virtual:lang_draft>": "def unsaved_name():\n    pass\n"}
    names = labels(complete(kernel, code, dirty_files=dirty))
    assert "unsaved_name" in names and "saved_name" not in names
    names = labels(complete(kernel, code, dirty_files=[{"path": "lang_draft.py",
                                                        "content": "def listed_name(): pass\n"}]))
    assert "listed_name" in names and "saved_name" not in names
    # The buffer counted for those requests only.
    names = labels(complete(kernel, code))
    assert "saved_name" in names and "unsaved_name" not in names


def test_completion_sees_python_paths(kernel, tmp_path):
    (tmp_path / "lang_extlib.py").write_text("def from_disk(x):\n    return x\n")
    code = "import lang_extlib\nlang_extlib.from_"
    assert labels(complete(kernel, code)) == []
    kernel.send({"type": "set_python_paths", "old_paths": [], "new_paths": [str(tmp_path)]})
    kernel.recv_until(lambda m: m.get("type") == "python_paths_updated", 5)
    try:
        assert labels(complete(kernel, code)) == ["from_disk"]
    finally:
        kernel.send({"type": "set_python_paths", "old_paths": [str(tmp_path)], "new_paths": []})
        kernel.recv_until(lambda m: m.get("type") == "python_paths_updated", 5)
    assert labels(complete(kernel, code)) == []


# ---------------------------------------------------------------------- signature help

def test_signature_help_inside_a_call_with_the_active_parameter(kernel):
    send_module(kernel, "lang_calc", SCALE)
    code = "import lang_calc\nlang_calc.scale(3, "
    line, column = at_end(code)
    reply = ask(kernel, "signature_help_request", code, line, column)
    assert reply["error"] is None, reply
    assert reply["activeSignature"] == 0 and reply["activeParameter"] == 1
    (sig,) = reply["signatures"]
    assert sig["label"] == "scale(value, factor=2, *, clamp=None)"
    assert sig["documentation"].startswith("Multiply a value.")
    assert [p["label"] for p in sig["parameters"]] == ["value", "factor=2", "clamp=None"]
    assert [p["documentation"] for p in sig["parameters"]] == [
        "the number to scale", "how much bigger", "the upper limit"]

    # Right after the bracket: the first parameter; a keyword argument: its own parameter.
    reply = ask(kernel, "signature_help_request", code, line, column - 3)
    assert reply["activeParameter"] == 0
    code = "import lang_calc\nlang_calc.scale(3, clamp="
    reply = ask(kernel, "signature_help_request", code, *at_end(code))
    assert reply["activeParameter"] == 2

    # Outside any call: nothing, and no error.
    reply = ask(kernel, "signature_help_request", "import lang_calc\nx = 1", 2, 5)
    assert reply["signatures"] == [] and reply["error"] is None


# ---------------------------------------------------------------------- hover

def _set_mode(kernel, mode=None):
    msg = {"type": "set_hover_mode"}
    if mode is not None:
        msg["mode"] = mode
    kernel.send(msg)
    return kernel.recv_until(lambda m: m.get("type") == "hover_mode_updated", TIMEOUT)


def test_hover_in_compact_and_full_mode(kernel):
    send_module(kernel, "lang_hover", SCALE)
    code = "import lang_hover\nlang_hover.scale(1)"
    try:
        assert _set_mode(kernel, "full") == {"type": "hover_mode_updated", "mode": "full",
                                             "workbook_id": "wb-shared"}
        full = ask(kernel, "hover_request", code, 2, 13)
        assert full["error"] is None, full
        assert full["contents"].startswith("```python\ndef scale(value, factor=2, *, clamp=None)\n```")
        assert "The result is clamped" in full["contents"]
        assert "Defined in `lang_hover`, line 1" in full["contents"]

        # Without a mode the mode is compact.
        assert _set_mode(kernel) == {"type": "hover_mode_updated", "mode": "compact",
                                     "workbook_id": "wb-shared"}
        compact = ask(kernel, "hover_request", code, 2, 13)
        assert compact["contents"] == ("```python\ndef scale(value, factor=2, *, clamp=None)\n```"
                                       "\n\nMultiply a value.")
        assert len(compact["contents"]) < len(full["contents"])
    finally:
        _set_mode(kernel, "compact")


def test_hover_of_a_variable_and_of_nothing(kernel):
    code = "count = 3\ncount"
    reply = ask(kernel, "hover_request", code, 2, 2)
    assert reply["contents"] == "```python\ncount: int\n```"
    reply = ask(kernel, "hover_request", "x = 1\n\n", 2, 0)
    assert reply["contents"] is None and reply["error"] is None


# ---------------------------------------------------------------------- diagnostics

def test_diagnostics_of_an_undefined_name_and_an_unused_import(kernel):
    code = "import os\n\ndef total():\n    return missing_name + 1\n"
    reply = ask(kernel, "diagnostic_request", code, module_name="lang_diag", workbook_id="wb-x")
    assert reply["error"] is None
    assert (reply["request_id"] is not None and reply["module_name"] == "lang_diag"
            and reply["workbook_id"] == "wb-x")
    assert reply["diagnostics"] == [
        {"line": 1, "column": 0, "end_line": 1, "end_column": 9, "severity": "warning",
         "message": "'os' imported but unused", "source": "pyflakes"},
        {"line": 4, "column": 11, "end_line": 4, "end_column": 23, "severity": "error",
         "message": "undefined name 'missing_name'", "source": "pyflakes"},
    ]
    # The bridge module is in every namespace without an import.
    assert ask(kernel, "diagnostic_request", "gridlet.excel\n")["diagnostics"] == []


def test_diagnostics_of_syntax_errors_with_their_position(kernel):
    (d,) = ask(kernel, "diagnostic_request", "x = 1\ndef f(:\n    pass\n")["diagnostics"]
    assert d == {"line": 2, "column": 6, "end_line": 2, "end_column": 7, "severity": "error",
                 "message": "SyntaxError: invalid syntax", "source": "python"}
    (d,) = ask(kernel, "diagnostic_request", "values = [1, 2,\nprint(values)\n")["diagnostics"]
    assert (d["line"], d["column"], d["severity"]) == (1, 9, "error")
    assert "'[' was never closed" in d["message"]
    # Found by the compiler after parsing.
    (d,) = ask(kernel, "diagnostic_request", "x = 1\nreturn x\n")["diagnostics"]
    assert (d["line"], d["column"], d["end_column"]) == (2, 0, 8)
    assert d["message"] == "SyntaxError: 'return' outside function"
    (d,) = ask(kernel, "diagnostic_request", "if 1 is 1:\n    pass\n")["diagnostics"]
    assert d["severity"] == "warning" and '"is" with a literal' in d["message"]


# ---------------------------------------------------------------------- defaults

def test_requests_with_only_code_take_the_defaults(kernel):
    kernel.send({"type": "completion_request", "code": "pri"})
    reply = kernel.recv_until(lambda m: m.get("type") == "completion_response", TIMEOUT)
    assert list(reply) == REPLY_KEYS["completion_request"]
    assert reply["error"] is None
    assert (reply["request_id"], reply["workbook_id"], reply["module_name"]) == (None, None, None)
    # Line 1, column 0: before the word, so every name is offered, not only those with "pri".
    assert {"abs", "print", "len"} <= set(labels(reply))

    kernel.send({"type": "signature_help_request", "code": "len("})
    reply = kernel.recv_until(lambda m: m.get("type") == "signature_help_response", TIMEOUT)
    assert reply == {"type": "signature_help_response", "signatures": [], "activeSignature": 0,
                     "activeParameter": 0, "error": None, "request_id": None, "workbook_id": None,
                     "module_name": None}

    kernel.send({"type": "hover_request"})
    reply = kernel.recv_until(lambda m: m.get("type") == "hover_response", TIMEOUT)
    assert reply == {"type": "hover_response", "contents": None, "error": None, "request_id": None,
                     "workbook_id": None, "module_name": None}

    kernel.send({"type": "diagnostic_request"})
    reply = kernel.recv_until(lambda m: m.get("type") == "diagnostic_response", TIMEOUT)
    assert reply == {"type": "diagnostic_response", "diagnostics": [], "error": None,
                     "request_id": None, "workbook_id": None, "module_name": None}


def test_replies_echo_request_fields(kernel):
    reply = ask(kernel, "hover_request", "len", 1, 1, request_id="h-echo", workbook_id="wb-other",
                module_name="lang_any", path="lang_any.py")
    assert (reply["request_id"], reply["workbook_id"], reply["module_name"]) == (
        "h-echo", "wb-other", "lang_any")
    assert reply["contents"].startswith("```python\ndef len(")


# ---------------------------------------------------------------------- no execution

def test_module_whose_top_level_prints_and_raises_is_only_read(kernel, tmp_path):
    marker = tmp_path / "ran.txt"
    send_module(kernel, "lang_noisy", f"""\
        import pathlib
        pathlib.Path({str(marker)!r}).write_text("ran")
        print("NOISY TOP LEVEL")

        def quiet_function(x):
            '''Still here.'''
            return x

        raise RuntimeError("noisy top level")
        """)
    seen = len(kernel.all_messages)
    assert labels(complete(kernel, "import lang_noisy\nlang_noisy.qu")) == ["quiet_function"]
    code = "import lang_noisy\nlang_noisy.quiet_function("
    reply = ask(kernel, "signature_help_request", code, *at_end(code))
    assert reply["signatures"][0]["label"] == "quiet_function(x)"
    reply = ask(kernel, "hover_request", code, 2, 14)
    assert reply["error"] is None and "Still here." in reply["contents"]
    kernel.ping()
    later = kernel.all_messages[seen:]
    assert not [m for m in later if m["type"] in ("stdout", "stderr", "error", "execution_error")], later
    assert not marker.exists()
    assert kernel.evaluate("import sys; 'lang_noisy' in sys.modules") is False


# ---------------------------------------------------------------------- failures

def test_bridge_failures_are_answered_with_error(kernel):
    reply = ask(kernel, "completion_request", "x = 1\n", 500, 0, request_id="far")
    assert reply["completions"] == [] and reply["request_id"] == "far"
    assert reply["error"] == "line 500 is outside the code (lines 1 to 2)"
    reply = ask(kernel, "signature_help_request", "len(", "two", 0)
    assert reply["signatures"] == [] and reply["error"] == "line must be an integer, not str"
    reply = ask(kernel, "hover_request", "x = 1", 1, 99)
    assert reply["contents"] is None and "column" in reply["error"]
    reply = ask(kernel, "completion_request", "x", 1, 1, dirty_files="not files")
    assert reply["error"].startswith("dirty_files must be")
    kernel.ping()
    # The next request is served normally.
    assert "print" in labels(complete(kernel, "prin"))


BAD_FIELDS = [
    ("completion_request", {"code": 5}, "code must be a string, not int"),
    ("signature_help_request", {"code": ["len("]}, "code must be a string, not list"),
    ("hover_request", {"code": {"x": 1}}, "code must be a string, not dict"),
    ("diagnostic_request", {"code": 7.5}, "code must be a string, not float"),
    ("diagnostic_request", {"code": "x = 1\n", "module_name": 3}, "module_name must be a string, not int"),
    ("completion_request", {"line": "1"}, "line must be an integer, not str"),
    ("hover_request", {"line": True}, "line must be an integer, not bool"),
    ("signature_help_request", {"column": [0]}, "column must be an integer, not list"),
    ("completion_request", {"path": 12}, "path must be a string, not int"),
    ("completion_request", {"dirty_files": [["m.py", "x = 1"]]},
     "dirty_files entries must be objects with path and content"),
    ("hover_request", {"dirty_files": {"m.py": 1}},
     "dirty_files needs a text path and a text content for every file"),
    ("completion_request", {"dirty_files": 5},
     "dirty_files must be a mapping path -> content or a list of {path, content}, not int"),
]


@pytest.mark.parametrize("kind,fields,error", BAD_FIELDS,
                         ids=[f"{k.split('_')[0]}-{next(iter(f)) if len(f) == 1 else 'module_name'}-{i}"
                              for i, (k, f, _) in enumerate(BAD_FIELDS)])
def test_fields_of_the_wrong_type_are_answered_in_the_request_kind(kernel, kind, fields, error):
    r = rid("badlsp")
    msg = {"type": kind, "request_id": r, "code": "x = 1\n", "workbook_id": "wb-lsp", **fields}
    kernel.send(msg)
    reply = kernel.recv_until(lambda m: m.get("request_id") == r, TIMEOUT)
    assert reply["type"] == REPLY_TYPE[kind] and list(reply) == REPLY_KEYS[kind], reply
    assert reply["error"] == error and reply["workbook_id"] == "wb-lsp"
    empty = {"contents": None} if kind == "hover_request" else {REPLY_KEYS[kind][1]: []}
    assert {k: reply[k] for k in empty} == empty
    kernel.ping()
    assert not [m for m in kernel.all_messages if m.get("type") == "error" and m.get("request_id") == r]


# ---------------------------------------------------------------------- concurrency

def test_sys_response_is_delivered_while_a_long_completion_runs(kernel):
    r = rid("sys")
    kernel.send({"type": "execution_request", "request_id": r, "function_name": "ask",
                 "code": "gridlet.messaging.send_request_sync({'tag': 'during-lsp'}, timeout=20)"})
    sreq = kernel.recv_until(lambda m: m.get("type") == "sys_request"
                             and m.get("payload", {}).get("tag") == "during-lsp", 5)
    code = big_buffer(3000, "filler_")
    c = rid("long")
    kernel.send({"type": "completion_request", "request_id": c, "code": code,
                 "line": code.count("\n") + 1, "column": 7, "path": "lang_long.py"})
    kernel.send({"type": "sys_response", "payload": {"requestId": sreq["payload"]["requestId"],
                                                     "value": "answered"}})
    first = kernel.recv_until(lambda m: m.get("request_id") in (r, c)
                              and m.get("type") in ("execution_result", "completion_response"), TIMEOUT)
    assert first["type"] == "execution_result", "the sys_response waited for the completion"
    assert first["result"]["value"] == "answered"
    done = kernel.recv_until(lambda m: m.get("request_id") == c, TIMEOUT)
    assert done["error"] is None and len(done["completions"]) == 3000


def test_each_request_sees_the_sources_of_its_arrival_and_replies_keep_order(kernel):
    send_module(kernel, "lang_ver", "def version_one():\n    pass\n")
    slow = big_buffer(2000, "import lang_ver\nlang_ver.vers")
    first, second, third = rid("v1"), rid("v2"), rid("diag")
    kernel.send({"type": "completion_request", "request_id": first, "code": slow,
                 "line": slow.count("\n") + 1, "column": 13, "path": "lang_order.py"})
    # Arrives while the first request is still being analysed.
    send_module(kernel, "lang_ver", "def version_two():\n    pass\n")
    kernel.send({"type": "completion_request", "request_id": second,
                 "code": "import lang_ver\nlang_ver.vers", "line": 2, "column": 13})
    kernel.send({"type": "diagnostic_request", "request_id": third, "code": "undefined_one\n"})
    replies = [kernel.recv_until(lambda m: m.get("request_id") in (first, second, third), TIMEOUT)
               for _ in range(3)]
    assert [m["request_id"] for m in replies] == [first, second, third]
    assert labels(replies[0]) == ["version_one"]
    assert labels(replies[1]) == ["version_two"]
    assert replies[2]["diagnostics"][0]["message"] == "undefined name 'undefined_one'"
