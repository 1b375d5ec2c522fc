// Faults found by the fuzz targets in fuzz/, one test each, so they stay fixed.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "messaging/json_parse.hpp"
#include "messaging/py_json.hpp"
#include "python_environment.hpp"

using namespace gridlet;

namespace {

struct PyValues : ::testing::Test {
    void SetUp() override {
        test_support::ensure_python();
        state = PyGILState_Ensure();
    }
    void TearDown() override { PyGILState_Release(state); }
    std::string encode(const char* expr) {
        PyObject* g = PyModule_GetDict(PyImport_AddModule("__main__"));
        PyObject* v = PyRun_String(expr, Py_eval_input, g, g);
        if (!v) PyErr_Print();
        EXPECT_NE(v, nullptr) << expr;
        std::string out;
        if (v) py_json::append(GilHeld::from_python(), v, out);
        Py_XDECREF(v);
        return out;
    }
    PyGILState_STATE state;
};

}  // namespace

// fuzz_py_json: {1e15: []} came out as {"1e+15":[]} where json.dumps writes
// {"1000000000000000.0": []}. A key is text, so its spelling is what the reader gets.
TEST_F(PyValues, FloatKeysAreSpelledAsTheStandardLibrarySpellsThem) {
    EXPECT_EQ(encode("{1e15: []}"), R"({"1000000000000000.0":[]})");
    EXPECT_EQ(encode("{0.0001: 1, 1e-05: 2, 1e16: 3}"), R"({"0.0001":1,"1e-05":2,"1e+16":3})");
    EXPECT_EQ(encode("{2.5: 0, -0.0: 0, 100.0: 0}"), R"({"2.5":0,"-0.0":0,"100.0":0})");
    EXPECT_EQ(encode("{float('nan'): 0, float('inf'): 1, -float('inf'): 2}"),
              R"({"NaN":0,"Infinity":1,"-Infinity":2})");
    // Values keep the shortest form: they are numbers, not text.
    EXPECT_EQ(encode("{1e15: 1e15}"), R"({"1000000000000000.0":1e+15})");
}

// What the parser accepts can always be sent back: both stop at the same nesting depth. The
// encoder used to accept one level more than the parser (1001 nested lists).
TEST_F(PyValues, NestingBoundIsTheParsersOnBothSides) {
    for (int levels : {1000, 1001}) {
        std::string text(std::size_t(levels), '[');
        text.append(std::size_t(levels), ']');
        boost::system::error_code ec;
        boost::json::value v = json_parse::parse(text, ec);
        EXPECT_EQ(bool(ec), levels > 1000) << levels << " levels";

        std::string build = "(lambda: [l := [], [l.append([]) or (l := l[0]) for _ in range(" +
                            std::to_string(levels - 1) + ")]][0])()";
        PyObject* g = PyModule_GetDict(PyImport_AddModule("__main__"));
        PyObject* nested = PyRun_String(build.c_str(), Py_eval_input, g, g);
        ASSERT_NE(nested, nullptr);
        std::string out;
        if (levels <= 1000) {
            EXPECT_NO_THROW(py_json::append(GilHeld::from_python(), nested, out));
            EXPECT_EQ(out, text);
        } else {
            EXPECT_THROW(py_json::append(GilHeld::from_python(), nested, out), py_json::EncodeError);
        }
        Py_DECREF(nested);
    }
    // The same bound for objects, with a scalar at the innermost level.
    std::string obj;
    for (int i = 0; i < 1000; ++i) obj += R"({"a":)";
    obj += "1";
    obj.append(1000, '}');
    boost::system::error_code ec;
    boost::json::value v = json_parse::parse(obj, ec);
    ASSERT_FALSE(ec);
    PyObject* py = py_json::to_python(GilHeld::from_python(), v);
    ASSERT_NE(py, nullptr);
    std::string out;
    EXPECT_NO_THROW(py_json::append(GilHeld::from_python(), py, out));
    EXPECT_EQ(out, obj);
    Py_DECREF(py);
}
