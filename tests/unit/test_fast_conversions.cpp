// The C++ repr and the stock to_wire walk against the interpreter's own repr() and the bridge's
// Python Serializer as oracles, over exhaustive and seeded random inputs.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "invocation/fast_repr.hpp"
#include "invocation/plain_walk.hpp"
#include "invocation/wire_args.hpp"
#include "invocation/wire_json.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "python_environment.hpp"

using namespace gridlet;

namespace {

struct FastConversions : ::testing::Test {
    void SetUp() override {
        test_support::ensure_python();
        state = PyGILState_Ensure();
        globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    }
    void TearDown() override { PyGILState_Release(state); }
    const GilHeld& gil() { return GilHeld::from_python(); }
    PyObject* eval(const std::string& expr) {
        PyObject* v = PyRun_String(expr.c_str(), Py_eval_input, globals, globals);
        if (!v) PyErr_Print();
        return v;
    }
    void run(const std::string& code) {
        PyObject* r = PyRun_String(code.c_str(), Py_file_input, globals, globals);
        if (!r) PyErr_Print();
        ASSERT_TRUE(r);
        Py_DECREF(r);
    }
    std::string python_repr(PyObject* v) {
        PyObject* r = PyObject_Repr(v);
        std::string s = py_json::utf8_of(gil(), r);
        Py_DECREF(r);
        return s;
    }
    std::string fast(PyObject* v) {
        std::string s;
        EXPECT_TRUE(fast_repr::append(gil(), v, s));
        return s;
    }
    PyGILState_STATE state;
    PyObject* globals = nullptr;
};

}  // namespace

TEST_F(FastConversions, FloatReprMatchesPythonForEdgesAndRandomBitPatterns) {
    std::mt19937_64 rng(20261209);
    const double edges[] = {0.0,
                            -0.0,
                            1e16,
                            1e15,
                            9999999999999998.0,
                            1e17,
                            123456789012345678.0,
                            1e-4,
                            1e-5,
                            0.1 + 0.2,
                            5e-324,
                            2.2250738585072014e-308,
                            1.7976931348623157e308,
                            1e22,
                            1e23,
                            9223372036854775808.0,
                            0.5,
                            100.0,
                            1e100,
                            -1.5e-7};
    // The wire's JSON float as std::to_chars writes it, ".0" after a whole number (its writer's
    // former form, the oracle here).
    auto to_chars_json = [](double d) -> std::string {
        if (!std::isfinite(d)) return "null";
        char buf[64];
        std::string text(buf, std::to_chars(buf, buf + sizeof buf, d).ptr);
        if (text.find_first_of(".en") == std::string::npos) text += ".0";
        return text;
    };
    auto check = [&](double d) {
        PyObject* f = PyFloat_FromDouble(d);
        std::string got;
        fast_repr::append_float(got, d);
        ASSERT_EQ(got, python_repr(f)) << "bits " << std::hex << std::bit_cast<std::uint64_t>(d);
        std::string json;
        json_text::append_double(json, d);
        ASSERT_EQ(json, to_chars_json(d)) << "bits " << std::hex << std::bit_cast<std::uint64_t>(d);
        Py_DECREF(f);
    };
    for (double d : edges) check(d);
    // Whole numbers around 2^53 and up to 10^22, where the fixed form writes every digit.
    for (int k = 50; k <= 74; ++k)
        for (double step : {-3.0, -1.0, 0.0, 1.0, 2.0, 5.0}) check(std::ldexp(1.0, k) + step * std::ldexp(1.0, k - 52));
    for (int k = -325; k <= 308; ++k) check(std::strtod(("1e" + std::to_string(k)).c_str(), nullptr));
    for (int i = 0; i < 300000; ++i) {
        const std::uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        check(d);
        check(double(rng() % 100000000) / double(1 + rng() % 1000));  // short decimal fractions
        check(double(std::int64_t(rng() >> (rng() % 64))));           // whole numbers of every length
    }
}

TEST_F(FastConversions, StrReprMatchesPythonForEveryCodePoint) {
    // Every code point, in strings of 512 with and without each kind of quote.
    for (long start = 0; start < 0x110000; start += 512) {
        const std::string tails[] = {"", "'", "\"", "'\""};
        for (const auto& tail : tails) {
            PyObject* s = eval("''.join(map(chr, range(" + std::to_string(start) + ", " +
                               std::to_string(std::min(start + 512, 0x110000L)) + "))) + '" +
                               (tail == "'"     ? "\\'"
                                : tail == "'\"" ? "\\'\""
                                                : tail) +
                               "'");
            ASSERT_TRUE(s);
            ASSERT_EQ(fast(s), python_repr(s)) << "from U+" << std::hex << start;
            Py_DECREF(s);
        }
    }
}

TEST_F(FastConversions, ContainerReprMatchesPython) {
    run("class Shown:\n"
        "    def __repr__(self): return 'Shown<\\udc80>'\n"
        "class L(list):\n"
        "    def __repr__(self): return 'L!'\n"
        "rec = [1]; rec.append(rec)\n"
        "drec = {}; drec['self'] = drec\n"
        "trec = ([],); trec[0].append(trec)\n");
    const char* cases[] = {"[]",
                           "()",
                           "{}",
                           "(1,)",
                           "((),)",
                           "[(1,), (1, 2), {'a': (None,)}]",
                           "[True, False, None, 2**63, -2**63 - 1, 10**40, -0.0, float('nan'), float('-inf')]",
                           "{'k': [1.5, 'x'], 2: 'int key', (1, 2): {3: 4}, None: None}",
                           "rec",
                           "drec",
                           "trec",
                           "[rec, rec]",
                           "[Shown(), L([1, 2]), 1j, b'bytes', {1, 2}]",
                           "['it\\'s', 'a\"b', '\\x00']"};
    for (const char* expr : cases) {
        PyObject* v = eval(expr);
        ASSERT_TRUE(v) << expr;
        EXPECT_EQ(fast(v), python_repr(v)) << expr;
        Py_DECREF(v);
    }
}

TEST_F(FastConversions, FailingReprRaisesTheSameError) {
    run("class Bad:\n    def __repr__(self): raise ValueError('no repr')\n");
    PyObject* v = eval("[1, {'k': (Bad(),)}]");
    std::string out;
    EXPECT_FALSE(fast_repr::append(gil(), v, out));
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_ValueError));
    PyErr_Clear();
    Py_DECREF(v);
    // Nesting past the recursion limit raises RecursionError at the same depth as repr() does.
    for (int depth = 990; depth <= 1002; ++depth) {
        for (const char* wrap : {"[v]", "(v,)", "{'k': v}"}) {
            PyObject* nested = eval("__import__('functools').reduce(lambda v, _: " + std::string(wrap) + ", range(" +
                                    std::to_string(depth) + "), 1.5)");
            ASSERT_TRUE(nested);
            PyObject* expected = PyObject_Repr(nested);
            PyErr_Clear();
            std::string text;
            const bool ok = fast_repr::append(gil(), nested, text);
            PyErr_Clear();
            EXPECT_EQ(ok, expected != nullptr) << wrap << " at depth " << depth;
            Py_XDECREF(expected);
            Py_DECREF(nested);
        }
    }
    // Far past the limit.
    PyObject* deep = eval("__import__('functools').reduce(lambda v, _: [v], range(100000), 1)");
    EXPECT_FALSE(fast_repr::append(gil(), deep, out));
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_RecursionError));
    PyErr_Clear();
    Py_DECREF(deep);
}

TEST_F(FastConversions, WireJsonMatchesThePythonSerializer) {
    run("import sys, random, struct, datetime\n"
        "sys.path.insert(0, '" GRIDLET_SOURCE_DIR
        "/python')\n"
        "from gridlet.serializer import Serializer\n"
        "def rv(rng, d=0):\n"
        "    p = rng.random()\n"
        "    if d > 4 or p < 0.5:\n"
        "        return rng.choice([None, True, False, 0, -1, 2**63, -2**70, 1.5, float('nan'), float('inf'), -0.0,\n"
        "                           struct.unpack('<d', struct.pack('<Q', rng.getrandbits(64)))[0],\n"
        "                           'x', '\\ud800', 'caf\\u00e9\\n\"', datetime.date(2024, 1, 2)])\n"
        "    n = rng.randint(0, 5)\n"
        "    if p < 0.75: return [rv(rng, d + 1) for _ in range(n)]\n"
        "    if p < 0.85: return tuple(rv(rng, d + 1) for _ in range(n))\n"
        "    return {str(i) + rng.choice(['', 'é', '\\udc00']): rv(rng, d + 1) for i in range(n)}\n"
        "class F(float):\n"
        "    pass\n"
        "class S(str):\n"
        "    pass\n");
    PyObject* to_wire = eval("Serializer.to_wire");
    ASSERT_TRUE(to_wire);
    for (int seed = 0; seed < 300; ++seed) {
        PyObject* v = eval("[rv(random.Random(" + std::to_string(seed) +
                           ")) for _ in range(6)] + [F(2.5), S('s'), {S('k'): F('nan')}]");
        ASSERT_TRUE(v);
        ASSERT_TRUE(wire_json::applies(gil(), v));
        std::string fast_text;
        ASSERT_TRUE(wire_json::append(gil(), v, to_wire, fast_text)) << seed;
        PyObject* w = PyObject_CallOneArg(to_wire, v);
        ASSERT_TRUE(w);
        std::string python_text;
        py_json::append(gil(), w, python_text);
        EXPECT_EQ(fast_text, python_text) << seed;
        EXPECT_LE(fast_text.size(), wire_json::estimate(gil(), v)) << seed;
        Py_DECREF(w);
        Py_DECREF(v);
    }
    // What the Python code refuses makes the walk give up, with no error left set.
    const char* refused[] = {"[{1: 2}]", "[[1.0, {1, 2}]]", "{'a': object()}"};
    for (const char* expr : refused) {
        PyObject* v = eval(expr);
        std::string text;
        EXPECT_FALSE(wire_json::append(gil(), v, to_wire, text)) << expr;
        EXPECT_FALSE(PyErr_Occurred());
        Py_DECREF(v);
    }
    Py_DECREF(to_wire);
}

namespace {

// True when every list and dict inside `v` is referenced by its container alone.
bool containers_owned_once(PyObject* v) {
    if (PyList_Check(v)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            PyObject* item = PyList_GET_ITEM(v, i);
            if ((PyList_Check(item) || PyDict_Check(item)) && Py_REFCNT(item) != 1) return false;
            if (!containers_owned_once(item)) return false;
        }
    } else if (PyDict_Check(v)) {
        Py_ssize_t pos = 0;
        PyObject *k, *item;
        while (PyDict_Next(v, &pos, &k, &item)) {
            if ((PyList_Check(item) || PyDict_Check(item)) && Py_REFCNT(item) != 1) return false;
            if (!containers_owned_once(item)) return false;
        }
    }
    return true;
}

}  // namespace

// The walks hold and drop their own references only: the objects met in a value keep their counts
// whether the walk succeeds, gives up or raises, and what the JSON readers build is owned by its
// container alone.
TEST_F(FastConversions, WalksLeaveReferenceCountsAsTheyFoundThem) {
    run("import sys, datetime\n"
        "sys.path.insert(0, '" GRIDLET_SOURCE_DIR
        "/python')\n"
        "from gridlet.serializer import Serializer\n"
        "tok = ''.join(['to', 'ken'])\n"
        "day = datetime.date(2024, 1, 2)\n"
        "class Bad:\n"
        "    def __repr__(self): raise ValueError('no repr')\n"
        "bad = Bad()\n");
    PyObject* tok = PyDict_GetItemString(globals, "tok");  // borrowed: the namespace keeps them
    PyObject* day = PyDict_GetItemString(globals, "day");
    PyObject* to_wire = eval("Serializer.to_wire");
    PyObject* from_wire = eval("Serializer.from_wire");
    ASSERT_TRUE(tok && day && to_wire && from_wire);

    // Each walk runs once first (a library may cache what it makes on first use), then again
    // while the counts are watched.
    auto balanced = [&](const char* what, const std::string& expr, auto walk) {
        PyObject* v = eval(expr);
        ASSERT_TRUE(v) << what;
        walk(v);
        PyErr_Clear();
        const Py_ssize_t tok_count = Py_REFCNT(tok), day_count = Py_REFCNT(day), value_count = Py_REFCNT(v),
                         fn_count = Py_REFCNT(to_wire);
        walk(v);
        PyErr_Clear();
        EXPECT_EQ(Py_REFCNT(tok), tok_count) << what << ": " << expr;
        EXPECT_EQ(Py_REFCNT(day), day_count) << what << ": " << expr;
        EXPECT_EQ(Py_REFCNT(v), value_count) << what << ": " << expr;
        EXPECT_EQ(Py_REFCNT(to_wire), fn_count) << what << ": " << expr;
        Py_DECREF(v);
    };
    auto json = [&](PyObject* v) {
        std::string out;
        try {
            py_json::append(gil(), v, out);
        } catch (const py_json::EncodeError&) {}
    };
    auto wire = [&](PyObject* v) {
        std::string out;
        wire_json::append(gil(), v, to_wire, out);
        EXPECT_FALSE(PyErr_Occurred());
    };
    auto repr = [&](PyObject* v) {
        std::string out;
        fast_repr::append(gil(), v, out);
    };
    balanced("json", "[tok, {'k': (tok, [tok])}, {tok: tok}, 2**80, {1.5: tok, 2**70: tok}]", json);
    balanced("json refusing", "[tok, {tok: [tok, day]}]", json);
    balanced("wire", "[tok, day, {tok: (day, tok)}, [[tok, day]]]", wire);
    balanced("wire giving up", "[tok, {tok: [day, tok, bad]}]", wire);
    balanced("wire giving up at a key", "[tok, {tok: day, 1: tok}]", wire);
    balanced("repr", "[tok, {tok: (day, [tok])}, 2**80]", repr);
    balanced("repr raising", "[tok, {tok: (day, bad)}]", repr);
    // (pandas frames and series are left to the end-to-end tests: numpy's allocations, never freed
    // in an interpreter that is never finalised, would read as leaks to the sanitizer run.)

    const auto parsed = boost::json::parse(
        R"({"a":[[1,{"b":[]}],{}],"c":{"d":[2,"x"]},"t":[{"__gridlet__":"date","value":"2024-01-02"}]})");
    PyObject* plain = py_json::to_python(gil(), parsed);
    ASSERT_TRUE(plain);
    EXPECT_EQ(Py_REFCNT(plain), 1);
    EXPECT_TRUE(containers_owned_once(plain));
    Py_DECREF(plain);
    const Py_ssize_t from_count = Py_REFCNT(from_wire);
    PyObject* args = wire_args::from_json(gil(), parsed, from_wire);
    ASSERT_TRUE(args);
    EXPECT_EQ(Py_REFCNT(args), 1);
    EXPECT_TRUE(containers_owned_once(args));
    PyObject* date = PyList_GET_ITEM(PyDict_GetItemString(args, "t"), 0);
    EXPECT_STREQ(Py_TYPE(date)->tp_name, "datetime.date");
    EXPECT_EQ(Py_REFCNT(date), 1);
    Py_DECREF(args);
    EXPECT_EQ(Py_REFCNT(from_wire), from_count);
    Py_DECREF(to_wire);
    Py_DECREF(from_wire);
}

namespace {

// The JSON and the repr of one joint walk, against the wire walk and repr().
struct JointTexts {
    bool ok = false;
    std::string json, repr;
};

}  // namespace

TEST_F(FastConversions, JointWalkGivesTheWireJsonAndTheRepr) {
    run("import sys, random, struct\n"
        "sys.path.insert(0, '" GRIDLET_SOURCE_DIR
        "/python')\n"
        "from gridlet.serializer import Serializer\n"
        "EDGES = [0.0, -0.0, 1e16, 1e15, 9999999999999998.0, 1e-4, 1e-5, 0.0001234, 5e-324, 1e22, 1e23,\n"
        "         2.0 ** 53, 2.0 ** 63, 83406955230759872.0, 1 / 3, 100.0, 1e100, float('nan'), float('inf'),\n"
        "         float('-inf'), 2 ** 63 - 1, -2 ** 63, 2 ** 63, -2 ** 64, 10 ** 40, 0, True, False, None,\n"
        "         '', 'x', \"it's\", 'a\"b', '\\\\', '\\udc80', 'caf\\u00e9\\n']\n"
        "def plain(rng, d=0):\n"
        "    p = rng.random()\n"
        "    if d > 4 or p < 0.55:\n"
        "        if rng.random() < 0.3:\n"
        "            return struct.unpack('<d', struct.pack('<Q', rng.getrandbits(64)))[0]\n"
        "        return rng.choice(EDGES)\n"
        "    n = rng.choice([0, 1, 1, 2, 3, 5])\n"
        "    items = [plain(rng, d + 1) for _ in range(n)]\n"
        "    return items if p < 0.8 else tuple(items)\n"
        "class F(float):\n"
        "    pass\n"
        "class L(list):\n"
        "    def __repr__(self): return 'L!'\n"
        "rec = [1.5]; rec.append(rec)\n");
    PyObject* to_wire = eval("Serializer.to_wire");
    ASSERT_TRUE(to_wire);
    auto joint = [&](PyObject* v) {
        JointTexts t;
        t.ok = plain_walk::append(gil(), v, t.json, t.repr);
        EXPECT_FALSE(PyErr_Occurred());
        return t;
    };
    auto wire = [&](PyObject* v) {
        std::string text;
        EXPECT_TRUE(wire_json::append(gil(), v, to_wire, text));
        return text;
    };
    const char* fixed[] = {"[]",
                           "()",
                           "[()]",
                           "((),)",
                           "(1.5,)",
                           "[(None,), (True, False)]",
                           "[[[]], [[1.0]]]",
                           "EDGES",
                           "tuple(EDGES)",
                           "[[x] for x in EDGES]",
                           "[(x,) for x in EDGES]",
                           "[[r * 1000 + c for c in range(50)] for r in range(20)]",
                           "[[(r * 1000 + c) / 7 for c in range(50)] for r in range(20)]"};
    for (const char* expr : fixed) {
        PyObject* v = eval(expr);
        ASSERT_TRUE(v) << expr;
        const JointTexts t = joint(v);
        ASSERT_TRUE(t.ok) << expr;
        EXPECT_EQ(t.json, wire(v)) << expr;
        EXPECT_EQ(t.repr, python_repr(v)) << expr;
        Py_DECREF(v);
    }
    for (int seed = 0; seed < 400; ++seed) {
        PyObject* v = eval("[plain(random.Random(" + std::to_string(seed) + ")) for _ in range(6)]");
        ASSERT_TRUE(v);
        const JointTexts t = joint(v);
        ASSERT_TRUE(t.ok) << seed;
        EXPECT_EQ(t.json, wire(v)) << seed;
        EXPECT_EQ(t.repr, python_repr(v)) << seed;
        Py_DECREF(v);
    }
    // Anything else, at any place, makes the walk give up with no error set: a dict, a subclass,
    // another object, a container met inside itself, nesting past what the wire walk follows.
    const char* others[] = {"[1.0, {'a': 1}]",
                            "[[1.0, 2.0], [3.0, F(4.5)]]",
                            "[L([1])]",
                            "[1, 2, object()]",
                            "([1.5], (2.5, b'x'))",
                            "{'k': [1.0]}",
                            "rec",
                            "F(1.0)",
                            "[None, True, 1j]",
                            "__import__('functools').reduce(lambda v, _: [v], range(250), 1.5)"};
    for (const char* expr : others) {
        PyObject* v = eval(expr);
        ASSERT_TRUE(v) << expr;
        EXPECT_FALSE(joint(v).ok) << expr;
        Py_DECREF(v);
    }
    // Under a low recursion limit, the walk gives up wherever repr() would raise RecursionError.
    run("_limit = sys.getrecursionlimit()\n");
    for (int depth = 30; depth <= 90; depth += 3) {
        PyObject* nested =
            eval("__import__('functools').reduce(lambda v, _: [v], range(" + std::to_string(depth) + "), (1.5,))");
        ASSERT_TRUE(nested);
        run("sys.setrecursionlimit(70)\n");
        PyObject* expected = PyObject_Repr(nested);
        PyErr_Clear();
        const JointTexts t = joint(nested);
        run("sys.setrecursionlimit(_limit)\n");
        if (expected) {
            EXPECT_TRUE(t.ok) << depth;
            EXPECT_EQ(t.repr, py_json::utf8_of(gil(), expected)) << depth;
        } else {
            EXPECT_FALSE(t.ok) << depth;
        }
        Py_XDECREF(expected);
        Py_DECREF(nested);
    }
    Py_DECREF(to_wire);
}
