#include "vantrel_pdb/database.h"

#include <gtest/gtest.h>

#include "testing/image_builder.h"

namespace vantrel_pdb {
namespace {

using testing::ImageBuilder;
namespace f = format;

TEST(Database, ImageWithoutDecodedKindsLoadsEmptyLists) {
  ImageBuilder b;
  b.add_table(19);
  auto image = b.finish();
  auto db = Database::from_bytes(image);
  ASSERT_TRUE(db) << db.error().message();
  EXPECT_EQ(db->page_size, 4096u);
  ASSERT_EQ(db->tables.size(), 1u);
  EXPECT_EQ(db->tables[0].kind, 19u);
  EXPECT_TRUE(db->tracks.empty());
  EXPECT_TRUE(db->kind16_rows.empty());
  EXPECT_TRUE(db->row_locations(16).empty());
  EXPECT_TRUE(db->row_locations(19).empty());
}

TEST(Database, RowsOfUndecodedKindsAreLocated) {
  ImageBuilder b;
  auto t = b.add_table(19);
  auto loc = b.add_row(t, testing::id_name_row(1, "x"));
  auto db = Database::from_bytes(b.finish());
  ASSERT_TRUE(db);
  EXPECT_EQ(std::vector<std::uint64_t>(db->row_locations(19).begin(), db->row_locations(19).end()),
            std::vector<std::uint64_t>{loc});
}

TEST(Database, ThreePageTableInChainOrderSkippingEmptyPage) {
  ImageBuilder b;
  auto g = b.add_table(table_kind::genres);
  b.add_data_page(g);
  auto first = b.add_row(g, testing::id_name_row(1, "a"));
  auto empty = b.add_data_page(g);
  (void)empty;
  b.add_data_page(g);
  auto third = b.add_row(g, testing::id_name_row(2, "b"));
  auto fourth = b.add_row(g, testing::id_name_row(3, "c"));
  auto db = Database::from_bytes(b.finish());
  ASSERT_TRUE(db);
  ASSERT_EQ(db->genres.size(), 3u);
  EXPECT_EQ(db->genres[0].name, "a");
  EXPECT_EQ(db->genres[2].name, "c");
  auto locs = db->row_locations(table_kind::genres);
  EXPECT_EQ(std::vector<std::uint64_t>(locs.begin(), locs.end()), (std::vector<std::uint64_t>{first, third, fourth}));
}

TEST(Database, DeletedRowsAreNotListed) {
  ImageBuilder b;
  auto g = b.add_table(table_kind::genres);
  b.add_row(g, testing::id_name_row(1, "kept"));
  b.add_row(g, testing::id_name_row(2, "gone"));
  b.set_present(2, 1, false);
  auto db = Database::from_bytes(b.finish());
  ASSERT_TRUE(db);
  ASSERT_EQ(db->genres.size(), 1u);
  EXPECT_EQ(db->genres[0].name, "kept");
  EXPECT_EQ(db->row_locations(table_kind::genres).size(), 1u);
}

TEST(Database, LaterEntryOfSameKindWins) {
  ImageBuilder b;
  auto first = b.add_table(table_kind::genres);
  b.add_row(first, testing::id_name_row(1, "first"));
  auto second = b.add_table(table_kind::genres);
  b.add_row(second, testing::id_name_row(2, "second"));
  auto db = Database::from_bytes(b.finish());
  ASSERT_TRUE(db);
  EXPECT_EQ(db->tables.size(), 2u);
  ASSERT_EQ(db->genres.size(), 1u);
  EXPECT_EQ(db->genres[0].name, "second");
}

// Puts an unknown string kind (0x02 with a valid length) at `location`.
void spoil_string(std::vector<std::uint8_t>& image, std::uint64_t location) {
  image[location] = 0x02;
  testing::put_u16(image, location + 1, 4);
}

TEST(Database, TracksAreDecodedBeforeGenres) {
  ImageBuilder b;
  auto g = b.add_table(table_kind::genres);
  auto genre = b.add_row(g, testing::id_name_row(1, "x"));
  auto t = b.add_table(table_kind::tracks);
  auto track = b.add_row(t, testing::track_row(testing::TrackRowSpec{}));
  auto image = b.finish();
  spoil_string(image, genre + 4);
  spoil_string(image, track + 136);  // slot 0's string
  auto db = Database::from_bytes(image);
  ASSERT_FALSE(db);
  EXPECT_EQ(db.error().as<pdb_error::UnknownString>().offset, track + 136);
}

TEST(Database, ArtworkIsDecodedBeforeHistoryPlaylists) {
  ImageBuilder b;
  auto h = b.add_table(table_kind::history_playlists);
  auto history = b.add_row(h, testing::id_name_row(1, "x"));
  auto a = b.add_table(table_kind::artwork);
  auto art = b.add_row(a, testing::id_name_row(1, "y"));
  auto image = b.finish();
  spoil_string(image, history + 4);
  spoil_string(image, art + 4);
  auto db = Database::from_bytes(image);
  ASSERT_FALSE(db);
  EXPECT_EQ(db.error().as<pdb_error::UnknownString>().offset, art + 4);
}

TEST(Database, MalformedImagesFailWithoutReadingOutside) {
  ImageBuilder b;
  auto t = b.add_table(table_kind::genres);
  b.add_row(t, testing::id_name_row(1, "x"));
  const auto good = b.finish();
  ASSERT_TRUE(Database::from_bytes(good));

  EXPECT_FALSE(Database::from_bytes(std::vector<std::uint8_t>(10, 0)));
  auto huge_count = good;
  testing::put_u32(huge_count, f::kTableCountOffset, 0xFFFFFFFF);
  EXPECT_FALSE(Database::from_bytes(huge_count));
  auto small_page = good;
  testing::put_u32(small_page, f::kPageSizeOffset, 0);
  EXPECT_FALSE(Database::from_bytes(small_page));
  auto past_end = good;
  testing::put_u32(past_end, f::kDirectoryOffset + f::kEntryFirstPageOffset, 99);
  EXPECT_FALSE(Database::from_bytes(past_end));
  // Header page points back to itself and last_page is never reached.
  auto loop = good;
  testing::put_u32(loop, 4096 + f::kNextPageOffset, 1);
  testing::put_u32(loop, f::kDirectoryOffset + f::kEntryLastPageOffset, 7);
  EXPECT_FALSE(Database::from_bytes(loop));
  // A row whose string offset points past the end of the image.
  auto truncated = std::vector<std::uint8_t>(good.begin(), good.end() - 1);
  EXPECT_FALSE(Database::from_bytes(truncated));
}

}  // namespace
}  // namespace vantrel_pdb
