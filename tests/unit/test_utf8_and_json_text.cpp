#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "messaging/json_parse.hpp"
#include "messaging/json_text.hpp"
#include "util/utf8.hpp"

using namespace gridlet;

TEST(Utf8, CountsCodePointsNotBytes) {
    EXPECT_EQ(utf8::count_code_points(""), 0u);
    EXPECT_EQ(utf8::count_code_points("abc"), 3u);
    EXPECT_EQ(utf8::count_code_points("\xC3\xA9t\xC3\xA9"), 3u);  // été
    EXPECT_EQ(utf8::count_code_points("\xF0\x9F\x98\x80x"), 2u);  // emoji + x
    // A sequence split across two reads still counts once.
    EXPECT_EQ(utf8::count_code_points("\xE2\x82") + utf8::count_code_points("\xAC"), 1u);
}

TEST(Utf8, OffsetsLandOnCodePointBoundaries) {
    std::string s = "a\xC3\xA9\xF0\x9F\x98\x80z";  // a é 😀 z
    EXPECT_EQ(utf8::offset_of_code_point(s, 0), 0u);
    EXPECT_EQ(utf8::offset_of_code_point(s, 1), 1u);
    EXPECT_EQ(utf8::offset_of_code_point(s, 2), 3u);
    EXPECT_EQ(utf8::offset_of_code_point(s, 3), 7u);
    EXPECT_EQ(utf8::offset_of_code_point(s, 4), s.size());
    EXPECT_EQ(utf8::offset_of_code_point(s, 99), s.size());
}

TEST(JsonText, FloatsAreShortestAndStayFloats) {
    auto f = [](double d) {
        std::string out;
        json_text::append_double(out, d);
        return out;
    };
    EXPECT_EQ(f(2.5), "2.5");
    EXPECT_EQ(f(100.0), "100.0");
    EXPECT_EQ(f(0.1), "0.1");
    EXPECT_EQ(f(-0.0), "-0.0");
    EXPECT_EQ(f(1e300), "1e+300");
    EXPECT_EQ(f(std::nan("")), "null");
    EXPECT_EQ(f(HUGE_VAL), "null");
    // The layout std::to_chars picks: fixed unless scientific is shorter, and then the exact
    // value's digits (not the shortest digits padded with zeros).
    EXPECT_EQ(f(1e-4), "1e-04");
    EXPECT_EQ(f(0.001), "0.001");
    EXPECT_EQ(f(1e15), "1e+15");
    EXPECT_EQ(f(123456789012345.0), "123456789012345.0");
    EXPECT_EQ(f(1e16), "1e+16");
    EXPECT_EQ(f(83406955230759872.0), "83406955230759872.0");
    EXPECT_EQ(f(-8119132263947012096.0), "-8119132263947012096.0");
    EXPECT_EQ(f(1e21), "1e+21");
    EXPECT_EQ(f(1.5e-100), "1.5e-100");
    // Round trip through the kernel's parser gives the same double.
    for (double d : {1.0 / 3.0, 123456789.123456789, 5e-324, 1.7976931348623157e308, 0.1 + 0.2}) {
        boost::system::error_code ec;
        EXPECT_EQ(json_parse::parse(f(d), ec).as_double(), d);
        EXPECT_FALSE(ec);
    }
}

TEST(JsonText, StringsEscapeOnlyWhatJsonNeeds) {
    std::string out;
    json_text::append_string(out, "a\"b\\c\n\x01\xC3\xA9");
    EXPECT_EQ(out, "\"a\\\"b\\\\c\\n\\u0001\xC3\xA9\"");
    EXPECT_EQ(boost::json::parse(out).as_string(), "a\"b\\c\n\x01\xC3\xA9");
}

TEST(JsonText, NeedsEscapeAgreesWithTheEscaper) {
    // Every byte in every position of an 8-byte word and past it, and the surrogate forms.
    std::vector<std::string> texts = {"",
                                      "plain ascii text, longer than a word",
                                      "\xC3\xA9\xE2\x82\xAC ok",
                                      "\xED\x9F\xBF fine",
                                      "\xED\xA0\x80 surrogate",
                                      "\xED"};
    for (int c = 0; c < 256; ++c)
        for (std::size_t at : {0, 3, 7, 8, 12}) texts.push_back(std::string(at, 'a') + char(c) + std::string(5, 'b'));
    for (const auto& t : texts) {
        std::string out;
        json_text::append_escaped(out, t);
        EXPECT_EQ(json_text::needs_escape(t), out != t) << testing::PrintToString(t);
    }
}

TEST(JsonText, ValuesAreCompact) {
    auto v = boost::json::parse(R"({ "a" : [1, 2.5, true, null, "x"], "b" : {"c": -3} })");
    EXPECT_EQ(json_text::serialize(v), R"({"a":[1,2.5,true,null,"x"],"b":{"c":-3}})");
}

TEST(JsonParse, ReadsNumbersExactlyAndRejectsBrokenText) {
    boost::system::error_code ec;
    auto v = json_parse::parse(R"({"a":[123456789.123456789,1e-7,-0.5,7,18446744073709551615]})", ec);
    ASSERT_FALSE(ec);
    const auto& a = v.at("a").as_array();
    EXPECT_EQ(a[0].as_double(), 123456789.123456789);
    EXPECT_EQ(a[1].as_double(), 1e-7);
    EXPECT_EQ(a[2].as_double(), -0.5);
    EXPECT_EQ(a[3].as_int64(), 7);
    EXPECT_EQ(a[4].as_uint64(), 18446744073709551615ull);
    json_parse::parse("{\"a\":", ec);
    EXPECT_TRUE(ec);
    json_parse::parse("[1] trailing", ec);
    EXPECT_TRUE(ec);
}
