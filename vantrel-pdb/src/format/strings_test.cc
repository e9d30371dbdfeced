#include "format/strings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vantrel_pdb {
namespace {

using ByteVec = std::vector<std::uint8_t>;

ByteVec bytes_of(std::string_view s) { return ByteVec(s.begin(), s.end()); }

std::string decode_all(const ByteVec& image, std::uint64_t pos = 0) {
  auto text = decode_string(image, pos);
  EXPECT_TRUE(text.has_value()) << (text ? "" : text.error().message());
  return text.value_or("<error>");
}

ByteVec long_string(std::uint8_t kind, const ByteVec& body) {
  ByteVec out(4 + body.size(), 0);
  out[0] = kind;
  encode_fixed16(out.data() + 1, static_cast<std::uint16_t>(body.size() + 4));
  std::copy(body.begin(), body.end(), out.begin() + 4);
  return out;
}

TEST(EncodeString, ShortAsciiLimits) {
  EXPECT_EQ(*encode_string(""), ByteVec{0x03});
  EXPECT_EQ(*encode_string("ab"), (ByteVec{0x07, 'a', 'b'}));
  auto e126 = *encode_string(std::string(126, 'x'));
  ASSERT_EQ(e126.size(), 127u);
  EXPECT_EQ(e126[0], 0xFF);
}

TEST(EncodeString, LongAsciiFrom127Bytes) {
  auto e = *encode_string(std::string(127, 'x'));
  ASSERT_EQ(e.size(), 131u);
  EXPECT_EQ((ByteVec(e.begin(), e.begin() + 4)), (ByteVec{0x40, 0x83, 0x00, 0x00}));
  EXPECT_EQ(e[4], 'x');
}

TEST(EncodeString, LongAsciiLimit) {
  auto e = encode_string(std::string(32763, 'x'));
  ASSERT_TRUE(e);
  EXPECT_EQ(decode_fixed16(e->data() + 1), 32767);
  auto too_long = encode_string(std::string(32764, 'x'));
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().message(), "string too long for PDB encoding");
}

TEST(EncodeString, OneNonAsciiCharacterMakesWholeTextUtf16) {
  auto e = *encode_string("caf\xC3\xA9");
  EXPECT_EQ(e, (ByteVec{0x90, 12, 0, 0, 'c', 0, 'a', 0, 'f', 0, 0xE9, 0}));
}

TEST(EncodeString, SurrogatePairAboveBmp) {
  auto e = *encode_string("\xF0\x9F\x8E\xB5");  // U+1F3B5
  EXPECT_EQ(e, (ByteVec{0x90, 8, 0, 0, 0x3C, 0xD8, 0xB5, 0xDF}));
}

TEST(EncodeString, Utf16Limit) {
  // 16,381 units of U+00E9 = 32,762 bytes fit; 16,382 units = 32,764 do not.
  std::string fits, too_long;
  for (int i = 0; i < 16381; ++i) fits += "\xC3\xA9";
  too_long = fits + "\xC3\xA9";
  EXPECT_TRUE(encode_string(fits));
  EXPECT_FALSE(encode_string(too_long));
}

TEST(DecodeString, EmptyForms) {
  EXPECT_EQ(decode_all({0x03}), "");
  EXPECT_EQ(decode_all({0x01}), "");
  EXPECT_EQ(decode_all(long_string(0x40, {})), "");
  EXPECT_EQ(decode_all(long_string(0x90, {})), "");
}

TEST(DecodeString, AtAbsolutePosition) {
  ByteVec image = {0xAA, 0xBB, 0x07, 'h', 'i', 0xCC};
  EXPECT_EQ(decode_all(image, 2), "hi");
}

TEST(DecodeString, Utf16SurrogatesAndOddLength) {
  EXPECT_EQ(decode_all(long_string(0x90, {0x3C, 0xD8, 0xB5, 0xDF})), "\xF0\x9F\x8E\xB5");
  EXPECT_EQ(decode_all(long_string(0x90, {0x00, 0xDC, 'A', 0})),
            "\xEF\xBF\xBD"
            "A");  // lone low
  EXPECT_EQ(decode_all(long_string(0x90, {0x00, 0xD8, 'A', 0})),
            "\xEF\xBF\xBD"
            "A");                                                                   // high, no low
  EXPECT_EQ(decode_all(long_string(0x90, {'A', 0, 0x00, 0xD8})), "A\xEF\xBF\xBD");  // high at the end
  EXPECT_EQ(decode_all(long_string(0x90, {'A', 0, 'B'})), "A");                     // odd byte dropped
}

// Texts of eight units and more decode to what they were encoded from,
// whether their ASCII runs meet the rest inside eight units or across them.
TEST(DecodeString, Utf16RoundTripsAcrossBlocks) {
  for (const std::string text :
       {"Zemi Elka \xC3\x91" "and\xC3\xBA 0123456789", "abcdefgh\xC3\xA9", "\xC3\xA9" "abcdefghijklmnop",
        "abcdefg\xF0\x9F\x8E\xB5hijklmnopq", "\xE6\x9D\xB1\xE4\xBA\xAC abcdefgh ijklmnop \xE6\x9D\xB1"}) {
    auto encoded = encode_string(text);
    ASSERT_TRUE(encoded);
    ASSERT_EQ((*encoded)[0], 0x90) << text;
    EXPECT_EQ(decode_all(*encoded), text);
  }
}

struct ReplacementCase {
  const char* name;
  std::string bytes;
  std::string expected;
};

class AsciiKindReplacement : public ::testing::TestWithParam<ReplacementCase> {};

// One U+FFFD per maximal invalid subsequence, in both ASCII kinds.
TEST_P(AsciiKindReplacement, ShortAndLong) {
  const auto& c = GetParam();
  ByteVec body = bytes_of(c.bytes);
  ByteVec shorter = {static_cast<std::uint8_t>(2 * body.size() + 3)};
  shorter.insert(shorter.end(), body.begin(), body.end());
  EXPECT_EQ(decode_all(shorter), c.expected);
  EXPECT_EQ(decode_all(long_string(0x40, body)), c.expected);
}

const std::string kFFFD = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(Cases, AsciiKindReplacement,
                         ::testing::Values(ReplacementCase{"valid_two_byte", "\xC3\xA9", "\xC3\xA9"},
                                           ReplacementCase{"c3_28", "\xC3\x28", kFFFD + "("},
                                           ReplacementCase{"truncated_three_byte", "\xE2\x82\x41", kFFFD + "A"},
                                           ReplacementCase{"lone_continuation",
                                                           "\x80"
                                                           "A",
                                                           kFFFD + "A"},
                                           ReplacementCase{"overlong", "\xC0\xAF", kFFFD + kFFFD},
                                           ReplacementCase{"surrogate_in_utf8", "\xED\xA0\x80", kFFFD + kFFFD + kFFFD},
                                           ReplacementCase{"f0_bad_second", "\xF0\x80\x80", kFFFD + kFFFD + kFFFD},
                                           ReplacementCase{"above_max", "\xF4\x90\x80\x80",
                                                           kFFFD + kFFFD + kFFFD + kFFFD},
                                           ReplacementCase{"truncated_at_end", "A\xF0\x9F\x8E", "A" + kFFFD},
                                           ReplacementCase{"encoded_fffd_kept", kFFFD, kFFFD}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(DecodeString, UnknownKind) {
  ByteVec image(8232 + 8, 0);
  image[8232] = 0x02;
  encode_fixed16(image.data() + 8233, 4);
  auto r = decode_string(image, 8232);
  ASSERT_FALSE(r);
  ASSERT_TRUE(r.error().is<pdb_error::UnknownString>());
  EXPECT_EQ(r.error().message(), "unknown PDB string kind 0x02 at offset 0x2028");
}

// A string that runs past the end fails instead of reading outside.
TEST(DecodeString, MalformedLengthsFailInsideTheImage) {
  EXPECT_FALSE(decode_string(ByteVec{}, 0));
  EXPECT_FALSE(decode_string(ByteVec{0x03}, 1));
  EXPECT_FALSE(decode_string(ByteVec{0x07, 'a'}, 0));           // short, one byte missing
  EXPECT_FALSE(decode_string(ByteVec{0x40, 9, 0, 0, 'a'}, 0));  // long, T beyond the end
  EXPECT_FALSE(decode_string(ByteVec{0x40, 3, 0, 0}, 0));       // T below its header
  EXPECT_FALSE(decode_string(ByteVec{0x40, 4}, 0));             // no room for T
  // An even kind with an impossible length is malformed, not an unknown kind.
  auto r = decode_string(ByteVec{0x02, 0xFF, 0xFF, 0}, 0);
  ASSERT_FALSE(r);
  EXPECT_FALSE(r.error().is<pdb_error::UnknownString>());
  EXPECT_FALSE(decode_string(ByteVec{0x03}, UINT64_MAX));
}

TEST(StringRoundTrip, EncodeThenDecodeGivesTheText) {
  for (std::string text : {std::string(""), std::string("House"), std::string(126, 'a'), std::string(127, 'b'),
                           std::string(32763, 'c'), std::string("D\xC3\xBCsseldorf"),
                           std::string("\xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x8E\xA7"), std::string("tab\tnul\0x", 9)}) {
    auto encoded = encode_string(text);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(decode_all(*encoded), text);
  }
}

}  // namespace
}  // namespace vantrel_pdb
