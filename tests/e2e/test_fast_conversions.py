"""Results and arguments converted by the kernel's C++ walk give exactly what the bridge's Python
Serializer and repr() give: the same result text byte for byte (checked against the same call
made through a Serializer whose to_wire is not the stock one, which takes the Python path), the
same `result_output` text as repr() in this interpreter, the same argument values, and the same
errors."""

import json
import math
import os
import sys

import pytest

from calls import call_function, once_per_kernel, send_module
from conftest import rid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
from gridlet.serializer import Serializer  # noqa: E402  (the stock conversion, run here as the oracle)

# Builds the values; run both in the kernel (as a workbook module) and here.
VALUES = r'''
import random, struct, datetime, math

EDGE_FLOATS = [0.0, -0.0, 1.0, -1.5, 0.1, 0.1 + 0.2, 1e16, 1e15, 9999999999999998.0, 1e-4, 1e-5,
               0.0001234, 123456789.123, 5e-324, -5e-324, 2.2250738585072014e-308,
               2.225073858507201e-308, 1.7976931348623157e308, 1e22, 1e23, 2 ** 53 + 0.0,
               float(2 ** 63), 1 / 3, 2 / 3, 100.0, 1e100, 1.5e-300, float("inf"), float("-inf"),
               float("nan")]
EDGE_INTS = [0, 1, -1, 2 ** 31, 2 ** 53 + 1, 2 ** 63 - 1, 2 ** 63, -2 ** 63, -2 ** 63 - 1, 2 ** 64,
             2 ** 64 - 1, 10 ** 30, -10 ** 40, True, False]
STRINGS = ["", "plain", "it's", 'say "hi"', "both ' and \"", "back\\slash", "tab\tnew\nline\rcr",
           "\x00\x01\x1f\x7f", "\x80\x85\x9f\xa0\xad\xff", "caf\u00e9 \u00fc\u00df", "\u2028\u2029\u200b",
           "\ufeff\ufffd\uffff", "\u4e2d\u6587", "\U0001F600 \U0001F4A9", "\U000E0001\U0010FFFF",
           "lone \ud800 high", "lone \udfff low", "\udc80", "a\u0301", "\u0378\u05ff"]

def rand_float(rng):
    pick = rng.random()
    if pick < 0.3:
        return rng.choice(EDGE_FLOATS)
    if pick < 0.6:
        return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
    if pick < 0.8:
        return rng.uniform(-1e6, 1e6)
    return rng.randint(-10 ** 6, 10 ** 6) / 7 * 10 ** rng.randint(-30, 30)

def rand_scalar(rng):
    pick = rng.random()
    if pick < 0.4:
        return rand_float(rng)
    if pick < 0.6:
        return rng.choice(EDGE_INTS + [rng.randint(-2 ** 80, 2 ** 80)])
    if pick < 0.85:
        return rng.choice(STRINGS)
    return rng.choice([None, True, False])

def rand_value(rng, depth=0):
    pick = rng.random()
    if depth > 4 or pick < 0.45:
        return rand_scalar(rng)
    n = rng.randint(0, 6)
    if pick < 0.7:
        return [rand_value(rng, depth + 1) for _ in range(n)]
    if pick < 0.85:
        return tuple(rand_value(rng, depth + 1) for _ in range(n))
    return {rng.choice(STRINGS) + str(i): rand_value(rng, depth + 1) for i in range(n)}

def random_case(seed):
    rng = random.Random(seed)
    return [rand_value(rng) for _ in range(8)]

def numpy_case(name):
    import numpy as np
    grid = np.arange(24).reshape(4, 6)
    cases = {
        "float64": (grid / 7) * np.where(grid % 5 == 0, np.nan, 1.0),
        "float32": (grid / 7).astype(np.float32),
        "float32_edges": np.array([1e-45, 3.4028235e38, 0.1, -0.0, np.inf, np.nan], dtype=np.float32),
        "ints": [np.array([-128, 0, 127], np.int8), np.array([0, 255], np.uint8), np.array([-32768, 32767], np.int16),
                 np.array([65535], np.uint16), np.array([-2 ** 31, 2 ** 31 - 1], np.int32), np.array([2 ** 32 - 1], np.uint32),
                 np.array([-2 ** 63, 2 ** 63 - 1], np.int64), np.array([2 ** 64 - 1, 2 ** 63], np.uint64)],
        "bool": grid % 3 == 0,
        "slices": [grid[::2, ::3], grid.T, (grid / 3)[:, 1], grid[::-1, 1:4], np.asfortranarray(grid / 2)],
        "empty": [np.zeros((0,)), np.zeros((3, 0)), np.zeros((0, 2), dtype=np.int32)],
        "nested_0d": [np.array(2.5), np.array(7), np.array(True)],
        "scalars": [np.float64(0.1), np.float32(0.1), np.int64(2 ** 62), np.uint64(2 ** 64 - 1), np.bool_(True),
                    np.float64("nan"), np.int8(-5)],
        "other_dtypes": [np.array(["a", "bc"]), np.array([1, "x", None], dtype=object),
                         np.array(["2024-01-02"], dtype="datetime64[D]"), np.array([1.5], dtype=np.float16),
                         np.array([1 + 2j]).real, np.array([1, 2], dtype=">i4")],
        "3d": np.arange(2 * 3 * 4, dtype=np.int16).reshape(2, 3, 4),
    }
    return cases[name]

def pandas_case(name):
    import numpy as np, pandas as pd
    frame = pd.DataFrame({"x": [1.5, np.nan, -0.0, 1e16], "n": [1, 2, 3, 2 ** 40], "b": [True, False, True, False],
                          "s": ["a", None, "it's", "\u00e9"], "m": [1, "two", 3.5, None]})
    cases = {
        "frame": frame,
        "frame_dates": pd.DataFrame({"d": pd.to_datetime(["2024-01-02", "2024-03-04"]), "v": [1.0, float("nan")]}),
        "frame_int_columns": pd.DataFrame(np.arange(6.0).reshape(2, 3) / 3, columns=[10, 20, 30]),
        "frame_nullable": pd.DataFrame({"i": pd.array([1, 2, 3], dtype="Int64"), "c": pd.Categorical(["a", "b", "a"])}),
        "frame_sliced": frame.iloc[::2, :3],
        "frame_empty": pd.DataFrame(),
        "frame_no_columns": pd.DataFrame(index=[1, 2]),
        "series": pd.Series([1.5, np.nan, 3.0, 1e-5]),
        "series_ints": pd.Series([1, 2, 2 ** 62]),
        "series_mixed": pd.Series(["a", 1, None, 2.5]),
        "series_dates": pd.Series(pd.to_datetime(["2024-01-02"])),
        "in_list": [pd.Series([1.0, 2.0]), frame, {"f": frame.head(1)}],
    }
    return cases[name]

def float_case(seed):
    rng = random.Random(seed)
    bits = [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(20000)]
    subnormal = [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(52)))[0] for _ in range(2000)]
    decimal = [float(f"{rng.randint(1, 999999)}e{rng.randint(-25, 25)}") for _ in range(5000)]
    tens = [10.0 ** k for k in range(-330, 309)] + [-(10.0 ** k) * 1.5 for k in range(-20, 20)]
    steps = [1e16 * (1 + k * 1e-16) for k in range(-3, 4)] + [1e-5 * (1 + k * 1e-16) for k in range(-3, 4)]
    return EDGE_FLOATS + bits + subnormal + decimal + tens + steps

def plain_value(rng, depth=0):
    # Only lists, tuples, floats, ints, bools, None and str: what the joint walk writes itself.
    pick = rng.random()
    if depth > 4 or pick < 0.5:
        return rng.choice([rand_float(rng), rand_float(rng), rng.choice(EDGE_INTS), rng.randint(-2 ** 80, 2 ** 80),
                           None, rng.choice(STRINGS)])
    items = [plain_value(rng, depth + 1) for _ in range(rng.choice([0, 1, 1, 2, 4]))]
    return items if pick < 0.8 else tuple(items)

def plain_case(seed):
    rng = random.Random(seed)
    return [plain_value(rng) for _ in range(10)]

def table_case():
    header = ["name", "it's", 'say "x"', "\u00e9t\u00e9"]
    rows = [[(r * 1000 + c) / 7 for c in range(40)] for r in range(30)]
    edges = [EDGE_FLOATS, tuple(EDGE_FLOATS), [(f,) for f in EDGE_FLOATS], EDGE_INTS, [(), [], ((),), [[]]]]
    return [header] + rows + edges

class _Half(float):
    pass

class _Shown(list):
    def __repr__(self):
        return "Shown!"

def fallback_case(name):
    rows = [[(r * 10 + c) / 7 for c in range(10)] for r in range(10)]
    cases = {
        "dict_last": rows + [{"k": [1.5, (2.5,)]}],
        "date_inside": rows + [[1.0, datetime.date(2024, 1, 2)]],
        "float_subclass": rows + [[_Half(0.5), 1.5]],
        "list_subclass": [_Shown([1.0, 2.0]), [3.0]],
        "bytes": [[1.0, b"x"]],
        "self": None,
    }
    if name == "self":
        v = [1.5, (2.5,)]
        v.append([v, 3.5])
        return v
    return cases[name]

TEXTS = {
    "empty": "", "plain": "plain text 123 !#$%&()*+,-./:;<=>?@[]^_`{|}~", "single": "it's", "double": 'say "hi"',
    "both": "both ' and \"", "backslash": "back\\slash", "control": "tab\tnl\n\x00\x1f", "delete": "del\x7f",
    "latin": "caf\u00e9", "wide": "\u4e2d\U0001F600", "surrogate": "lone \ud800 high",
    "long_plain": "abc'xyz " * 40000, "long_quoted": ('q"' * 40000),
}

class _Text(str):
    def __repr__(self):
        return "Text!"

def text_case(name):
    if name == "subclass":
        return _Text("plain")
    return TEXTS[name]

def dated_case():
    return [datetime.date(2024, 1, 2), {"when": datetime.datetime(2024, 1, 2, 3, 4, 5)}, (datetime.date(1999, 12, 31),)]
'''

MODULE = VALUES + r'''
import gridlet
_STOCK = gridlet.Serializer

class _PythonPath(_STOCK):
    # Not the stock to_wire (no marker), so the kernel converts through Python.
    to_wire = staticmethod(lambda value: _STOCK.to_wire(value))

def _pick(slow):
    gridlet.Serializer = _PythonPath if slow else _STOCK

def produce(kind, arg, slow):
    _pick(slow)
    if kind == "random":
        return random_case(arg)
    if kind == "numpy":
        return numpy_case(arg)
    if kind == "pandas":
        return pandas_case(arg)
    if kind == "dated":
        return dated_case()
    if kind == "plain":
        return plain_case(arg)
    if kind == "table":
        return table_case()
    if kind == "fallback":
        return fallback_case(arg)
    if kind == "text":
        return text_case(arg)
    if kind == "floats":
        return float_case(arg)
    if kind == "bad_key":
        return [1, {"ok": [2, {"x": 1, 3: "three"}]}]
    if kind == "unsendable":
        return [[1.0, 2.0], [3.0, {1, 2}]]
    if kind == "deep":
        v = [1.5]
        for _ in range(arg):
            v = [v]
        return v
    if kind == "self":
        v = [1]
        v.append(v)
        return v
    raise ValueError(kind)

def describe(*args):
    _pick(False)
    return [[type(a).__name__, repr(a)] for a in args]
'''

ns = {}
exec(VALUES, ns)


def _case(kind, arg):
    if kind == "random":
        return ns["random_case"](arg)
    if kind == "numpy":
        return ns["numpy_case"](arg)
    if kind == "pandas":
        return ns["pandas_case"](arg)
    if kind == "floats":
        return ns["float_case"](arg)
    if kind in ("plain", "table", "fallback", "text"):
        return ns[kind + "_case"](*(() if kind == "table" else (arg,)))
    return ns["dated_case"]()


@pytest.fixture(autouse=True)
def _modules(kernel):
    once_per_kernel(kernel, "fastconv", lambda bl: send_module(bl, "fastconv", MODULE))


def _text(env):
    """The message's JSON text as the kernel wrote it (chunk pieces joined)."""
    if len(env.frames) == 1:
        return env.frames[0]
    return "".join(json.loads(f)["data"] for f in env.frames)


def _call(kernel, kind, arg, slow):
    r = rid("fc")
    kernel.send({"type": "custom_function_call", "module_name": "fastconv", "function_name": "produce",
                 "args": [kind, arg, slow], "request_id": r})
    envs = kernel.collect_for(r, "function_execution_result", timeout=30, with_frames=True)
    return {e.msg["type"]: _text(e).replace(r, "RID") for e in envs}, {e.msg["type"]: e.msg for e in envs}


def _plain(wire):
    """A wire value as it reads back from the kernel's JSON (inf and NaN are null there)."""
    if isinstance(wire, float) and not math.isfinite(wire):
        return None
    if isinstance(wire, list):
        return [_plain(v) for v in wire]
    if isinstance(wire, dict):
        return {k: _plain(v) for k, v in wire.items()}
    return wire


def _same_as_python_path(kernel, kind, arg):
    fast_text, fast = _call(kernel, kind, arg, False)
    slow_text, _ = _call(kernel, kind, arg, True)
    assert fast["function_execution_result"]["status"] == "success", fast["function_execution_result"]
    # Byte for byte what the Python path writes, in every reply that carries the result.
    assert fast_text == slow_text
    value = _case(kind, arg)
    assert fast["result_output"]["content"] == "Out: " + repr(value) + "\n"
    assert fast["execution_result"]["result"] == _plain(Serializer.to_wire(value))


@pytest.mark.parametrize("seed", range(12))
def test_random_nested_values_match_the_python_path(kernel, seed):
    _same_as_python_path(kernel, "random", seed)


@pytest.mark.parametrize("name", ["float64", "float32", "float32_edges", "ints", "bool", "slices", "empty",
                                  "nested_0d", "scalars", "other_dtypes", "3d"])
def test_numpy_arrays_and_scalars_match_the_python_path(kernel, name):
    pytest.importorskip("numpy")
    _same_as_python_path(kernel, "numpy", name)


@pytest.mark.parametrize("name", ["frame", "frame_dates", "frame_int_columns", "frame_nullable", "frame_sliced",
                                  "frame_empty", "frame_no_columns", "series", "series_ints", "series_mixed",
                                  "series_dates", "in_list"])
def test_pandas_frames_and_series_match_the_python_path(kernel, name):
    pytest.importorskip("pandas")
    _same_as_python_path(kernel, "pandas", name)


@pytest.mark.parametrize("seed", range(8))
def test_plain_values_written_in_one_walk_match_the_python_path(kernel, seed):
    # Lists and tuples of numbers, str, bools and None: both texts from one walk.
    _same_as_python_path(kernel, "plain", seed)


def test_a_table_with_a_header_and_repr_edges_matches_the_python_path(kernel):
    _same_as_python_path(kernel, "table", 0)


@pytest.mark.parametrize("name", ["dict_last", "date_inside", "float_subclass", "list_subclass", "bytes", "self"])
def test_values_the_joint_walk_gives_up_on_match_the_python_path(kernel, name):
    if name in ("bytes", "self"):
        # Not sendable (bytes) or nested in itself: the same error from both paths.
        fast_text, fast = _call(kernel, "fallback", name, False)
        slow_text, slow = _call(kernel, "fallback", name, True)
        assert fast["function_execution_result"]["status"] == "error"
        # (the Python path's traceback has the test's own to_wire frame in addition, which moves
        # where the recursion limit is met)
        last = [m["function_execution_result"]["error"].strip().splitlines()[-1] for m in (fast, slow)]
        expected = "TypeError: Object of type bytes" if name == "bytes" else "RecursionError: maximum recursion"
        assert last[0].startswith(expected) and last[1].startswith(expected), last
        return
    _same_as_python_path(kernel, "fallback", name)


@pytest.mark.parametrize("name", ["empty", "plain", "single", "double", "both", "backslash", "control", "delete",
                                  "latin", "wide", "surrogate", "long_plain", "long_quoted", "subclass"])
def test_str_results_match_the_python_path(kernel, name):
    # A plain printable ASCII str is written from its own buffer; every other str is escaped.
    _same_as_python_path(kernel, "text", name)


def test_dates_inside_containers_take_the_stock_conversion(kernel):
    _same_as_python_path(kernel, "dated", 0)


def test_float_reprs_match_python_repr(kernel):
    # Every edge of the shortest form and thousands of random bit patterns (subnormals included).
    _same_as_python_path(kernel, "floats", 7)


def _error_tail(kernel, kind, arg):
    _, msgs = _call(kernel, kind, arg, False)
    final = msgs["function_execution_result"]
    assert final["status"] == "error", final
    return final


def test_errors_are_the_python_paths_errors(kernel):
    # The fast walk gives up and the stock Python conversion raises, with its own traceback.
    try:
        Serializer.to_wire([1, {"ok": [2, {"x": 1, 3: "three"}]}])
    except TypeError as e:
        expected = f"TypeError: {e}"
    final = _error_tail(kernel, "bad_key", 0)
    text = json.dumps(final)
    assert expected == "TypeError: Dictionary keys must be str for wire format, not int"
    assert expected in text and "in to_wire" in text and "<listcomp>" in text

    final = _error_tail(kernel, "unsendable", 0)
    text = json.dumps(final)
    assert "TypeError: Object of type set cannot be converted to wire format" in text
    assert "_from_numpy_or_pandas" in text

    final = _error_tail(kernel, "self", 0)
    assert "RecursionError" in json.dumps(final)


def test_deep_nesting_takes_the_python_path(kernel):
    _same_as_python_path_deep = _call(kernel, "deep", 150, False)
    assert _same_as_python_path_deep[1]["function_execution_result"]["status"] == "success"
    fast_text, _ = _call(kernel, "deep", 300, False)
    slow_text, _ = _call(kernel, "deep", 300, True)
    assert fast_text == slow_text


def test_arguments_arrive_as_the_python_path_makes_them(kernel):
    args = [[[1.5, None, "x\u00e9", 2 ** 70, -2 ** 63, True]], {"a": {"b": [1, 2]}, "": None},
            [{"__gridlet__": "date", "value": "2024-01-02"}, {"__gridlet__": "datetime", "value": "2024-01-02T03:04:05"}],
            {"__gridlet__": "other", "value": 1}, [[], {}], {"__gridlet__": "date", "value": 5}]
    r = rid("args")
    kernel.send({"type": "custom_function_call", "module_name": "fastconv", "function_name": "describe",
                 "args": args, "request_id": r})
    final = kernel.collect_for(r, "function_execution_result", timeout=10)[-1]
    assert final["status"] == "success", final
    expected = [[type(v).__name__, repr(v)] for v in (Serializer.from_wire(a) for a in args)]
    assert final["result"] == expected


def test_bad_tagged_argument_raises_from_the_stock_conversion(kernel):
    r = rid("badarg")
    kernel.send({"type": "custom_function_call", "module_name": "fastconv", "function_name": "describe",
                 "args": [[1, [{"__gridlet__": "date", "value": "not a date"}]]], "request_id": r})
    final = kernel.collect_for(r, "function_execution_result", timeout=10)[-1]
    assert final["status"] == "error", final
    text = json.dumps(final)
    assert "Invalid isoformat string: 'not a date'" in text and "in from_wire" in text and "<listcomp>" in text
