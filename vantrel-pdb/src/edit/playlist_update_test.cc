// The playlist tree's changes in place, at the byte level: renames in the
// row's room or by a new row, sort orders renumbered by a move, entry rows
// reused, subtrees removed; and that refusals write nothing.
#include "edit/playlist_update.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "edit/row_space.h"
#include "format/coding.h"
#include "read/database.h"
#include "read/playlist_rows.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {
namespace {

namespace t = playlist_tree_row;
using ByteVec = std::vector<std::uint8_t>;

// Tracks 1 to 4; folder 10 holding folder 11 (holding playlist 12 of 1, 2,
// 3) and playlist 13 of 4; playlist 14 at the top, of 2.
ByteVec tree() {
  Library library = Library::create();
  for (std::uint32_t id = 1; id <= 4; ++id) {
    TrackInput track;
    track.id = id;
    track.title = std::string("T") + std::to_string(id);
    track.audio_path = std::string("/music/") + std::to_string(id) + ".mp3";
    EXPECT_TRUE(library.add_track(track));
  }
  const std::vector<PlaylistInput> playlists = {{10, "Sets", 0, true, {}},
                                                {11, "Older", 10, true, {}},
                                                {12, "Dawn", 11, false, {1, 2, 3}},
                                                {13, "Dusk", 10, false, {4}},
                                                {14, "Warm-up", 0, false, {2}}};
  EXPECT_TRUE(library.add_playlists(playlists));
  auto bytes = std::move(library).take_bytes();
  EXPECT_TRUE(bytes);
  return *bytes;
}

Database decode(const ByteVec& image) {
  auto db = Database::from_bytes(image);
  EXPECT_TRUE(db) << db.error().message();
  return db ? std::move(*db) : Database{};
}

const PlaylistTreeNode* node(const Database& db, std::uint32_t id) {
  for (const auto& n : db.playlist_tree) {
    if (n.id == id) return &n;
  }
  return nullptr;
}

std::uint64_t row_of(const Database& db, const ByteVec& image, std::uint32_t id) {
  for (std::uint64_t row : db.row_locations(table_kind::playlist_tree)) {
    if (decode_fixed32(image.data() + row + t::kIdOffset) == id) return row;
  }
  return 0;
}

TEST(RenamePlaylist, ANameThatFitsIsWrittenInTheRowsRoom) {
  ByteVec image = tree();
  const ByteVec before = image;
  const Database db = decode(image);
  const std::uint64_t row = row_of(db, image, 12);
  // "Dawn" is 5 encoded bytes: a 25-byte row in 28. "Dusk!" is 6 and fits.
  ASSERT_TRUE(rename_playlist(image, db, 12, "Dusk!"));
  EXPECT_EQ(ByteVec(image.begin() + static_cast<std::ptrdiff_t>(row) + 20,
                    image.begin() + static_cast<std::ptrdiff_t>(row) + 28),
            (ByteVec{0x0D, 'D', 'u', 's', 'k', '!', 0, 0}));
  for (std::uint64_t i = 0; i < image.size(); ++i) {
    if (i < row + 20 || i >= row + 28) {
      ASSERT_EQ(image[i], before[i]) << i;
    }
  }
  EXPECT_EQ(node(decode(image), 12)->name, "Dusk!");
}

TEST(RenamePlaylist, ALongerNameReplacesTheRowWithItsFixedFields) {
  ByteVec image = tree();
  const Database db = decode(image);
  const std::uint64_t row = row_of(db, image, 11);
  const ByteVec fixed(image.begin() + static_cast<std::ptrdiff_t>(row),
                      image.begin() + static_cast<std::ptrdiff_t>(row) + 20);
  ASSERT_TRUE(rename_playlist(image, db, 11, "Older sets, from the spring"));
  const Database after = decode(image);
  const auto rows = after.row_locations(table_kind::playlist_tree);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows.back(), db.row_locations(table_kind::playlist_tree).back() + 28);  // after the last row
  EXPECT_EQ(ByteVec(image.begin() + static_cast<std::ptrdiff_t>(rows.back()),
                    image.begin() + static_cast<std::ptrdiff_t>(rows.back()) + 20),
            fixed);
  EXPECT_EQ(node(after, 11)->name, "Older sets, from the spring");
  EXPECT_FALSE(place_of_row(image, after.page_size, row));  // marked absent
}

TEST(MovePlaylist, APositionRenumbersTheNewSiblings) {
  ByteVec image = tree();
  const Database db = decode(image);
  // Top level: 10 (order 0), 14 (order 1). 12 goes between them.
  UndoLog undo;
  ASSERT_TRUE(move_playlist(image, db, 12, 0, 1, undo));
  Database after = decode(image);
  EXPECT_EQ(node(after, 10)->sort_order, 0u);
  EXPECT_EQ(node(after, 12)->sort_order, 1u);
  EXPECT_EQ(node(after, 12)->parent_id, 0u);
  EXPECT_EQ(node(after, 14)->sort_order, 2u);
  // Without a position: after the others (largest + 1), nothing renumbered.
  ASSERT_TRUE(move_playlist(image, after, 14, 10, std::nullopt, undo));
  after = decode(image);
  EXPECT_EQ(node(after, 14)->parent_id, 10u);
  EXPECT_EQ(node(after, 14)->sort_order, 2u);  // 11 has 0, 13 has 1
  undo.undo(image);
  EXPECT_EQ(image, tree());
}

struct MoveRefusal {
  std::uint32_t id, parent;
  std::optional<std::uint32_t> position;
  const char* message;
};

class MovePlaylistRefusal : public ::testing::TestWithParam<MoveRefusal> {};

TEST_P(MovePlaylistRefusal, WritesNothing) {
  ByteVec image = tree();
  const Database db = decode(image);
  UndoLog undo;
  auto moved = move_playlist(image, db, GetParam().id, GetParam().parent, GetParam().position, undo);
  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error().message(), GetParam().message);
  EXPECT_EQ(image, tree());
  EXPECT_TRUE(undo.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MovePlaylistRefusal,
    ::testing::Values(MoveRefusal{99, 0, std::nullopt, "no playlist with id 99"},
                      MoveRefusal{12, 98, std::nullopt, "no playlist with id 98"},
                      MoveRefusal{13, 14, std::nullopt, "playlist 14 is not a folder"},
                      MoveRefusal{10, 11, std::nullopt, "cannot move playlist 10 into folder 11, which lies under it"},
                      MoveRefusal{10, 10, std::nullopt, "cannot move playlist 10 into folder 10, which lies under it"},
                      MoveRefusal{13, 0, 3, "position 3 is past the 2 other playlists under 0"}));

TEST(SetPlaylistTracks, EntryRowsAreReusedInTableOrderThenAppended) {
  ByteVec image = tree();
  Database db = decode(image);
  const auto live = db.row_locations(table_kind::playlist_entries);  // 12: 1, 2, 3; 13: 4; 14: 2
  const std::vector<std::uint64_t> entries(live.begin(), live.end());
  const std::vector<std::uint32_t> two = {4, 4};
  ASSERT_TRUE(set_playlist_tracks(image, db, 12, two));
  EXPECT_EQ(ByteVec(image.begin() + static_cast<std::ptrdiff_t>(entries[0]),
                    image.begin() + static_cast<std::ptrdiff_t>(entries[0]) + 24),
            (ByteVec{1, 0, 0, 0, 4, 0, 0, 0, 12, 0, 0, 0, 2, 0, 0, 0, 4, 0, 0, 0, 12, 0, 0, 0}));
  EXPECT_FALSE(place_of_row(image, db.page_size, entries[2]));
  db = decode(image);
  const std::vector<std::uint32_t> four = {3, 2, 1, 3};
  ASSERT_TRUE(set_playlist_tracks(image, db, 12, four));
  db = decode(image);
  const auto now = db.row_locations(table_kind::playlist_entries);
  ASSERT_EQ(now.size(), 6u);
  EXPECT_EQ(now[4], entries[4] + 12);  // appended after the last entry row
  EXPECT_EQ(db.playlist_entries[4], (PlaylistEntry{3, 1, 12}));
  EXPECT_EQ(db.playlist_entries[5], (PlaylistEntry{4, 3, 12}));
}

TEST(SetPlaylistTracks, RefusesAFolderAndAnAbsentTrack) {
  ByteVec image = tree();
  const Database db = decode(image);
  const std::vector<std::uint32_t> tracks = {1, 9};
  auto folder = set_playlist_tracks(image, db, 10, tracks);
  ASSERT_FALSE(folder);
  EXPECT_EQ(folder.error().message(), "playlist 10 is a folder, which holds no tracks");
  auto absent = set_playlist_tracks(image, db, 12, tracks);
  ASSERT_FALSE(absent);
  EXPECT_EQ(absent.error().message(), "no track with id 9");
  EXPECT_EQ(image, tree());
}

TEST(RemovePlaylists, AFolderGoesWithEverythingUnderItAndTheirEntries) {
  ByteVec image = tree();
  const Database db = decode(image);
  UndoLog undo;
  const std::vector<std::uint32_t> ids = {10};
  ASSERT_TRUE(remove_playlists(image, db, ids, undo));
  const Database after = decode(image);
  ASSERT_EQ(after.playlist_tree.size(), 1u);
  EXPECT_EQ(after.playlist_tree[0].id, 14u);
  EXPECT_EQ(after.playlist_entries, (std::vector<PlaylistEntry>{{1, 2, 14}}));
  EXPECT_EQ(image.size(), tree().size());
  const std::vector<std::uint32_t> absent = {14, 77};
  auto refused = remove_playlists(image, after, absent, undo);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "no playlist with id 77");
  undo.undo(image);
  EXPECT_EQ(image, tree());
}

}  // namespace
}  // namespace vantrel_pdb
