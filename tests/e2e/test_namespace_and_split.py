"""execution_request: the one `__main__` namespace, and where a code string is cut at "; "."""

import math

import pytest

FRESH_NAMES = ["__builtins__", "gridlet", "excel", "context", "__name__"]


def _ok(msgs):
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    return msgs


def _stdout(msgs):
    return "".join(m["content"] for m in msgs if m["type"] == "stdout")


def _reset(kernel):
    kernel.drain()
    kernel.send({"type": "reset_namespace"})
    kernel.recv_until(lambda m: m.get("type") == "namespace_reset")


# ----------------------------------------------------------------- one namespace


def test_functions_and_classes_see_names_and_imports_made_at_the_prompt(kernel):
    _ok(kernel.execute("import math"))
    _ok(kernel.execute("def f():\n    return math.pi"))
    assert _ok(kernel.execute("f()"))[-1]["result"] == repr(math.pi)
    _ok(kernel.execute("ns_scale = 3"))
    _ok(kernel.execute("class NsBox:\n    def scaled(self, v):\n        return v * ns_scale"))
    assert kernel.evaluate("NsBox().scaled(2)") == 6
    assert kernel.evaluate("[ns_scale * k for k in range(3)]") == [0, 3, 6]


def test_the_namespace_is_the_main_module(kernel):
    assert kernel.evaluate(
        "import sys, __main__; (globals() is locals(), sys.modules['__main__'].__dict__ is "
        "globals(), __main__.__dict__ is globals(), __name__)") == [True, True, True, "__main__"]
    _ok(kernel.execute("def ns_named():\n    pass\nclass NsNamed:\n    pass"))
    assert kernel.evaluate("(ns_named.__module__, NsNamed.__module__, NsNamed.__qualname__)") == [
        "__main__", "__main__", "NsNamed"]
    assert kernel.evaluate("__import__('__main__').ns_named is ns_named") is True


def test_prompt_definitions_pickle_by_reference(kernel):
    _ok(kernel.execute("import pickle\n"
                       "def ns_double(x):\n    return 2 * x\n"
                       "class NsPoint:\n    def __init__(self, x):\n        self.x = x"))
    assert kernel.evaluate("pickle.loads(pickle.dumps(ns_double)) is ns_double") is True
    assert kernel.evaluate("pickle.loads(pickle.dumps(NsPoint(4))).x") == 4
    assert kernel.evaluate("b'__main__' in pickle.dumps(ns_double)") is True


def test_multiprocessing_pool_maps_a_function_defined_at_the_prompt(kernel):
    _ok(kernel.execute("import multiprocessing\ndef sq(x):\n    return x * x"))
    msgs = kernel.execute("with multiprocessing.Pool(2) as ns_pool:\n"
                          "    ns_squares = ns_pool.map_async(sq, range(5)).get(timeout=30)",
                          timeout=40)
    _ok(msgs)
    assert kernel.evaluate("ns_squares") == [0, 1, 4, 9, 16]


def test_tools_that_look_in_main_find_prompt_definitions(kernel):
    _ok(kernel.execute("import doctest, unittest\nns_base = 1\n"
                       "def ns_documented():\n    \"\"\"\n    >>> ns_base + 1\n    2\n    \"\"\"\n"
                       "class NsTest(unittest.TestCase):\n"
                       "    def test_base(self):\n        self.assertEqual(ns_base, 1)"))
    assert kernel.evaluate("tuple(doctest.testmod())") == [0, 1]
    msgs = _ok(kernel.execute("ns_run = unittest.main(exit=False).result; "
                              "(ns_run.testsRun, len(ns_run.failures), len(ns_run.errors))",
                              function_name="unittest"))
    assert msgs[-1]["result"] == [1, 0, 0]
    # What the standard library reads off __main__ is there, as at an interactive prompt, so
    # the spawn start method works for what it can import.
    assert kernel.evaluate("import sys; [getattr(sys.modules['__main__'], a) for a in "
                           "('__spec__', '__loader__', '__package__', '__doc__')]") == [None] * 4
    msgs = _ok(kernel.execute(
        "import multiprocessing\n"
        "with multiprocessing.get_context('spawn').Pool(1) as ns_spawned:\n"
        "    ns_abs = ns_spawned.map_async(abs, [-1, 2]).get(timeout=50)", timeout=60))
    assert kernel.evaluate("ns_abs") == [1, 2]


def test_fresh_and_reset_namespaces_hold_the_same_five_names(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-ns")
    assert bl.evaluate("list(globals())") == FRESH_NAMES
    assert bl.evaluate("(__name__, __builtins__ is __import__('builtins'), gridlet.__name__, "
                       "excel is gridlet.excel, context is gridlet.context)") == [
        "__main__", True, "gridlet", True, True]

    # A function kept from before the reset keeps working with the names it was defined with.
    _ok(bl.execute("import json\nns_kept = 5\ndef ns_before():\n    return json.dumps(ns_kept)\n"
                   "gridlet._ns_before = ns_before"))
    _reset(bl)
    assert bl.evaluate("list(globals())") == FRESH_NAMES
    for name in ("ns_kept", "json", "ns_before"):
        msgs = bl.execute(name)
        assert msgs[-1]["type"] == "execution_error" and msgs[-1]["error"]["type"] == "NameError"
    assert bl.evaluate("gridlet._ns_before()") == "5"
    assert bl.evaluate("import sys; (sys.modules['__main__'].__dict__ is globals(), __name__)"
                       ) == [True, "__main__"]
    _ok(bl.execute("import pickle\ndef ns_after(x):\n    return x + 1"))
    assert bl.evaluate("pickle.loads(pickle.dumps(ns_after))(1)") == 2
    kernel_factory.finish(bl)


# ----------------------------------------------------------------- statement split


def test_separators_inside_strings_comments_and_brackets_are_not_cut(kernel):
    _ok(kernel.execute('s = "a; b"'))
    assert kernel.evaluate("s") == "a; b"
    assert _ok(kernel.execute('s = "a; b"; s'))[-1]["result"] == "'a; b'"
    _ok(kernel.execute("ns_comment = 1  # one; two"))
    assert kernel.evaluate("ns_comment") == 1
    _ok(kernel.execute('ns_joined = "; ".join(["x", "y"])'))
    assert kernel.evaluate("ns_joined") == "x; y"
    assert kernel.evaluate('ns_map = {"k": "; ",\n    "j": [1, 2]}; ns_map["k"]') == "; "
    assert kernel.evaluate('ns_multi = """one; two"""; ns_multi') == "one; two"


def test_calls_with_a_separator_argument(kernel):
    assert kernel.evaluate('ns_parts = "x; y; z".split(sep="; "); ns_parts') == ["x", "y", "z"]
    assert kernel.evaluate('import io; "p; q".split(sep="; ")') == ["p", "q"]
    _ok(kernel.execute("import io\nimport pandas as pd\npath = io.StringIO('a; b\\n1; 2\\n3; 4')",
                       timeout=60))
    _ok(kernel.execute('df = pd.read_csv(path, sep="; ", engine="python")'))
    assert kernel.evaluate("(list(df.columns), df['b'].tolist())") == [["a", "b"], [2, 4]]


def test_bodies_of_compound_statements_run_whole(kernel):
    msgs = _ok(kernel.execute('for i in range(2): print(i); print("again")'))
    assert _stdout(msgs) == "0\nagain\n1\nagain\n"
    msgs = _ok(kernel.execute('if False: print("a"); print("b")'))
    assert _stdout(msgs) == ""
    msgs = _ok(kernel.execute('ns_w = 2\nwhile ns_w: ns_w -= 1; print("w")'))
    assert _stdout(msgs) == "w\nw\n"
    _ok(kernel.execute("def ns_body(): ns_t = 7; return ns_t"))
    assert kernel.evaluate("ns_body()") == 7
    _ok(kernel.execute("class NsC: ns_a = 1; ns_b = ns_a + 1"))
    assert kernel.evaluate("NsC.ns_b") == 2


def test_sound_parts_of_the_split_are_kept(kernel):
    assert _ok(kernel.execute("import math; math.sqrt(16)"))[-1]["result"] == "4.0"
    assert _ok(kernel.execute("x = 5; x"))[-1]["result"] == "5"
    msgs = _ok(kernel.execute("a = 1; b = 2; c = 3"))
    assert msgs[-1]["result"] is None
    assert kernel.evaluate("(a, b, c)") == [1, 2, 3]
    _ok(kernel.execute("gridlet._ns_runs = 0"))
    msgs = _ok(kernel.execute("gridlet._ns_runs += 1; "))
    assert msgs[-1]["result"] is None and kernel.evaluate("gridlet._ns_runs") == 1
    # No "; " (semicolon and space): one block of statements, no value.
    msgs = _ok(kernel.execute("ns_p = 1;ns_p"))
    assert msgs[-1]["result"] is None
    # A value ending in ";" is not an expression, so nothing is returned.
    assert _ok(kernel.execute("ns_p = 2; ns_p;"))[-1]["result"] is None


def test_the_first_separator_between_statements_is_used(kernel):
    assert kernel.evaluate('ns_s = "1; 2"; ns_t = "3; 4"; ns_s + ns_t') is None
    assert kernel.evaluate("ns_s + ns_t") == "1; 23; 4"
    assert kernel.evaluate("ns_u = 1;  ns_u + 1") == 2
    assert kernel.evaluate("ns_v = 1 \\\n; ns_v + 2") == 3
    assert kernel.evaluate("ns_w = 4; # four\nns_w") == 4
    assert kernel.evaluate("ns_e = 'é😀'; ns_e + '; ' + ns_e") == "é😀; é😀"


def test_errors_after_a_separator_keep_python_s_meaning(kernel):
    # Line numbers in the part after the separator are those of the whole code.
    msgs = kernel.execute("ns_l = 1; ns_l += 1\nns_l += 1\nraise ValueError(ns_l)")
    assert msgs[-1]["error"]["type"] == "ValueError" and msgs[-1]["error"]["message"] == "3"
    assert 'File "<string>", line 3' in msgs[-1]["error"]["traceback"]
    # Code that Python refuses as a whole runs no part of it.
    for code in ("ns_r = 1; return 5", "ns_r = 1; from __future__ import annotations",
                 "ns_r = 1; if ns_r: print(ns_r)"):
        msgs = kernel.execute(code)
        assert msgs[-1]["type"] == "execution_error" and msgs[-1]["error"]["type"] == "SyntaxError"
        assert _stdout(msgs) == ""
    msgs = kernel.execute("ns_r")
    assert msgs[-1]["error"]["type"] == "NameError"
    # A __future__ import before the separator holds after it.
    assert kernel.evaluate("from __future__ import annotations; ns_ann: NoSuchType = 1; "
                           "__annotations__['ns_ann']") is None
    assert kernel.evaluate("__annotations__['ns_ann']") == "NoSuchType"
    # An evaluated part that raises SyntaxError while running is not run a second time.
    _ok(kernel.execute("gridlet._ns_calls = []"))
    msgs = kernel.execute("import sys; gridlet._ns_calls.append(1) or eval('(')")
    assert msgs[-1]["type"] == "execution_error" and msgs[-1]["error"]["type"] == "SyntaxError"
    assert kernel.evaluate("gridlet._ns_calls") == [1]


@pytest.mark.parametrize("code", ["ns_z = 1; def f(:", "def f(:; x", "'''; ", "ns_z = (1; 2)"])
def test_code_that_does_not_parse_reports_a_syntax_error(kernel, code):
    msgs = kernel.execute(code)
    assert msgs[-1]["type"] == "execution_error" and msgs[-1]["error"]["type"] == "SyntaxError"
    assert kernel.execute("ns_z")[-1]["error"]["type"] == "NameError"


def test_split_results_hold_while_the_compiled_code_cache_fills_and_empties(kernel):
    # More distinct sources than the kernel keeps compiled, each run twice.
    codes = [f"ns_c{i} = {i}; ns_c{i} * 2" for i in range(700)]
    ids = []
    for code in codes + codes:
        r = f"cache-{len(ids)}"
        ids.append(r)
        kernel.send({"type": "execution_request", "request_id": r, "code": code,
                     "function_name": "cache"})
    results = [kernel.collect_for(r, timeout=30)[-1] for r in ids]
    assert [m.get("result") for m in results] == [2 * i for i in range(700)] * 2
