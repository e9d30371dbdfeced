#include "json_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "testing/xorshift.h"

namespace dovrel {
namespace {

std::string escaped(std::string_view text) {
  std::string out;
  append_json_escaped(out, text);
  return out;
}

struct EscapeCase {
  std::string input;
  std::string output;
};

class JsonEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscape, EscapesOnlyWhatJsonRequires) { EXPECT_EQ(escaped(GetParam().input), GetParam().output); }

INSTANTIATE_TEST_SUITE_P(Cases, JsonEscape,
                         ::testing::Values(EscapeCase{"", ""}, EscapeCase{"plain", "plain"},
                                           EscapeCase{"a\"b", "a\\\"b"}, EscapeCase{"a\\b", "a\\\\b"},
                                           EscapeCase{"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
                                           EscapeCase{std::string("\0", 1), "\\u0000"}, EscapeCase{"\x01", "\\u0001"},
                                           EscapeCase{"\x0b", "\\u000b"}, EscapeCase{"\x1f", "\\u001f"},
                                           EscapeCase{"\x1a\x1b", "\\u001a\\u001b"}, EscapeCase{"a/b", "a/b"},
                                           EscapeCase{"\x7f", "\x7f"}, EscapeCase{" ~", " ~"},
                                           EscapeCase{"Caf\xc3\xa9 \xe2\x99\xab \xf0\x9f\x8e\xb5",
                                                      "Caf\xc3\xa9 \xe2\x99\xab \xf0\x9f\x8e\xb5"},
                                           EscapeCase{"x\ny\"z\\", "x\\ny\\\"z\\\\"}));

std::string bpm(std::uint32_t hundredths) {
  std::string out;
  append_json_double(out, static_cast<double>(hundredths) / 100.0);
  return out;
}

TEST(JsonDouble, ShortestRoundTripWithFraction) {
  EXPECT_EQ(bpm(12000), "120.0");
  EXPECT_EQ(bpm(12850), "128.5");
  EXPECT_EQ(bpm(12345), "123.45");
  EXPECT_EQ(bpm(0), "0.0");
  EXPECT_EQ(bpm(1), "0.01");
  EXPECT_EQ(bpm(7), "0.07");
  EXPECT_EQ(bpm(4294967295u), "42949672.95");
}

TEST(JsonDouble, NeverAnExponent) {
  auto text = [](double v) {
    std::string out;
    append_json_double(out, v);
    return out;
  };
  EXPECT_EQ(text(1e21), "1000000000000000000000.0");
  EXPECT_EQ(text(1e-7), "0.0000001");
  EXPECT_EQ(text(-2.5), "-2.5");
  EXPECT_EQ(text(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(std::stod(text(1.7976931348623157e308)), 1.7976931348623157e308);
  EXPECT_EQ(text(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(text(std::numeric_limits<double>::quiet_NaN()), "null");
}

TEST(JsonWriter, PlacesCommasAndColons) {
  JsonWriter w;
  w.begin_object();
  w.key("a");
  w.begin_array();
  w.end_array();
  w.key("b");
  w.begin_array();
  w.uint_value(1);
  w.begin_object();
  w.end_object();
  w.begin_array();
  w.uint_value(2);
  w.uint_value(3);
  w.end_array();
  w.bool_value(false);
  w.end_array();
  w.key("c");
  w.begin_object();
  w.key("d");
  w.string_value("e");
  w.key("f");
  w.double_value(1.5);
  w.end_object();
  w.key("g");
  w.bool_value(true);
  w.end_object();
  EXPECT_EQ(w.str(), R"({"a":[],"b":[1,{},[2,3],false],"c":{"d":"e","f":1.5},"g":true})");
}

TEST(JsonWriter, IntegersInPlainDecimal) {
  JsonWriter w;
  w.begin_array();
  w.uint_value(0);
  w.uint_value(4294967295u);
  w.uint_value(UINT64_MAX);
  w.end_array();
  EXPECT_EQ(w.str(), "[0,4294967295,18446744073709551615]");
}

TEST(JsonWriter, EscapesStringValues) {
  JsonWriter w;
  w.begin_object();
  w.key("k");
  w.string_value("v\x01/\"");
  w.key(std::string(40, 'x'));  // longer than the one-append path
  w.string_value("");
  w.end_object();
  EXPECT_EQ(w.str(), "{\"k\":\"v\\u0001/\\\"\",\"" + std::string(40, 'x') + "\":\"\"}");
}

TEST(JsonEscape, LongTextsWithEscapesAtEveryPosition) {
  // The block scan (eight or sixteen bytes) must find an escape wherever it
  // sits in a block, the overlapping last block included.
  for (std::size_t length = 1; length <= 40; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      for (char special : {'"', '\\', '\x1f', '\0'}) {
        std::string text(length, 'a');
        text[at] = special;
        std::string expected =
            std::string(at, 'a') + escaped(std::string(1, special)) + std::string(length - at - 1, 'a');
        EXPECT_EQ(escaped(text), expected) << length << " " << at;
      }
    }
  }
  // Bytes next to the special ones (0x20, '!', '#', '[', ']', 0x80, 0xff) pass.
  std::string near = " !#[]\x80\xff\x21\x23 \x5b\x5d";
  EXPECT_EQ(escaped(near), near);
  // The same in blocks of sixteen, where bytes of 0x80 and more must not
  // pass for control characters.
  for (std::size_t length : {16u, 17u, 31u, 32u, 33u}) {
    std::string high;
    for (std::size_t i = 0; i < length; ++i) high += "\x20\x21\x23\x5b\x5d\x7f\x80\xa0\xdc\xff"[i % 10];
    EXPECT_EQ(escaped(high), high) << length;
  }
}

std::string hundredths(std::uint32_t n) {
  std::string out;
  append_json_hundredths(out, n);
  return out;
}

// The integer form gives what the floating-point form gives, for every value
// up to 400,000 (every tempo a track plausibly has), around the powers of
// ten and of two, near the top, and for a spread of values in between.
TEST(JsonHundredths, WritesWhatTheDoubleWrites) {
  for (std::uint32_t n = 0; n <= 400000; ++n) ASSERT_EQ(hundredths(n), bpm(n)) << n;
  std::vector<std::uint32_t> edges = {4294967295u, 4294967294u, 4294967200u, 4294967199u, 4294967290u};
  for (std::uint64_t p = 10; p <= 1000000000u; p *= 10) {
    for (std::uint64_t n : {p - 1, p, p + 1}) edges.push_back(static_cast<std::uint32_t>(n));
  }
  for (int b = 20; b < 32; ++b) {
    const std::uint32_t p = 1u << b;
    edges.insert(edges.end(), {p - 1, p, p + 1});
  }
  for (std::uint32_t n : edges) EXPECT_EQ(hundredths(n), bpm(n)) << n;
  vantrel_pdb::testing::XorShift64 next(88172645463325252u);
  for (int i = 0; i < 200000; ++i) {
    const auto n = static_cast<std::uint32_t>(next());
    ASSERT_EQ(hundredths(n), bpm(n)) << n;
  }
}

TEST(JsonWriter, HundredthsValueIsSeparatedLikeAnyValue) {
  JsonWriter w;
  w.begin_array();
  w.hundredths_value(12850);
  w.hundredths_value(0);
  w.hundredths_value(5);
  w.end_array();
  EXPECT_EQ(w.str(), "[128.5,0.0,0.05]");
}

// Keys and strings written one step at a time into a writer that has to
// grow again and again (nothing reserved) come out whole and in order.
TEST(JsonWriter, GrowingWithoutReserveKeepsEveryByte) {
  JsonWriter w;
  std::string expected = "[";
  w.begin_array();
  for (int i = 0; i < 5000; ++i) {
    // Strings built by appending only: GCC 12 misjudges literal + temporary
    // string in optimised builds.
    std::string text(static_cast<std::size_t>(i % 37), static_cast<char>('a' + i % 26));
    if (i % 5 == 0) text.append("\"\n");
    const std::string number = std::to_string(i);
    std::string key = "k";
    key.append(number);
    w.begin_object();
    w.key(key);
    w.string_value(text);
    w.key("n");
    w.uint_value(static_cast<std::uint64_t>(i));
    w.end_object();
    expected.append(i ? ",{\"" : "{\"").append(key).append("\":\"").append(escaped(text)).append("\",\"n\":");
    expected.append(number).append("}");
  }
  w.end_array();
  EXPECT_EQ(w.str(), expected + "]");
}

}  // namespace
}  // namespace dovrel
