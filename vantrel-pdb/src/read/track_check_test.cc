#include "read/track_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>

#include "read/track.h"
#include "testing/image_builder.h"

namespace vantrel_pdb {
namespace {

using testing::TrackRowFields;
namespace r = track_row;

constexpr std::uint64_t kAt = 8;  // the row's location in its image

std::vector<std::uint8_t> image_with_row() {
  TrackRowFields row_spec;
  for (std::size_t i = 0; i < r::kStringCount; ++i) row_spec.strings[i] = "slot " + std::to_string(i);
  row_spec.strings[r::kTitleSlot] = "T\xC3\xADtulo \xF0\x9F\x8E\xA7";
  row_spec.strings[r::kCommentSlot] = std::string(300, 'c');
  row_spec.strings[r::kFileNameSlot] = "";
  auto row = testing::track_row(row_spec);
  // Sized first, then filled: GCC 12 misjudges an insert into a small
  // vector in optimised builds.
  std::vector<std::uint8_t> image(kAt + row.size(), 0xEE);
  std::copy(row.begin(), row.end(), image.begin() + kAt);
  return image;
}

std::uint64_t string_at(const std::vector<std::uint8_t>& image, std::size_t slot) {
  return kAt + decode_fixed16(image.data() + kAt + r::kStringOffsetsOffset + 2 * slot);
}

struct Damage {
  const char* name;
  std::function<void(std::vector<std::uint8_t>&)> apply;
};

class TrackCheck : public ::testing::TestWithParam<Damage> {};

// The check succeeds and fails exactly as the parse does, with the same
// error, and counts the text the parsed record holds.
TEST_P(TrackCheck, AgreesWithParse) {
  auto image = image_with_row();
  GetParam().apply(image);
  auto parsed = Track::parse(image, kAt);
  auto checked = check_track_row(image, kAt);
  auto text = check_track_row_text(image, kAt);
  auto sizes = check_track_row_text_sizes(image, kAt);
  ASSERT_EQ(checked.has_value(), parsed.has_value());
  ASSERT_EQ(text.has_value(), parsed.has_value());
  ASSERT_EQ(sizes.has_value(), parsed.has_value());
  if (!parsed) {
    EXPECT_EQ(checked.error().message(), parsed.error().message());
    EXPECT_EQ(text.error().message(), parsed.error().message());
    EXPECT_EQ(sizes.error().message(), parsed.error().message());
    return;
  }
  std::uint64_t size = 0;
  for (std::size_t i = 0; i < r::kStringCount; ++i) {
    size += parsed->strings[i].size();
    EXPECT_EQ((*sizes)[i], parsed->strings[i].size()) << "slot " << i;
  }
  EXPECT_EQ(*text, size);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TrackCheck,
    ::testing::Values(Damage{"sound", [](auto&) {}},
                      Damage{"unknown_kind_in_slot_5", [](auto& image) { image[string_at(image, 5)] = 0x02; }},
                      Damage{"unknown_kinds_in_slots_3_and_9_first_wins",
                             [](auto& image) {
                               image[string_at(image, 9)] = 0x44;
                               image[string_at(image, 3)] = 0x06;
                             }},
                      Damage{"invalid_utf8_is_replaced", [](auto& image) { image[string_at(image, 2) + 1] = 0xFF; }},
                      Damage{"offset_past_the_end",
                             [](auto& image) {
                               encode_fixed16(image.data() + kAt + r::kStringOffsetsOffset + 2 * 20, 0xFFFF);
                             }},
                      Damage{"last_string_cut_short", [](auto& image) { image.resize(image.size() - 1); }},
                      Damage{"fixed_part_cut_short", [](auto& image) { image.resize(kAt + r::kFixedSize - 1); }},
                      Damage{"long_total_below_header",
                             [](auto& image) {
                               std::uint64_t at = string_at(image, r::kCommentSlot);
                               encode_fixed16(image.data() + at + 1, 2);
                             }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(TrackCheck, RowAtTheVeryEndOrBeyond) {
  auto image = image_with_row();
  for (std::uint64_t location : {std::uint64_t{image.size()}, std::uint64_t{image.size()} + 1, UINT64_MAX}) {
    EXPECT_FALSE(check_track_row(image, location));
    EXPECT_FALSE(check_track_row_text(image, location));
  }
}

}  // namespace
}  // namespace vantrel_pdb
