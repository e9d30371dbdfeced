// remove_tracks at the byte level: the rows that go with a track, and the
// artwork that stays while another track shows it.
#include "edit/track_removal.h"

#include <gtest/gtest.h>

#include <vector>

#include "edit/editor.h"
#include "format/coding.h"
#include "read/database.h"
#include "read/track.h"
#include "testing/image_builder.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {
namespace {

using ByteVec = std::vector<std::uint8_t>;

// Tracks 1 (artwork), 2 (artwork) and 3; playlist 5 of 1, 2, 1, 3; a
// history session 8 of 2, 3; track 3 shows track 1's artwork too.
ByteVec library_with_history() {
  Library library = Library::create();
  for (std::uint32_t id = 1; id <= 3; ++id) {
    TrackInput track;
    track.id = id;
    track.title = "T";
    track.audio_path = "/music/t.mp3";
    if (id < 3) track.artwork_path = std::string("/art/") + std::to_string(id) + ".jpg";
    EXPECT_TRUE(library.add_track(track));
  }
  EXPECT_TRUE(library.add_playlist({5, "Mix", 0, false, {1, 2, 1, 3}}));
  auto bytes = std::move(library).take_bytes();
  EXPECT_TRUE(bytes);
  PdbEditor editor = PdbEditor::from_bytes(std::move(*bytes));
  EXPECT_TRUE(editor.append_row(table_kind::history_playlists, testing::id_name_row(8, "Fri"), 8, false));
  EXPECT_TRUE(editor.append_row(table_kind::history_entries, testing::entry_row(1, 2, 8), 12, false));
  EXPECT_TRUE(editor.append_row(table_kind::history_entries, testing::entry_row(2, 3, 8), 12, false));
  ByteVec image = std::move(editor).into_bytes();
  auto db = Database::from_bytes(image);
  EXPECT_TRUE(db);
  encode_fixed32(image.data() + db->row_locations(table_kind::tracks)[2] + track_row::kArtworkIdOffset, 1);
  return image;
}

TEST(RemoveTracks, EntriesHistoryAndArtworkShownByNoOtherTrackGo) {
  ByteVec image = library_with_history();
  const ByteVec before = image;
  auto db = Database::from_bytes(image, Decoding::kRowLocations);
  ASSERT_TRUE(db);
  UndoLog undo;
  const std::vector<std::uint32_t> ids = {1, 2};
  ASSERT_TRUE(remove_tracks(image, *db, ids, undo));
  auto after = Database::from_bytes(image);
  ASSERT_TRUE(after) << after.error().message();
  ASSERT_EQ(after->tracks.size(), 1u);
  EXPECT_EQ(after->tracks[0].id, 3u);
  EXPECT_EQ(after->playlist_entries, (std::vector<PlaylistEntry>{{4, 3, 5}}));
  EXPECT_EQ(after->history_entries, (std::vector<HistoryEntry>{{2, 3, 8}}));
  ASSERT_EQ(after->history_playlists.size(), 1u);  // the session stays
  // Artwork 2 went with its track; 1 stays while track 3 shows it.
  ASSERT_EQ(after->artwork.size(), 1u);
  EXPECT_EQ(after->artwork[0].id, 1u);
  EXPECT_EQ(image.size(), before.size());
  undo.undo(image);
  EXPECT_EQ(image, before);
}

TEST(RemoveTracks, AnAbsentIdWritesNothing) {
  ByteVec image = library_with_history();
  const ByteVec before = image;
  auto db = Database::from_bytes(image, Decoding::kRowLocations);
  ASSERT_TRUE(db);
  UndoLog undo;
  const std::vector<std::uint32_t> ids = {3, 4};
  auto removed = remove_tracks(image, *db, ids, undo);
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error().message(), "no track with id 4");
  EXPECT_EQ(image, before);
  EXPECT_TRUE(undo.empty());
}

}  // namespace
}  // namespace vantrel_pdb
