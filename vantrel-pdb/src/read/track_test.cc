#include "read/track.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "testing/image_builder.h"

namespace vantrel_pdb {
namespace {

using testing::TrackRowFields;

TrackRowFields full_spec() {
  TrackRowFields s;
  s.id = 907;
  s.artist_id = 2;
  s.album_id = 3;
  s.genre_id = 4;
  s.key_id = 5;
  s.label_id = 6;
  s.artwork_id = 7;
  s.tempo = 12850;
  s.sample_rate = 48000;
  s.file_size = 123456;
  s.bitrate = 320;
  s.duration = 65535;
  s.sample_depth = 24;
  s.rating = 255;
  for (std::size_t i = 0; i < 21; ++i) s.strings[i] = "slot" + std::to_string(i);
  s.strings[17] = "T\xC3\xADtulo";
  return s;
}

TEST(TrackParse, EveryFieldAtItsOffset) {
  auto row = testing::track_row(full_spec());
  std::vector<std::uint8_t> image(10 + row.size(), 0xEE);
  std::copy(row.begin(), row.end(), image.begin() + 10);
  testing::put_u16(image, 10 + 2, 160);
  testing::put_u32(image, 10 + 4, 0x000C0700);
  testing::put_u32(image, 10 + 12, 11);
  testing::put_u32(image, 10 + 36, 12);
  testing::put_u32(image, 10 + 44, 13);
  testing::put_u32(image, 10 + 52, 14);
  testing::put_u16(image, 10 + 76, 15);
  testing::put_u16(image, 10 + 78, 16);
  testing::put_u16(image, 10 + 80, 17);
  testing::put_u8(image, 10 + 88, 18);
  auto t = Track::parse(image, 10);
  ASSERT_TRUE(t) << t.error().message();
  EXPECT_EQ(t->id, 907u);
  EXPECT_EQ(t->slot_stamp, 160);
  EXPECT_EQ(t->aux_word, 0x000C0700u);
  EXPECT_EQ(t->sample_rate, 48000u);
  EXPECT_EQ(t->aux_id_a, 11u);
  EXPECT_EQ(t->file_size, 123456u);
  EXPECT_EQ(t->artwork_id, 7u);
  EXPECT_EQ(t->key_id, 5u);
  EXPECT_EQ(t->aux_id_b, 12u);
  EXPECT_EQ(t->label_id, 6u);
  EXPECT_EQ(t->aux_id_c, 13u);
  EXPECT_EQ(t->bitrate, 320u);
  EXPECT_EQ(t->aux_number, 14u);
  EXPECT_EQ(t->tempo, 12850u);
  EXPECT_EQ(t->genre_id, 4u);
  EXPECT_EQ(t->album_id, 3u);
  EXPECT_EQ(t->artist_id, 2u);
  EXPECT_EQ(t->aux_short_a, 15);
  EXPECT_EQ(t->aux_short_b, 16);
  EXPECT_EQ(t->aux_short_c, 17);
  EXPECT_EQ(t->sample_depth, 24);
  EXPECT_EQ(t->duration, 65535);
  EXPECT_EQ(t->aux_byte, 18);
  EXPECT_EQ(t->rating, 255);
  EXPECT_EQ(t->strings[17], "T\xC3\xADtulo");
  EXPECT_EQ(t->strings[0], "slot0");
  EXPECT_EQ(t->strings[20], "slot20");
}

TEST(TrackParse, UnkeptBytesDoNotChangeTheRecord) {
  auto row = testing::track_row(full_spec());
  auto base = Track::parse(row, 0);
  ASSERT_TRUE(base);
  for (std::size_t off : {0u, 1u, 20u, 21u, 22u, 23u, 24u, 25u, 26u, 27u, 86u, 87u, 90u, 91u, 92u, 93u}) {
    auto changed = row;
    changed[off] ^= 0x5A;
    auto t = Track::parse(changed, 0);
    ASSERT_TRUE(t);
    EXPECT_EQ(*t, *base) << "offset " << off;
  }
}

TEST(TrackParse, SharedAndReversedStringOffsets) {
  auto row = testing::track_row(full_spec());
  // Slot 3 points at slot 20's string; slot 20 at slot 0's.
  std::uint16_t off20 = testing::get_u16(row, 94 + 40);
  std::uint16_t off0 = testing::get_u16(row, 94);
  testing::put_u16(row, 94 + 6, off20);
  testing::put_u16(row, 94 + 40, off0);
  auto t = Track::parse(row, 0);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->strings[3], "slot20");
  EXPECT_EQ(t->strings[20], "slot0");
}

TEST(TrackParse, UnknownStringInAnUnshownSlotFails) {
  auto row = testing::track_row(full_spec());
  std::uint16_t off5 = testing::get_u16(row, 94 + 10);
  row[off5] = 0x42;
  testing::put_u16(row, off5 + 1u, 4);
  auto t = Track::parse(row, 0);
  ASSERT_FALSE(t);
  EXPECT_EQ(
      t.error().message(), "unknown PDB string kind 0x42 at offset 0x" + [&] {
        char b[16];
        std::snprintf(b, sizeof b, "%x", off5);
        return std::string(b);
      }());
}

TEST(TrackParse, RowPastTheEndFails) {
  auto row = testing::track_row(full_spec());
  EXPECT_FALSE(Track::parse(std::span(row).first(135), 0));
  EXPECT_FALSE(Track::parse(row, row.size()));
  auto bad = row;
  testing::put_u16(bad, 94 + 40, 0xFFFF);  // slot 20 beyond the image
  EXPECT_FALSE(Track::parse(bad, 0));
  EXPECT_FALSE(Track::parse(row, UINT64_MAX - 10));
}

// One slot's text reads as the record holds it, through the string offsets
// as they stand (shared and reversed ones too).
TEST(SlotText, ReadsWhatTheRecordHolds) {
  auto plain = testing::track_row(full_spec());
  auto twisted = plain;
  testing::put_u16(twisted, 94 + 6, testing::get_u16(plain, 94 + 40));
  testing::put_u16(twisted, 94 + 40, testing::get_u16(plain, 94));
  for (const auto& row : {plain, twisted}) {
    auto record = Track::parse(row, 0);
    ASSERT_TRUE(record);
    for (std::size_t slot = 0; slot < track_row::kStringCount; ++slot) {
      std::string text = "kept:";
      ASSERT_TRUE(append_slot_text(row, 0, slot, text));
      EXPECT_EQ(text, "kept:" + record->strings[slot]) << "slot " << slot;
    }
  }
}

// A bad string fails when it is read, with the record's error; the output
// is left as it was.
TEST(SlotText, FailsWhereTheRecordFails) {
  auto row = testing::track_row(full_spec());
  testing::put_u16(row, 94 + 40, 0xFFFF);  // slot 20 beyond the image
  auto record = Track::parse(row, 0);
  ASSERT_FALSE(record);
  std::string text = "kept";
  auto failed = append_slot_text(row, 0, 20, text);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(), record.error().message());
  EXPECT_EQ(text, "kept");
  EXPECT_FALSE(append_slot_text(row, 0, track_row::kStringCount, text));
  EXPECT_TRUE(append_slot_text(row, 0, 19, text));
}

}  // namespace
}  // namespace vantrel_pdb
