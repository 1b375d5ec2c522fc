// JSON <-> Python conversion, both ways, with the interpreter started once.
//  - JSON text -> parsed value -> Python value -> JSON text -> parsed value: the round trip gives
//    the same value (non-finite floats are sent as null), and the Python value equals what the
//    standard library's json.loads makes of the same text (NaN, lone surrogates and integers of
//    any size included).
//  - Python values built from the input (nested containers, subclasses, lone surrogates, big
//    integers, keys of every type, unsupported objects) -> JSON text: the text is what the
//    standard library's json.dumps gives for the same value, read back; values it cannot encode
//    are refused by both.
#include <boost/json.hpp>

#include <string>

#include "fuzz_support.hpp"
#include "kernel/gil.hpp"
#include "messaging/json_parse.hpp"
#include "messaging/py_json.hpp"

using namespace gridlet;

namespace {

const char* const kHelpers = R"PY(
import json, math, struct, collections, enum

class MyStr(str): pass
class MyInt(int): pass
class MyFloat(float): pass
class MyList(list): pass
class MyDict(dict): pass
class Color(enum.IntEnum):
    RED = 1

_CHARS = ['a', 'Z', '0', ' ', '"', '\\', '/', '\x00', '\x1f', '\x7f', '\u00e9', '\u20ac', '\U0001F600',
          '\u2028', '\ufeff', '\ud800', '\udbff', '\udc00', '\udfff', '\ud83d', '\ude00', '\n', '\t', '\ufffd']
_FLOATS = [0.0, -0.0, 1e15, 1e16, 0.0001, 1e-5, 1e22, float('nan'), float('inf'), -float('inf'),
           5e-324, 1.7976931348623157e308, 100.0, 2.5, 123456789012345680.0, 0.1]
_INTS = [2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, 0, 10**20, -1]

def build(data):
    it = iter(data)
    def nxt():
        return next(it, 0)
    def text(n):
        return ''.join(_CHARS[nxt() % len(_CHARS)] for _ in range(n))
    def number(b):
        k = b % 5
        if k == 0:
            raw = bytes(nxt() for _ in range(nxt() % 24))
            return int.from_bytes(raw, 'big', signed=True)
        if k == 1:
            return _INTS[nxt() % len(_INTS)]
        if k == 2:
            return struct.unpack('<d', bytes(nxt() for _ in range(8)))[0]
        if k == 3:
            return _FLOATS[nxt() % len(_FLOATS)]
        return 10 ** (4290 + nxt() % 20)   # around the interpreter's digit limit
    def key():
        b = nxt()
        k = b % 10
        if k < 3: return text(nxt() % 6)
        if k == 3: return number(nxt())
        if k == 4: return (True, False, None)[nxt() % 3]
        if k == 5: return _FLOATS[nxt() % len(_FLOATS)]
        if k == 6: return MyStr(text(2))
        if k == 7: return Color.RED
        if k == 8: return MyFloat(_FLOATS[nxt() % len(_FLOATS)])
        return (1, 2) if b & 16 else frozenset()
    def val(depth):
        b = nxt()
        k = b % 16 if depth < 5 else b % 9
        if k == 0: return None
        if k == 1: return bool(b & 16)
        if k in (2, 3): return number(nxt())
        if k == 4: return text(nxt() % 10)
        if k == 5: return (MyStr(text(3)), MyInt(nxt() - 128), MyFloat(_FLOATS[nxt() % len(_FLOATS)]),
                           Color.RED)[nxt() % 4]
        if k == 6: return (object(), b'bytes', {1, 2}, 1j, bytearray(b'x'))[nxt() % 5] if b & 16 else ''
        if k in (7, 8): return text(nxt() % 4)
        n = nxt() % 5
        if k in (9, 10): return [val(depth + 1) for _ in range(n)]
        if k == 11: return tuple(val(depth + 1) for _ in range(n))
        if k == 12: return MyList(val(depth + 1) for _ in range(n))
        d = (dict, MyDict, collections.OrderedDict)[k % 3]()
        for _ in range(n):
            d[key()] = val(depth + 1)
        return d
    return val(0)

def _fix(s):
    # Lone surrogates go out as \u escapes, so what arrives is what json.loads makes of them.
    return json.loads(json.dumps(s))

def _key(k):
    if isinstance(k, str): return _fix(k)
    if k is True: return 'true'
    if k is False: return 'false'
    if k is None: return 'null'
    if isinstance(k, int): return int.__repr__(k)
    if isinstance(k, float):
        if k != k: return 'NaN'
        if k in (float('inf'), -float('inf')): return 'Infinity' if k > 0 else '-Infinity'
        return float.__repr__(k)
    raise TypeError('key of type ' + type(k).__name__)

def expected(v):
    # What json.dumps makes of v, read back, with the compact encoder's one departure:
    # non-finite floats become null.
    if v is None or v is True or v is False: return v
    if isinstance(v, str): return _fix(v)
    if isinstance(v, int): return int(int.__repr__(v))
    if isinstance(v, float): return float(v) if math.isfinite(v) else None
    if isinstance(v, (list, tuple)): return [expected(x) for x in v]
    if isinstance(v, dict): return {_key(k): expected(x) for k, x in v.items()}
    raise TypeError('value of type ' + type(v).__name__)

def same(a, b):
    if type(a) is not type(b): return False
    if isinstance(a, float): return struct.pack('<d', a) == struct.pack('<d', b)
    if isinstance(a, list): return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b

def _compact(text):
    in_string = escaped = False
    for c in text:
        if in_string:
            if escaped: escaped = False
            elif c == '\\': escaped = True
            elif c == '"': in_string = False
        elif c == '"': in_string = True
        elif c in ' \t\r\n': return False
    return True

def check_encoded(v, ours, refused):
    try:
        want = expected(v)
    except (TypeError, ValueError) as e:
        return None if refused else 'encoded what json.dumps refuses (%s): %r' % (e, ours[:200])
    if refused:
        return 'refused a value json.dumps encodes: %r' % (want,)
    try:
        got = json.loads(ours.decode('utf-8'))
    except ValueError as e:
        return 'output is not JSON (%s): %r' % (e, ours[:200])
    if not same(got, want):
        return 'encoded %r, json.dumps gives %r' % (got, want)
    if not _compact(ours.decode('utf-8')):
        return 'output is not compact: %r' % ours[:200]
    return None

def compare_decoded(raw, ours):
    try:
        text = raw.decode('utf-8')
        theirs = json.loads(text)
    except (ValueError, RecursionError):
        return None
    def eq(a, b):
        if type(a) is not type(b): return False
        if isinstance(a, float): return struct.pack('<d', a) == struct.pack('<d', b) or (a != a and b != b)
        if isinstance(a, list): return len(a) == len(b) and all(eq(x, y) for x, y in zip(a, b))
        if isinstance(a, dict): return list(a) == list(b) and all(eq(a[k], b[k]) for k in a)
        return a == b
    return None if eq(ours, theirs) else 'decoded %r, json.loads gives %r' % (ours, theirs)
)PY";

PyObject* g_build = nullptr;
PyObject* g_check_encoded = nullptr;
PyObject* g_compare_decoded = nullptr;

void fail_with(PyObject* r) {
    if (!r) {
        PyErr_Print();
        fuzz::check(false, "oracle raised");
    }
    if (r != Py_None) {
        const char* s = PyUnicode_AsUTF8(r);
        fuzz::check(false, s ? s : "oracle failure");
    }
    Py_DECREF(r);
}

void json_to_python_and_back(const GilHeld& gil, std::string_view text) {
    boost::system::error_code ec;
    boost::json::value v = json_parse::parse(text, ec);
    if (ec) return;
    PyObject* obj = py_json::to_python(gil, v);
    if (!obj && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();  // an integer past the interpreter's digit limit: json.loads refuses it too
        return;
    }
    if (!obj) PyErr_Print();
    fuzz::check(obj != nullptr, "to_python failed on parsed JSON");
    std::string out;
    try {
        py_json::append(gil, obj, out);
    } catch (const py_json::EncodeError& e) {
        fuzz::check(false, std::string("parsed JSON could not be encoded again: ") + e.what());
    }
    boost::json::value back = json_parse::parse(out, ec);
    fuzz::check(!ec, "encoded text does not parse");
    fuzz::check(fuzz::same_json(back, fuzz::as_sent(v)), "JSON -> Python -> JSON changed the value");
    fail_with(PyObject_CallFunction(g_compare_decoded, "y#O", text.data(), Py_ssize_t(text.size()), obj));
    Py_DECREF(obj);
}

void python_to_json(const GilHeld& gil, std::string_view bytes) {
    PyObject* obj = PyObject_CallFunction(g_build, "y#", bytes.data(), Py_ssize_t(bytes.size()));
    if (!obj) PyErr_Print();
    fuzz::check(obj != nullptr, "value builder raised");
    std::string out;
    bool refused = false;
    try {
        py_json::append(gil, obj, out);
    } catch (const py_json::EncodeError&) {
        refused = true;
    }
    fuzz::check(!PyErr_Occurred(), "encoding left a Python error set");
    fail_with(PyObject_CallFunction(g_check_encoded, "Oy#O", obj, out.data(), Py_ssize_t(out.size()),
                                    refused ? Py_True : Py_False));
    Py_DECREF(obj);
}

}  // namespace

// The interpreter lives for the whole run and keeps its caches (interned strings, free lists,
// compiled code) on purpose; the leak checker would report them after every input.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_python();
    GilGuard gil;
    fuzz::run_python(kHelpers);
    g_build = fuzz::main_attr("build");
    g_check_encoded = fuzz::main_attr("check_encoded");
    g_compare_decoded = fuzz::main_attr("compare_decoded");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    GilGuard gil;
    if (data[0] & 1) python_to_json(gil.held(), rest);
    else json_to_python_and_back(gil.held(), rest);
    return 0;
}
