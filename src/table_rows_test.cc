#include "table_rows.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "testing/image_builder.h"
#include "vantrel_pdb/database.h"
#include "vantrel_pdb/format.h"

namespace dovrel {
namespace {

namespace kind = vantrel_pdb::table_kind;
namespace f = vantrel_pdb::format;
namespace t = vantrel_pdb::testing;

// For every kind 0 to 20, the rows listed without decoding are the rows the
// reader lists.
void expect_same_rows_as_the_reader(const std::vector<std::uint8_t>& image) {
  auto db = vantrel_pdb::Database::from_bytes(image);
  ASSERT_TRUE(db) << db.error().message();
  for (std::uint32_t k = 0; k <= 20; ++k) {
    auto rows = table_rows_of_kind(image, k);
    ASSERT_TRUE(rows) << rows.error().message();
    auto expected = db->row_locations(k);
    EXPECT_EQ(*rows, std::vector<std::uint64_t>(expected.begin(), expected.end())) << "kind " << k;
  }
}

TEST(TableRows, RowsOfEveryTableInTableOrder) {
  t::ImageBuilder b;
  auto tracks = b.add_table(kind::tracks);
  auto entries = b.add_table(kind::playlist_entries);
  for (std::uint32_t i = 1; i <= 60; ++i) {
    t::TrackRowSpec row_spec;
    row_spec.id = i;
    b.add_row(tracks, t::track_row(row_spec.title(std::string(100, 't'))));  // several pages
    b.add_row(entries, t::entry_row(i, i, 1));
  }
  b.add_row(b.add_table(19), t::id_name_row(1, "undecoded kind"));
  auto image = b.finish();
  expect_same_rows_as_the_reader(image);
  EXPECT_EQ(table_rows_of_kind(image, kind::tracks)->size(), 60u);
}

TEST(TableRows, DeletedRowsAndEmptyPagesAreSkipped) {
  t::ImageBuilder b;
  auto genres = b.add_table(kind::genres);
  b.add_row(genres, t::id_name_row(1, "a"));
  b.add_row(genres, t::id_name_row(2, "b"));
  auto loc = b.add_row(genres, t::id_name_row(3, "c"));
  b.add_data_page(genres);
  b.add_row(b.add_table(kind::tracks), t::track_row(t::TrackRowSpec{}));
  b.set_present(static_cast<std::uint32_t>(loc / 4096), 1, false);
  expect_same_rows_as_the_reader(b.finish());
}

TEST(TableRows, LaterEntryOfAKindWinsAndAMissingKindHasNoRows) {
  t::ImageBuilder b;
  b.add_row(b.add_table(kind::genres), t::id_name_row(1, "earlier"));
  auto later = b.add_row(b.add_table(kind::genres), t::id_name_row(2, "later"));
  auto image = b.finish();
  expect_same_rows_as_the_reader(image);
  EXPECT_EQ(*table_rows_of_kind(image, kind::genres), std::vector<std::uint64_t>{later});
  EXPECT_TRUE(table_rows_of_kind(image, kind::tracks)->empty());
}

TEST(TableRows, MalformedImagesFailInsideTheImage) {
  t::ImageBuilder b;
  b.add_row(b.add_table(kind::genres), t::id_name_row(1, "x"));
  const auto good = b.finish();
  EXPECT_FALSE(table_rows_of_kind(std::vector<std::uint8_t>(27, 0), kind::genres));
  auto huge_count = good;
  t::put_u32(huge_count, f::kTableCountOffset, 0xFFFFFFFF);
  EXPECT_FALSE(table_rows_of_kind(huge_count, kind::genres));
  auto past_end = good;
  t::put_u32(past_end, f::kDirectoryOffset + f::kEntryFirstPageOffset, 99);
  EXPECT_FALSE(table_rows_of_kind(past_end, kind::genres));
  // Only the asked kind's chain is walked.
  EXPECT_TRUE(table_rows_of_kind(past_end, kind::tracks));
}

}  // namespace
}  // namespace dovrel
