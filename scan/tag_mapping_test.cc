// The documented mappings from tag values to track fields, the text rules,
// and the naming of artwork files, as tables of cases.
#include "scan/tag_mapping.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/artwork_store.h"
#include "scan/sha256.h"
#include "scan/text.h"

namespace dovrel::scan {
namespace {

TEST(TagMapping, PopularimeterRangesGiveStars) {
  const std::vector<std::pair<unsigned, int>> cases = {{0, 0},   {1, 1},   {63, 1},  {64, 2},  {127, 2}, {128, 3},
                                                       {195, 3}, {196, 4}, {254, 4}, {255, 5}, {999, 5}};
  for (auto [rating, stars] : cases) EXPECT_EQ(stars_from_popularimeter(rating), stars) << rating;
}

TEST(TagMapping, RatingTextIsStarsOrAPercentage) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"0", 0},  {"3", 3},   {"5", 5},   {"2.5", 3}, {"2.4", 2}, {"6", 1}, {"20", 1},  {"21", 2},     {"60", 3},
      {"81", 5}, {"100", 5}, {"101", 0}, {"-1", 0},  {"", 0},    {"x", 0}, {" 4 ", 4}, {"4 stars", 4}};
  for (const auto& [text, stars] : cases) EXPECT_EQ(stars_from_rating_text(text), stars) << '"' << text << '"';
}

TEST(TagMapping, BpmTextIsItsLeadingNumber) {
  const std::vector<std::pair<std::string, double>> cases = {
      {"128", 128}, {"126.5", 126.5}, {"90,25", 90.25},     {" 174", 174}, {"120 BPM", 120}, {"", 0},
      {"fast", 0},  {"-120", 0},      {"99999.5", 99999.5}, {"100000", 0}, {".5", 0.5}};
  for (const auto& [text, bpm] : cases) EXPECT_DOUBLE_EQ(bpm_from_text(text), bpm) << '"' << text << '"';
}

TEST(TagMapping, DurationRoundsHalvesUpWithinSixteenBits) {
  const std::vector<std::pair<long long, int>> cases = {
      {-5, 0}, {0, 0}, {499, 0}, {500, 1}, {1499, 1}, {1500, 2}, {65'535'499, 65535}, {99'999'999, 65535}};
  for (auto [ms, seconds] : cases) EXPECT_EQ(duration_seconds(ms), seconds) << ms;
}

TEST(TagMapping, NumbersAreClampedToTheirField) {
  EXPECT_EQ(clamp_u32(-1), 0u);
  EXPECT_EQ(clamp_u32(4294967295LL), 4294967295u);
  EXPECT_EQ(clamp_u32(4294967296LL), 4294967295u);
}

TEST(TagMapping, TitleFromFileNameDropsTheLastExtension) {
  EXPECT_EQ(title_from_file_name("Low Sun.flac"), "Low Sun");
  EXPECT_EQ(title_from_file_name("a.b.mp3"), "a.b");
  EXPECT_EQ(title_from_file_name(".hidden"), ".hidden");
  EXPECT_EQ(title_from_file_name("Caf\xe9.wav"), "Caf\xef\xbf\xbd");  // a Latin-1 name
}

struct Utf8Case {
  std::string in;
  std::string out;
};

TEST(Text, EachMaximalInvalidSubsequenceBecomesOneReplacement) {
  const std::string r = "\xEF\xBF\xBD";
  const std::vector<Utf8Case> cases = {
      {"plain", "plain"},
      {"\xc3\xa9", "\xc3\xa9"},
      {"\xff", r},
      {"a\xe2\x82", "a" + r},  // a cut-short sequence is one subsequence
      {"\xe2\x82\xe2\x82\xac", r + "\xe2\x82\xac"},
      {"\xed\xa0\x80", r + r + r},          // a surrogate: the lead byte allows no A0
      {"\xf4\x90\x80\x80", r + r + r + r},  // beyond U+10FFFF
      {"\xc0\xaf", r + r},                  // overlong
  };
  for (const auto& c : cases) {
    EXPECT_EQ(valid_utf8(c.in), c.out);
    EXPECT_EQ(is_valid_utf8(c.in), c.in == c.out);
  }
}

TEST(Text, ClipNeverCutsACharacter) {
  EXPECT_EQ(clip_utf8("abc", 5), "abc");
  EXPECT_EQ(clip_utf8("ab\xc3\xa9", 3), "ab");
  EXPECT_EQ(clip_utf8("\xe5\xb1\xb1\xe7\x94\xb0", 5), "\xe5\xb1\xb1");
  EXPECT_EQ(clip_utf8("\xf0\x9f\x8e\xb5", 3), "");
  EXPECT_EQ(latin1_to_utf8("Caf\xe9"), "Caf\xc3\xa9");
  EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
}

TEST(Sha256, KnownDigests) {
  auto hex = [](std::string_view text) {
    return hex_prefix(sha256({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}), 64);
  };
  EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first block.
  EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hex(std::string(1000, 'a')), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3");
  EXPECT_EQ(hex_prefix(sha256({}), 16), "e3b0c44298fc1c14");
}

TEST(Artwork, ImageKindsByTheirFirstBytes) {
  auto kind = [](std::string_view bytes) {
    return image_extension({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}).value_or("-");
  };
  EXPECT_EQ(kind("\xFF\xD8\xFF\xE0rest"), "jpg");
  EXPECT_EQ(kind("\x89PNG\r\n\x1A\nrest"), "png");
  EXPECT_EQ(kind("GIF89a.."), "gif");
  EXPECT_EQ(kind("BM...."), "bmp");
  EXPECT_EQ(kind(std::string_view("RIFF\x10\0\0\0WEBPVP8 ", 16)), "webp");
  EXPECT_EQ(kind(std::string_view("RIFF\x10\0\0\0WAVE", 12)), "-");
  EXPECT_EQ(kind(""), "-");
  EXPECT_EQ(kind("<svg"), "-");
}

TEST(Artwork, FolderIsMadeRelativeAndShort) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"art", "art"},
      {"./covers//small/", "covers/small"},
      {"", ""},
      {"/art", std::nullopt},
      {"../art", std::nullopt},
      {"a/../b", std::nullopt},
      {"caf\xc3\xa9", std::nullopt},
      {"a\\b", std::nullopt},
      {"tab\there", std::nullopt},
      {std::string(kMaxArtworkFolderBytes, 'a'), std::string(kMaxArtworkFolderBytes, 'a')},
      {std::string(kMaxArtworkFolderBytes + 1, 'a'), std::nullopt},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(normal_artwork_folder(in), out) << '"' << in << '"';
  // The longest folder still gives an artwork path the database takes.
  EXPECT_EQ(1 + kMaxArtworkFolderBytes + 1 + kArtworkNameDigits + std::string(".webp").size(), 126u);
}

}  // namespace
}  // namespace dovrel::scan
