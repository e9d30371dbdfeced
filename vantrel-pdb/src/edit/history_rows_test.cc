// History rows: their bytes, and that the reader reads them back.
#include "edit/history_rows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/blank_image.h"
#include "format/format.h"
#include "read/database.h"

namespace vantrel_pdb {
namespace {

using ByteVec = std::vector<std::uint8_t>;
constexpr std::uint64_t kPage = 4096;
// First rows of kinds 11 and 12 in a blank image: their tables open pages 24 and 26.
constexpr std::uint64_t kHistoryPlaylistRows = 24 * kPage + 40;
constexpr std::uint64_t kHistoryEntryRows = 26 * kPage + 40;

ByteVec bytes(const PdbEditor& e, std::uint64_t pos, std::size_t n) {
  Bytes span = e.image().subspan(pos, n);
  return ByteVec(span.begin(), span.end());
}

TEST(HistoryRows, BytesAsTheReaderReadsThem) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  ASSERT_TRUE(append_history_playlist(editor, 0x01020304, "Fri"));
  ASSERT_TRUE(append_history_playlist(editor, 9, "caf\xc3\xa9"));
  ASSERT_TRUE(append_history_entry(editor, {2, 0x0A0B0C0D, 9}));
  ASSERT_TRUE(append_history_entry(editor, {1, 7, 9}));
  // u32 id, short string "Fri" (kind 9): 8 bytes, allocation 8.
  EXPECT_EQ(bytes(editor, kHistoryPlaylistRows, 8), (ByteVec{4, 3, 2, 1, 0x09, 'F', 'r', 'i'}));
  // u32 id, UTF-16 string of 4 units (total 12): 16 bytes.
  EXPECT_EQ(bytes(editor, kHistoryPlaylistRows + 8, 16),
            (ByteVec{9, 0, 0, 0, 0x90, 12, 0, 0, 'c', 0, 'a', 0, 'f', 0, 0xE9, 0}));
  EXPECT_EQ(bytes(editor, kHistoryEntryRows, 24),
            (ByteVec{2, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A, 9, 0, 0, 0, 1, 0, 0, 0, 7, 0, 0, 0, 9, 0, 0, 0}));
  auto db = Database::from_bytes(editor.to_bytes());
  ASSERT_TRUE(db) << db.error().message();
  ASSERT_EQ(db->history_playlists.size(), 2u);
  EXPECT_EQ(db->history_playlists[0].id, 0x01020304u);
  EXPECT_EQ(db->history_playlists[1].name, "caf\xc3\xa9");
  EXPECT_EQ(db->history_entries, (std::vector<HistoryEntry>{{2, 0x0A0B0C0D, 9}, {1, 7, 9}}));
}

TEST(HistoryRows, ARefusedNameLeavesTheImageAsItWas) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  const ByteVec before(editor.image().begin(), editor.image().end());
  auto refused = append_history_playlist(editor, 1, std::string(40000, 'x'));
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().is<pdb_error::StringTooLong>());
  EXPECT_EQ(ByteVec(editor.image().begin(), editor.image().end()), before);
}

}  // namespace
}  // namespace vantrel_pdb
