#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "python_environment.hpp"

using namespace gridlet;

namespace {

struct PyFixture : ::testing::Test {
    void SetUp() override {
        test_support::ensure_python();
        state = PyGILState_Ensure();
    }
    void TearDown() override { PyGILState_Release(state); }
    PyObject* eval(const char* expr) {
        PyObject* main = PyImport_AddModule("__main__");
        PyObject* g = PyModule_GetDict(main);
        PyObject* v = PyRun_String(expr, Py_eval_input, g, g);
        if (!v) PyErr_Print();
        return v;
    }
    std::string encode(const char* expr) {
        PyObject* v = eval(expr);
        std::string out;
        py_json::append(GilHeld::from_python(), v, out);
        Py_DECREF(v);
        return out;
    }
    PyGILState_STATE state;
};

}  // namespace

TEST_F(PyFixture, EncodesPythonValuesCompactly) {
    EXPECT_EQ(encode("{'a': [1, 2.5, True, None], 'b': (1, 'x')}"), R"({"a":[1,2.5,true,null],"b":[1,"x"]})");
    EXPECT_EQ(encode("100.0"), "100.0");
    EXPECT_EQ(encode("float('nan')"), "null");
    EXPECT_EQ(encode("2**70"), "1180591620717411303424");
    EXPECT_EQ(encode("'caf\\u00e9 \\U0001F600'"), "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"");
    EXPECT_EQ(encode("{1: 'int key'}"), R"({"1":"int key"})");
    EXPECT_EQ(encode("'\\ud800'"), R"("\ud800")") << "a lone surrogate is escaped, not replaced";
}

TEST_F(PyFixture, RefusesWhatJsonCannotCarryNamingTheType) {
    PyObject* v = eval("object()");
    std::string out;
    try {
        py_json::append(GilHeld::from_python(), v, out);
        FAIL() << "expected EncodeError";
    } catch (const py_json::EncodeError& e) {
        EXPECT_NE(std::string(e.what()).find("object"), std::string::npos);
    }
    Py_DECREF(v);
    PyObject* deep = eval("(lambda: [l := [], [l.append([]) or (l := l[0]) for _ in range(1000)]][0])()");
    ASSERT_NE(deep, nullptr);
    EXPECT_THROW(py_json::append(GilHeld::from_python(), deep, out), py_json::EncodeError);
    Py_DECREF(deep);
}

TEST_F(PyFixture, JsonToPythonAndBackRoundTrips) {
    auto text = R"({"s":"\u00e9t\u00e9","i":-7,"big":18446744073709551615,"f":0.1,"l":[true,false,null,{}]})";
    auto value = boost::json::parse(text);
    PyObject* obj = py_json::to_python(GilHeld::from_python(), value);
    ASSERT_NE(obj, nullptr);
    std::string back;
    py_json::append(GilHeld::from_python(), obj, back);
    Py_DECREF(obj);
    EXPECT_EQ(boost::json::parse(back), value);
}
