#include "read/named_rows.h"

#include <gtest/gtest.h>

#include "testing/image_builder.h"

namespace vantrel_pdb {
namespace {

using testing::pdb_string;

TEST(ArtistParse, NearAndFarNameOffsets) {
  auto row = testing::artist_row(9, "Near");
  testing::put_u16(row, 2, 96);
  auto a = Artist::parse(row, 0);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->name, "Near");
  EXPECT_EQ(a->id, 9u);
  EXPECT_EQ(a->slot_stamp, 96);

  // Subtype 0x64: the u16 at 10 names the name even though byte 9 says 10.
  std::vector<std::uint8_t> far = {0x64, 0, 0, 0, 5, 0, 0, 0, 3, 10, 12, 0};
  auto name = pdb_string("Far");
  far.insert(far.end(), name.begin(), name.end());
  auto f = Artist::parse(far, 0);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->name, "Far");

  // Any other subtype, 0x61 included, uses the near offset.
  row[0] = 0x61;
  EXPECT_EQ(Artist::parse(row, 0)->name, "Near");
}

TEST(AlbumParse, FieldsAndSubtypeIgnored) {
  auto row = testing::album_row(12, 34, "Album");
  row[0] = 0x84;
  auto a = Album::parse(row, 0);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->id, 12u);
  EXPECT_EQ(a->artist_id, 34u);
  EXPECT_EQ(a->name, "Album");
}

TEST(IdNameParse, SharedByGenreLabelArtworkHistory) {
  auto row = testing::id_name_row(77, "");
  EXPECT_EQ(Genre::parse(row, 0)->id, 77u);
  EXPECT_EQ(Label::parse(row, 0)->name, "");
  EXPECT_EQ(Artwork::parse(row, 0)->id, 77u);
  EXPECT_EQ(HistoryPlaylist::parse(row, 0)->id, 77u);
}

TEST(KeyParse, IdFromOffsetZero) {
  auto row = testing::key_row(8, "Am");
  testing::put_u32(row, 4, 99);
  auto k = Key::parse(row, 0);
  ASSERT_TRUE(k);
  EXPECT_EQ(k->id, 8u);
  EXPECT_EQ(k->name, "Am");
}

TEST(ColorParse, IdFromBytesFiveAndSix) {
  auto row = testing::color_row(0x0102, "Pink");
  for (std::size_t i : {0u, 1u, 2u, 3u, 4u, 7u}) row[i] = 0xAB;
  auto c = Color::parse(row, 0);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->id, 0x0102);
  EXPECT_EQ(c->name, "Pink");
}

TEST(Kind16Parse, SixteenBitId) {
  auto row = testing::kind16_row(0xBEEF, "x");
  testing::put_u16(row, 2, 0xFFFF);
  auto k = Kind16Row::parse(row, 0);
  ASSERT_TRUE(k);
  EXPECT_EQ(k->id, 0xBEEF);
  EXPECT_EQ(k->name, "x");
}

TEST(NamedRowsParse, TruncatedRowsFail) {
  auto artist = testing::artist_row(1, "abc");
  EXPECT_FALSE(Artist::parse(std::span(artist).first(9), 0));
  std::vector<std::uint8_t> far = {0x64, 0, 0, 0, 5, 0, 0, 0, 3, 10, 0xFF};
  EXPECT_FALSE(Artist::parse(far, 0));
  auto album = testing::album_row(1, 1, "abc");
  EXPECT_FALSE(Album::parse(std::span(album).first(21), 0));
  album[21] = 0xFF;  // name offset past the end
  EXPECT_FALSE(Album::parse(album, 0));
  EXPECT_FALSE(Genre::parse(std::vector<std::uint8_t>{1, 0, 0}, 0));
  EXPECT_FALSE(Key::parse(std::vector<std::uint8_t>{1, 0, 0, 0, 1, 0, 0, 0}, 0));
  EXPECT_FALSE(Color::parse(std::vector<std::uint8_t>{0, 0, 0, 0, 0, 1}, 0));
  EXPECT_FALSE(Kind16Row::parse(std::vector<std::uint8_t>{1, 0, 0, 0}, 0));
}

}  // namespace
}  // namespace vantrel_pdb
