#include "read/recover.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "format/blank_image.h"
#include "format/format.h"
#include "read/database.h"
#include "testing/image_builder.h"
#include "testing/sample_library.h"
#include "util/side_by_side.h"

namespace vantrel_pdb::recovery {
namespace {

namespace f = format;
namespace k = table_kind;
namespace t = testing;
using Image = std::vector<std::uint8_t>;
constexpr std::uint64_t kPage = f::kPageSize;

template <class Record>
std::vector<Record> records(const std::vector<Recovered<Record>>& rows) {
  std::vector<Record> out;
  for (const auto& row : rows) out.push_back(row.record);
  return out;
}

// Tracks are kept by place: each decodes again to its record, and the text
// length it carries for the new library's reserve is that record's.
std::vector<Track> records(const std::vector<Recovered<TrackRow>>& rows) {
  std::vector<Track> out;
  for (const auto& row : rows) {
    auto track = row.record.decode();
    if (!track) {
      ADD_FAILURE() << "track at " << row.location << " no longer decodes: " << track.error().message();
      continue;
    }
    const auto& s = track->strings;
    EXPECT_EQ(row.record.text_bytes, s[track_row::kTitleSlot].size() + s[track_row::kCommentSlot].size() +
                                         s[track_row::kAnalysisPathSlot].size() +
                                         2 * s[track_row::kFilePathSlot].size());
    out.push_back(std::move(*track));
  }
  return out;
}

// What the reader yields, table by table, is what was recovered.
void expect_as_read(const Image& image) {
  auto db = Database::from_bytes(image);
  ASSERT_TRUE(db) << db.error().message();
  const RecoveredRows rows = recover_rows(image);
  EXPECT_EQ(records(rows.tracks), db->tracks);
  EXPECT_EQ(records(rows.genres), db->genres);
  EXPECT_EQ(records(rows.artists), db->artists);
  EXPECT_EQ(records(rows.albums), db->albums);
  EXPECT_EQ(records(rows.labels), db->labels);
  EXPECT_EQ(records(rows.keys), db->keys);
  EXPECT_EQ(records(rows.colors), db->colors);
  EXPECT_EQ(records(rows.playlist_tree), db->playlist_tree);
  EXPECT_EQ(records(rows.playlist_entries), db->playlist_entries);
  EXPECT_EQ(records(rows.history_playlists), db->history_playlists);
  EXPECT_EQ(records(rows.history_entries), db->history_entries);
  EXPECT_EQ(records(rows.artwork), db->artwork);
  EXPECT_EQ(records(rows.kind16_rows), db->kind16_rows);
  for (const auto& [kind, count] : rows.unreadable) EXPECT_EQ(count, 0u) << kind;
}

// Every decoded kind, history and absent rows, crafted row by row.
Image crafted() {
  t::ImageBuilder b;
  std::size_t table[20];
  for (std::uint32_t kind = 0; kind < 20; ++kind) table[kind] = b.add_table(kind);
  b.add_row(table[k::genres], t::id_name_row(1, "House"));
  b.add_row(table[k::artists], t::artist_row(4, "Artist"));
  b.add_row(table[k::albums], t::album_row(2, 4, "Album"));
  b.add_row(table[k::labels], t::id_name_row(3, "Label"));
  b.add_row(table[k::keys], t::key_row(5, "Am"));
  b.add_row(table[k::colors], t::color_row(6, "Pink"));
  b.add_row(table[k::kind16_rows], t::kind16_row(7, "Sixteen"));
  b.add_row(table[k::artwork], t::id_name_row(9, "/art/9.jpg"));
  t::TrackRowFields track;
  track.id = 9;
  track.artist_id = 4, track.album_id = 2, track.genre_id = 1, track.key_id = 5, track.label_id = 3;
  track.artwork_id = 9;
  track.title("T\u00e9").path("/music/9.mp3");
  b.add_row(table[k::tracks], t::track_row(track));
  const std::uint64_t gone = b.add_row(table[k::tracks], t::track_row(t::TrackRowFields{}.title("gone")));
  b.add_row(table[k::playlist_tree], t::tree_row(0, 0, 1, false, "List"));
  b.add_row(table[k::playlist_entries], t::entry_row(1, 9, 1));
  b.add_row(table[k::history_playlists], t::id_name_row(2, "Friday"));
  b.add_row(table[k::history_entries], t::entry_row(1, 9, 2));
  b.set_present(static_cast<std::uint32_t>(gone / kPage), 1, false);
  return b.finish();
}

TEST(Recover, SoundImagesAreReadAsTheReaderReadsThem) {
  expect_as_read(make_blank_image());
  expect_as_read(crafted());
  expect_as_read(t::sample_image());
  Library library = t::sample_library();
  ASSERT_TRUE(library.keep_only(std::vector<std::uint32_t>{1000, 1003, 1030}, std::vector<std::uint32_t>{1, 10, 11}));
  auto kept = library.bytes();
  ASSERT_TRUE(kept);
  expect_as_read(Image(kept->begin(), kept->end()));
}

// A sample whose track table spans pages, with where each page's rows are.
// With many tracks, its image is large enough for the track pages to be
// read on a thread of their own.
struct Spanning {
  explicit Spanning(std::uint32_t tracks = 120)
      : image(t::sample_image({.tracks = tracks, .playlists = 8, .seed = 3})), db(*Database::from_bytes(image)) {}
  Image image;
  Database db;

  std::vector<std::uint32_t> track_pages() const {
    std::vector<std::uint32_t> pages;
    for (std::uint64_t r : db.row_locations(k::tracks)) {
      const auto p = static_cast<std::uint32_t>(r / kPage);
      if (pages.empty() || pages.back() != p) pages.push_back(p);
    }
    return pages;
  }
  // The ids of the tracks whose rows are not on page `p`.
  std::multiset<std::uint32_t> ids_off(std::uint32_t p) const {
    std::multiset<std::uint32_t> ids;
    const auto rows = db.row_locations(k::tracks);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i] / kPage != p) ids.insert(db.tracks[i].id);
    }
    return ids;
  }
};

std::multiset<std::uint32_t> recovered_ids(const Image& image) {
  std::multiset<std::uint32_t> ids;
  for (const Track& track : records(recover_rows(image).tracks)) ids.insert(track.id);
  return ids;
}

TEST(Recover, APageLostCostsItsRowsOnly) {
  Spanning s;
  const auto pages = s.track_pages();
  ASSERT_GE(pages.size(), 3u);
  const std::uint32_t middle = pages[1];
  const std::uint64_t start = std::uint64_t{middle} * kPage;
  Image zeroed = s.image;
  std::fill(zeroed.begin() + static_cast<std::ptrdiff_t>(start),
            zeroed.begin() + static_cast<std::ptrdiff_t>(start + kPage), 0);
  EXPECT_EQ(recovered_ids(zeroed), s.ids_off(middle));
  // Its header alone: the kind, the link, the counts.
  for (std::uint64_t field : {f::kPageKindOffset, f::kNextPageOffset, f::kPageIndexOffset}) {
    Image damaged = s.image;
    damaged[start + field] ^= 0x5A;
    const auto ids = recovered_ids(damaged);
    const auto off = s.ids_off(middle);
    EXPECT_TRUE(std::includes(ids.begin(), ids.end(), off.begin(), off.end()))
        << field << ": " << ids.size() << " of " << off.size();
  }
}

TEST(Recover, PagesOutsideEveryChainAreFoundByKind) {
  Spanning s;
  const std::multiset<std::uint32_t> all(recovered_ids(s.image));
  Image no_directory = s.image;
  std::fill(no_directory.begin() + f::kDirectoryOffset, no_directory.begin() + kPage, 0);
  EXPECT_EQ(recovered_ids(no_directory), all);
  Image no_links = s.image;
  for (std::uint32_t p : s.track_pages()) vantrel_pdb::testing::put_u32(no_links, p * kPage + f::kNextPageOffset, 0);
  EXPECT_EQ(recovered_ids(no_links), all);
  Image kind_flipped = s.image;
  vantrel_pdb::testing::put_u32(kind_flipped, s.track_pages()[1] * kPage + f::kPageKindOffset, 77);
  EXPECT_EQ(recovered_ids(kind_flipped), all);
  Image heap_size_gone = s.image;
  for (std::uint32_t p : s.track_pages())
    vantrel_pdb::testing::put_u16(heap_size_gone, p * kPage + f::kUsedSizeOffset, 0);
  EXPECT_EQ(recovered_ids(heap_size_gone), all);
}

constexpr std::uint32_t kTracksReadBeside = 4000;

void expect_overlapping_rows_left_out(const Spanning& s) {
  const std::uint32_t p = s.track_pages()[0];
  const std::uint64_t start = std::uint64_t{p} * kPage;
  auto slot_word = [&](std::uint32_t slot) {
    return start + f::group_end(kPage, slot / 16) - f::kSlotOffsetsFromGroupEnd - 2 * (slot % 16);
  };
  Image moved = s.image;
  // Slot 1 now points 8 bytes into slot 2's row: both go, nothing else.
  vantrel_pdb::testing::put_u16(moved, slot_word(1),
                                static_cast<std::uint16_t>(vantrel_pdb::testing::get_u16(moved, slot_word(2)) + 8));
  const RecoveredRows rows = recover_rows(moved);
  EXPECT_EQ(rows.tracks.size(), s.db.tracks.size() - 2);
  EXPECT_EQ(rows.unreadable.at(k::tracks), 2u);
  for (const Track& track : records(rows.tracks)) {
    EXPECT_NE(track.id, s.db.tracks[1].id);
    EXPECT_NE(track.id, s.db.tracks[2].id);
  }
}

// Also where the track pages are read on a thread of their own.
TEST(Recover, RowsThatOverlapAreLeftOut) {
  for (std::uint32_t tracks : {120u, kTracksReadBeside}) {
    SCOPED_TRACE(tracks);
    expect_overlapping_rows_left_out(Spanning(tracks));
  }
}

TEST(Recover, ALargeImageIsReadAsTheReaderReadsIt) {
  const Spanning s(kTracksReadBeside);
  ASSERT_GE(s.image.size(), kSideBySideImageBytes);
  expect_as_read(s.image);
}

TEST(Recover, RecordsWhereEachRowWas) {
  Spanning s;
  const RecoveredRows rows = recover_rows(s.image);
  const auto locations = s.db.row_locations(k::tracks);
  ASSERT_EQ(rows.tracks.size(), locations.size());
  for (std::size_t i = 0; i < locations.size(); ++i) EXPECT_EQ(rows.tracks[i].location, locations[i]);
  EXPECT_EQ(rows.pages.at(k::tracks).front(), s.db.tables[k::tracks].first_page);
}

}  // namespace
}  // namespace vantrel_pdb::recovery
