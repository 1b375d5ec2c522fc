// JSON read and written as Python's json module does: NaN and the infinities, lone surrogates,
// integers of any size; and chunk pieces cut between the two halves of a surrogate pair.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <cmath>
#include <string>

#include "messaging/chunk_assembler.hpp"
#include "messaging/json_bigint.hpp"
#include "messaging/json_parse.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "python_environment.hpp"

using namespace gridlet;

namespace {

boost::json::value parse_ok(std::string_view text) {
    boost::system::error_code ec;
    boost::json::value v = json_parse::parse(text, ec);
    EXPECT_FALSE(ec) << text;
    return v;
}

bool refused(std::string_view text) {
    boost::system::error_code ec;
    json_parse::parse(text, ec);
    return bool(ec);
}

std::string digits_of(const boost::json::value& v) {
    const auto* d = json_bigint::digits(v);
    return d ? std::string(*d) : std::string("(not a big integer)");
}

const std::string kHigh = "\xED\xA0\xBD";      // U+D83D in the three-byte form
const std::string kLow = "\xED\xB8\x80";       // U+DE00
const std::string kGrin = "\xF0\x9F\x98\x80";  // U+1F600, the pair D83D DE00

}  // namespace

TEST(PythonDialect, NanAndInfinitiesAreFloatsAnywhere) {
    auto v = parse_ok(R"({"a": [NaN, Infinity, -Infinity, 1], "b": {"c": NaN}})");
    const auto& a = v.at("a").as_array();
    EXPECT_TRUE(std::isnan(a[0].as_double()));
    EXPECT_EQ(a[1].as_double(), INFINITY);
    EXPECT_EQ(a[2].as_double(), -INFINITY);
    EXPECT_EQ(a[3].as_int64(), 1);
    EXPECT_TRUE(std::isnan(v.at("b").at("c").as_double()));
    EXPECT_TRUE(std::isnan(parse_ok(" NaN ").as_double()));
    // Only Python's exact spellings.
    for (const char* bad : {"nan", "-NaN", "+Infinity", "Infinit", "infinity", "[NaN,]", "NaNx", "-Inf", "[-]"})
        EXPECT_TRUE(refused(bad)) << bad;
}

TEST(PythonDialect, StillRefusesWhatPythonRefuses) {
    for (const char* bad : {"",
                            " ",
                            "01",
                            "1.",
                            ".5",
                            "+1",
                            "1e",
                            "1e+",
                            "[1,]",
                            R"({"a":1,})",
                            R"({"a" 1})",
                            R"("\x")",
                            R"("\u12")",
                            R"("\u12g4")",
                            "\"a\tb\"",
                            "\"abc",
                            "[1] 2",
                            "{'a':1}",
                            "\xEF\xBB\xBF{}",
                            "tru",
                            "nul",
                            "[1 2]",
                            R"({"a":NaN,})"})
        EXPECT_TRUE(refused(bad)) << bad;
    // Raw bytes that are not UTF-8 (surrogates aside) are refused even where the dialect reader runs.
    for (std::string bad : {"[NaN,\"\xFF\"]", "[NaN,\"\xC0\x80\"]", "[NaN,\"\xF5\x80\x80\x80\"]", "[NaN,\"\xED\xA0\"]"})
        EXPECT_TRUE(refused(bad));
    // The nesting bound holds on the second pass as on the first.
    EXPECT_TRUE(refused(std::string(1001, '[') + "NaN" + std::string(1001, ']')));
    EXPECT_FALSE(refused(std::string(999, '[') + "NaN" + std::string(999, ']')));
}

TEST(PythonDialect, LoneSurrogateEscapesKeepTheirCodePoint) {
    EXPECT_EQ(parse_ok(R"("\ud800")").as_string(), "\xED\xA0\x80");
    EXPECT_EQ(parse_ok(R"("a\uDFFFb")").as_string(),
              "a\xED\xBF\xBF"
              "b");
    // A pair of escapes is the one character; a high surrogate not followed by a low one stays lone.
    EXPECT_EQ(parse_ok(R"("\ud83d\ude00")").as_string(), kGrin);
    EXPECT_EQ(parse_ok(R"("\ud83d\ud83d\ude00")").as_string(), kHigh + kGrin);
    EXPECT_EQ(parse_ok(R"("\ude00\ud83d")").as_string(), kLow + kHigh);
    EXPECT_EQ(parse_ok(R"("\ud83dx\ude00")").as_string(), kHigh + "x" + kLow);
    // Keys too.
    auto o = parse_ok(R"({"\udc80": 1})").as_object();
    EXPECT_NE(o.if_contains("\xED\xB2\x80"), nullptr);
}

TEST(PythonDialect, RawSurrogatesInJoinedTextAreReadAndPairsJoined) {
    // What chunk pieces cut between the halves of a pair join to: the raw three-byte halves.
    EXPECT_EQ(parse_ok("[\"a" + kHigh + kLow + "b\"]").at(0).as_string(), "a" + kGrin + "b");
    EXPECT_EQ(parse_ok("\"" + kHigh + "\"").as_string(), kHigh);
    EXPECT_EQ(parse_ok("\"" + kHigh + "\\ude00\"").as_string(), kGrin);
}

TEST(PythonDialect, IntegersOfAnySizeKeepEveryDigit) {
    auto v = parse_ok(
        "[123456789012345678901234567890, -123456789012345678901234567890, 18446744073709551616,"
        " -9223372036854775809, 18446744073709551615, -9223372036854775808, -0, 1.5e300, 1e400,"
        " -1e400, 1e-400, 1E99999999999999999999, 0e99999999999999999999]");
    const auto& a = v.as_array();
    EXPECT_EQ(digits_of(a[0]), "123456789012345678901234567890");
    EXPECT_EQ(digits_of(a[1]), "-123456789012345678901234567890");
    EXPECT_EQ(digits_of(a[2]), "18446744073709551616");
    EXPECT_EQ(digits_of(a[3]), "-9223372036854775809");
    EXPECT_EQ(a[4].as_uint64(), 18446744073709551615ull);
    EXPECT_EQ(a[5].as_int64(), INT64_MIN);
    EXPECT_EQ(a[6].as_int64(), 0);
    EXPECT_EQ(a[7].as_double(), 1.5e300);
    EXPECT_EQ(a[8].as_double(), INFINITY);
    EXPECT_EQ(a[9].as_double(), -INFINITY);
    EXPECT_EQ(a[10].as_double(), 0.0);
    EXPECT_EQ(a[11].as_double(), INFINITY);
    EXPECT_EQ(a[12].as_double(), 0.0);
    // The same on the second pass (a NaN elsewhere sends the text there).
    EXPECT_EQ(digits_of(parse_ok("[NaN, 123456789012345678901234567890]").at(1)), "123456789012345678901234567890");
    EXPECT_EQ(parse_ok("[NaN, 1e400]").at(1).as_double(), INFINITY);
}

TEST(PythonDialect, WriterEscapesSurrogatesAndWritesBigIntegersBack) {
    std::string out;
    json_text::append_string(out, "a" + kHigh + "b\xED\x9F\xBF" + kLow);  // U+D7FF is an ordinary character
    EXPECT_EQ(out, "\"a\\ud83db\xED\x9F\xBF\\ude00\"");
    const std::string text =
        R"({"s":"\ud800x\udfff","i":[123456789012345678901234567890,-18446744073709551617],"n":[1,2]})";
    auto v = parse_ok(text);
    EXPECT_EQ(json_text::serialize(v), text);
    EXPECT_EQ(parse_ok(json_text::serialize(v)), v);
}

TEST(PythonDialect, ChunkPiecesCutBetweenSurrogateHalvesJoinIntoTheCharacter) {
    // A JavaScript sender cuts its text by UTF-16 units; each half goes out escaped in its own piece.
    auto first =
        parse_ok(R"({"type":"chunk","chunk_id":"c","chunk_index":0,"total_chunks":2,"data":"{\"v\":\"a\ud83d"})");
    auto second = parse_ok(R"({"type":"chunk","chunk_id":"c","chunk_index":1,"total_chunks":2,"data":"\ude00b\"}"})");
    ChunkAssembler chunks;
    EXPECT_FALSE(chunks.add(second.as_object()));
    auto whole = chunks.add(first.as_object());
    ASSERT_TRUE(whole);
    ASSERT_FALSE(whole->ec);
    EXPECT_EQ(whole->value.at("v").as_string(), "a" + kGrin + "b");
}

namespace {

struct PyDialect : ::testing::Test {
    void SetUp() override {
        test_support::ensure_python();
        state = PyGILState_Ensure();
    }
    void TearDown() override { PyGILState_Release(state); }
    // repr() of the Python value made of `json`.
    std::string python_repr(std::string_view json) {
        PyObject* obj = py_json::to_python(GilHeld::from_python(), parse_ok(json));
        if (!obj) {
            PyErr_Clear();
            return "(failed)";
        }
        PyObject* r = PyObject_Repr(obj);
        std::string s = PyUnicode_AsUTF8(r);
        Py_DECREF(r);
        Py_DECREF(obj);
        return s;
    }
    std::string encode(const char* expr) {
        PyObject* main = PyImport_AddModule("__main__");
        PyObject* g = PyModule_GetDict(main);
        PyObject* v = PyRun_String(expr, Py_eval_input, g, g);
        EXPECT_NE(v, nullptr) << expr;
        std::string out;
        py_json::append(GilHeld::from_python(), v, out);
        Py_DECREF(v);
        return out;
    }
    PyGILState_STATE state;
};

}  // namespace

TEST_F(PyDialect, PythonGetsWhatJsonLoadsGives) {
    EXPECT_EQ(python_repr("[123456789012345678901234567890, -10000000000000000000000000000000000000000]"),
              "[123456789012345678901234567890, -10000000000000000000000000000000000000000]");
    EXPECT_EQ(python_repr("[NaN, Infinity, -Infinity]"), "[nan, inf, -inf]");
    EXPECT_EQ(python_repr(R"({"\ud800": "a\udc80", "p": "\ud83d\ude00"})"),
              "{'\\ud800': 'a\\udc80', 'p': '\U0001f600'}");
    // Past the interpreter's digit limit the conversion fails as json.loads does, with ValueError.
    PyObject* obj = py_json::to_python(GilHeld::from_python(), parse_ok(std::string(5000, '7')));
    EXPECT_EQ(obj, nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_ValueError));
    PyErr_Clear();
}

TEST_F(PyDialect, PythonTextLeavesAsValidUtf8WithSurrogatesEscaped) {
    EXPECT_EQ(encode("'a\\ud800b'"), R"("a\ud800b")");
    EXPECT_EQ(encode("['\\udfff', {'\\udc80': '\\ud83d\\ude00'}]"), R"(["\udfff",{"\udc80":"\ud83d\ude00"}])");
    EXPECT_EQ(encode("[2**100, -2**100, -10**40]"),
              "[1267650600228229401496703205376,-1267650600228229401496703205376,"
              "-10000000000000000000000000000000000000000]");
    // Text handed around as std::string (output, tracebacks, reprs) keeps the code point too.
    PyObject* s = PyUnicode_DecodeUTF8("x\xED\xA0\x80y", 5, "surrogatepass");
    ASSERT_NE(s, nullptr);
    std::string utf8 = py_json::utf8_of(GilHeld::from_python(), s);
    EXPECT_EQ(utf8, "x\xED\xA0\x80y");
    std::string out;
    json_text::append_string(out, utf8);
    EXPECT_EQ(out, R"("x\ud800y")");
    PyObject* back = py_json::str_of(GilHeld::from_python(), utf8);
    EXPECT_EQ(PyUnicode_Compare(back, s), 0);
    Py_DECREF(back);
    Py_DECREF(s);
}
