#include "read/database.h"

#include <gtest/gtest.h>

#include "testing/image_builder.h"
#include "testing/xorshift.h"

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
  auto track = b.add_row(t, testing::track_row(testing::TrackRowFields{}));
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

// An image with rows of every decoded kind, the tracks spread over pages.
std::vector<std::uint8_t> every_kind_image() {
  ImageBuilder b;
  auto tracks = b.add_table(table_kind::tracks);
  for (std::uint32_t i = 1; i <= 40; ++i) {
    testing::TrackRowFields row_spec;
    row_spec.id = i;
    row_spec.title(i % 2 ? "Title " + std::to_string(i) : "T\xC3\xADtulo " + std::to_string(i));
    row_spec.path("/music/" + std::to_string(i) + ".mp3");
    b.add_row(tracks, testing::track_row(row_spec));
  }
  b.add_row(b.add_table(table_kind::genres), testing::id_name_row(1, "House"));
  b.add_row(b.add_table(table_kind::artists), testing::artist_row(1, "Artist"));
  b.add_row(b.add_table(table_kind::albums), testing::album_row(1, 1, "Album"));
  b.add_row(b.add_table(table_kind::labels), testing::id_name_row(1, "Label"));
  b.add_row(b.add_table(table_kind::keys), testing::key_row(1, "Am"));
  b.add_row(b.add_table(table_kind::colors), testing::color_row(1, "Pink"));
  b.add_row(b.add_table(table_kind::playlist_tree), testing::tree_row(0, 0, 1, false, "Warm-up"));
  auto entries = b.add_table(table_kind::playlist_entries);
  for (std::uint32_t i = 1; i <= 20; ++i) b.add_row(entries, testing::entry_row(i, i, 1));
  b.add_row(b.add_table(table_kind::artwork), testing::id_name_row(1, "/art/a.jpg"));
  b.add_row(b.add_table(table_kind::kind16_rows), testing::kind16_row(1, "K"));
  b.add_row(b.add_table(table_kind::history_playlists), testing::id_name_row(1, "History"));
  b.add_row(b.add_table(table_kind::history_entries), testing::entry_row(1, 1, 1));
  return b.finish();
}

// A load that keeps no records, or none of the tracks', fails exactly when
// and as a full load fails, and otherwise finds the same tables and rows.
void expect_checked_load_agrees(const std::vector<std::uint8_t>& image) {
  auto full = Database::from_bytes(image);
  auto checked = Database::from_bytes(image, Decoding::kRowLocations);
  auto except_tracks = Database::from_bytes(image, Decoding::kRecordsButTracks);
  ASSERT_EQ(checked.has_value(), full.has_value());
  ASSERT_EQ(except_tracks.has_value(), full.has_value());
  if (!full) {
    EXPECT_EQ(checked.error().message(), full.error().message());
    EXPECT_EQ(except_tracks.error().message(), full.error().message());
    return;
  }
  EXPECT_EQ(checked->page_size, full->page_size);
  EXPECT_EQ(checked->tables, full->tables);
  EXPECT_EQ(checked->row_locations_by_kind, full->row_locations_by_kind);
  EXPECT_TRUE(checked->tracks.empty());
  EXPECT_TRUE(checked->genres.empty());
  EXPECT_TRUE(checked->playlist_entries.empty());
  EXPECT_TRUE(checked->history_entries.empty());

  // Without the track records only: every other list as the full load's.
  auto except = Database::from_bytes(image, Decoding::kRecordsButTracks);
  ASSERT_TRUE(except) << except.error().message();
  EXPECT_EQ(except->row_locations_by_kind, full->row_locations_by_kind);
  EXPECT_TRUE(except->tracks.empty());
  EXPECT_EQ(except->genres, full->genres);
  EXPECT_EQ(except->artists, full->artists);
  EXPECT_EQ(except->albums, full->albums);
  EXPECT_EQ(except->labels, full->labels);
  EXPECT_EQ(except->keys, full->keys);
  EXPECT_EQ(except->colors, full->colors);
  EXPECT_EQ(except->playlist_tree, full->playlist_tree);
  EXPECT_EQ(except->playlist_entries, full->playlist_entries);
  EXPECT_EQ(except->artwork, full->artwork);
  EXPECT_EQ(except->kind16_rows, full->kind16_rows);
  EXPECT_EQ(except->history_playlists, full->history_playlists);
  EXPECT_EQ(except->history_entries, full->history_entries);
}

TEST(Database, CheckedOnlyLoadOfASoundImage) {
  const auto image = every_kind_image();
  ASSERT_TRUE(Database::from_bytes(image));
  expect_checked_load_agrees(image);
  auto checked = Database::from_bytes(image, Decoding::kRowLocations);
  ASSERT_TRUE(checked);
  EXPECT_EQ(checked->row_locations(table_kind::tracks).size(), 40u);
}

// Damage a few bytes anywhere past the header page, over and over: whatever
// the full load makes of it (an error, or rows), the checked load agrees.
TEST(Database, CheckedOnlyLoadFailsAsTheFullLoadOnDamagedImages) {
  const auto image = every_kind_image();
  testing::XorShift64 next;
  int failures = 0;
  for (int round = 0; round < 3000; ++round) {
    auto damaged = image;
    const int bytes = 1 + static_cast<int>(next() % 4);
    for (int k = 0; k < bytes; ++k) {
      const std::uint64_t at = f::kPageSize + next() % (damaged.size() - f::kPageSize);
      damaged[at] = static_cast<std::uint8_t>(next());
    }
    if (!Database::from_bytes(damaged)) ++failures;
    expect_checked_load_agrees(damaged);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "round " << round;
      return;
    }
  }
  EXPECT_GT(failures, 100);  // the damage reaches strings and row indices
}

// A page whose slots all name one row with long strings repeats its text
// far beyond any sound file: both loads stop at the same budget.
TEST(Database, CheckedOnlyLoadKeepsTheDecodeBudget) {
  ImageBuilder b;
  auto tracks = b.add_table(table_kind::tracks);
  testing::TrackRowFields row_spec;
  for (auto& s : row_spec.strings) s = std::string(100, 'x');
  const std::uint64_t row = b.add_row(tracks, testing::track_row(row_spec));
  auto image = b.finish();
  const std::uint64_t page = row / f::kPageSize * f::kPageSize;
  const std::uint64_t slots = f::kMaxSlotsPerPage;
  testing::put_u16(image, page + f::kPackedCountsOffset, static_cast<std::uint16_t>(slots));
  for (std::uint64_t s = 0; s < slots; ++s) {
    const std::uint64_t end = page + f::group_end(f::kPageSize, s / f::kSlotsPerGroup);
    testing::put_u16(image, end - f::kSlotOffsetsFromGroupEnd - 2 * (s % f::kSlotsPerGroup), 0);
    testing::put_u16(image, end - f::kPresentFlagsFromGroupEnd, 0xFFFF);
  }
  auto full = Database::from_bytes(image);
  ASSERT_FALSE(full);
  EXPECT_NE(full.error().message().find("exceed"), std::string::npos) << full.error().message();
  expect_checked_load_agrees(image);
}

// From this size up the load runs in two parts at once: images padded to it
// with empty pages (which no chain reaches) take that path.
constexpr std::uint64_t kTwoPartsImageBytes = std::uint64_t{1} << 20;

std::vector<std::uint8_t> padded_to_two_parts(std::vector<std::uint8_t> image) {
  if (image.size() < kTwoPartsImageBytes) image.resize(kTwoPartsImageBytes, 0);
  return image;
}

// The load in two parts makes what one thread's load makes: the same lists,
// or the same error.
void expect_two_parts_agree(const std::vector<std::uint8_t>& image, Decoding decoding = Decoding::kAllRecords) {
  ASSERT_GE(image.size(), kTwoPartsImageBytes);
  auto two = Database::from_bytes(image, decoding);
  auto one = Database::from_bytes_in_one_part_for_testing(image, decoding);
  ASSERT_EQ(two.has_value(), one.has_value()) << (one ? two.error().message() : one.error().message());
  if (!one) {
    EXPECT_EQ(two.error().message(), one.error().message());
    return;
  }
  EXPECT_EQ(two->page_size, one->page_size);
  EXPECT_EQ(two->tables, one->tables);
  EXPECT_EQ(two->row_locations_by_kind, one->row_locations_by_kind);
  EXPECT_EQ(two->tracks, one->tracks);
  EXPECT_EQ(two->genres, one->genres);
  EXPECT_EQ(two->artists, one->artists);
  EXPECT_EQ(two->albums, one->albums);
  EXPECT_EQ(two->labels, one->labels);
  EXPECT_EQ(two->keys, one->keys);
  EXPECT_EQ(two->colors, one->colors);
  EXPECT_EQ(two->playlist_tree, one->playlist_tree);
  EXPECT_EQ(two->playlist_entries, one->playlist_entries);
  EXPECT_EQ(two->artwork, one->artwork);
  EXPECT_EQ(two->kind16_rows, one->kind16_rows);
  EXPECT_EQ(two->history_playlists, one->history_playlists);
  EXPECT_EQ(two->history_entries, one->history_entries);
}

TEST(Database, TwoPartLoadOfASoundImage) {
  const auto image = padded_to_two_parts(every_kind_image());
  for (Decoding decoding : {Decoding::kAllRecords, Decoding::kRecordsButTracks, Decoding::kRowLocations}) {
    expect_two_parts_agree(image, decoding);
  }
  auto db = Database::from_bytes(image);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->tracks.size(), 40u);
  EXPECT_EQ(db->playlist_entries.size(), 20u);
}

// Damage in both parts (the helper loads the tracks and the entries, the
// caller the rest): the error is the one a load in table order meets first.
TEST(Database, TwoPartLoadFailsAsOneThreadOnDamagedImages) {
  const auto image = padded_to_two_parts(every_kind_image());
  const std::uint64_t data_end = every_kind_image().size();
  testing::XorShift64 next;
  int failures = 0;
  for (int round = 0; round < 800; ++round) {
    auto damaged = image;
    const int bytes = 1 + static_cast<int>(next() % 6);
    for (int k = 0; k < bytes; ++k) {
      damaged[f::kPageSize + next() % (data_end - f::kPageSize)] = static_cast<std::uint8_t>(next());
    }
    if (!Database::from_bytes(damaged)) ++failures;
    expect_two_parts_agree(damaged, round % 2 ? Decoding::kAllRecords : Decoding::kRecordsButTracks);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "round " << round;
      return;
    }
  }
  EXPECT_GT(failures, 25);
}

// Track pages whose 511 slots all name the page's one row, a row of long
// strings: each page charges about 1.5 MB to the budget of 9 MiB, all of it
// to the helper's part.
std::vector<std::uint8_t> repeating_track_pages(int pages) {
  ImageBuilder b;
  auto tracks = b.add_table(table_kind::tracks);
  testing::TrackRowFields row_spec;
  for (auto& s : row_spec.strings) s = std::string(100, 'x');
  std::vector<std::uint64_t> rows;
  for (int p = 0; p < pages; ++p) rows.push_back(b.add_row(tracks, testing::track_row(row_spec)));
  auto image = padded_to_two_parts(b.finish());
  for (std::uint64_t row : rows) {
    const std::uint64_t page = row / f::kPageSize * f::kPageSize;
    testing::put_u16(image, page + f::kPackedCountsOffset, static_cast<std::uint16_t>(f::kMaxSlotsPerPage));
    for (std::uint64_t s = 0; s < f::kMaxSlotsPerPage; ++s) {
      const std::uint64_t end = page + f::group_end(f::kPageSize, s / f::kSlotsPerGroup);
      testing::put_u16(image, end - f::kSlotOffsetsFromGroupEnd - 2 * (s % f::kSlotsPerGroup),
                       static_cast<std::uint16_t>(row - page - f::kPageHeaderSize));
      testing::put_u16(image, end - f::kPresentFlagsFromGroupEnd, 0xFFFF);
    }
  }
  return image;
}

// One part spends most of the budget the two share, or more than all of it:
// loaded, or refused, as one thread loads it.
TEST(Database, TwoPartLoadKeepsTheDecodeBudget) {
  for (int pages : {4, 6, 7}) {
    const auto image = repeating_track_pages(pages);
    auto db = Database::from_bytes(image);
    EXPECT_EQ(db.has_value(), pages < 7) << pages;
    if (db) {
      EXPECT_EQ(db->tracks.size(), static_cast<std::size_t>(pages) * f::kMaxSlotsPerPage);
    }
    expect_two_parts_agree(image);
    expect_two_parts_agree(image, Decoding::kRowLocations);
  }
}

}  // namespace
}  // namespace vantrel_pdb

namespace vantrel_pdb {
namespace {

namespace f = format;
namespace t = testing;

// For every kind 0 to 20, the rows listed without decoding are the rows the
// reader lists.
void expect_same_rows_as_the_reader(const std::vector<std::uint8_t>& image) {
  auto db = Database::from_bytes(image);
  ASSERT_TRUE(db) << db.error().message();
  for (std::uint32_t k = 0; k <= 20; ++k) {
    auto rows = row_locations_of_kind(image, k);
    ASSERT_TRUE(rows) << rows.error().message();
    auto expected = db->row_locations(k);
    EXPECT_EQ(*rows, std::vector<std::uint64_t>(expected.begin(), expected.end())) << "kind " << k;
  }
}

TEST(RowLocationsOfKind, RowsOfEveryTableInTableOrder) {
  t::ImageBuilder b;
  auto tracks = b.add_table(table_kind::tracks);
  auto entries = b.add_table(table_kind::playlist_entries);
  for (std::uint32_t i = 1; i <= 60; ++i) {
    t::TrackRowFields row_spec;
    row_spec.id = i;
    b.add_row(tracks, t::track_row(row_spec.title(std::string(100, 't'))));  // several pages
    b.add_row(entries, t::entry_row(i, i, 1));
  }
  b.add_row(b.add_table(19), t::id_name_row(1, "undecoded kind"));
  auto image = b.finish();
  expect_same_rows_as_the_reader(image);
  EXPECT_EQ(row_locations_of_kind(image, table_kind::tracks)->size(), 60u);
}

TEST(RowLocationsOfKind, DeletedRowsAndEmptyPagesAreSkipped) {
  t::ImageBuilder b;
  auto genres = b.add_table(table_kind::genres);
  b.add_row(genres, t::id_name_row(1, "a"));
  b.add_row(genres, t::id_name_row(2, "b"));
  auto loc = b.add_row(genres, t::id_name_row(3, "c"));
  b.add_data_page(genres);
  b.add_row(b.add_table(table_kind::tracks), t::track_row(t::TrackRowFields{}));
  b.set_present(static_cast<std::uint32_t>(loc / 4096), 1, false);
  expect_same_rows_as_the_reader(b.finish());
}

TEST(RowLocationsOfKind, LaterEntryOfAKindWinsAndAMissingKindHasNoRows) {
  t::ImageBuilder b;
  b.add_row(b.add_table(table_kind::genres), t::id_name_row(1, "earlier"));
  auto later = b.add_row(b.add_table(table_kind::genres), t::id_name_row(2, "later"));
  auto image = b.finish();
  expect_same_rows_as_the_reader(image);
  EXPECT_EQ(*row_locations_of_kind(image, table_kind::genres), std::vector<std::uint64_t>{later});
  EXPECT_TRUE(row_locations_of_kind(image, table_kind::tracks)->empty());
}

TEST(RowLocationsOfKind, MalformedImagesFailInsideTheImage) {
  t::ImageBuilder b;
  b.add_row(b.add_table(table_kind::genres), t::id_name_row(1, "x"));
  const auto good = b.finish();
  EXPECT_EQ(row_locations_of_kind(std::vector<std::uint8_t>(27, 0), table_kind::genres).error().message(),
            "io error: image of 27 bytes has no file header");
  auto huge_count = good;
  t::put_u32(huge_count, f::kTableCountOffset, 0xFFFFFFFF);
  EXPECT_EQ(row_locations_of_kind(huge_count, table_kind::genres).error().message(),
            "io error: table directory of 4294967295 entries runs past the end of the image");
  auto past_end = good;
  t::put_u32(past_end, f::kDirectoryOffset + f::kEntryFirstPageOffset, 99);
  EXPECT_EQ(row_locations_of_kind(past_end, table_kind::genres).error().message(),
            "io error: page chain of table kind 1 leaves the image or never reaches its last page");
  // Only the asked kind's chain is walked.
  EXPECT_TRUE(row_locations_of_kind(past_end, table_kind::tracks));
}

}  // namespace
}  // namespace vantrel_pdb
