// create_playlist and add_to_playlist: numbering, row bytes and refusals.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "edit/editor.h"
#include "format/blank_image.h"
#include "format/format.h"
#include "read/database.h"
#include "testing/image_builder.h"

namespace vantrel_pdb {
namespace {

namespace f = format;
using testing::get_u16;
using ByteVec = std::vector<std::uint8_t>;

constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kTreeRows = 16 * kPage + 40;   // first row of kind 7 in a blank image
constexpr std::uint64_t kEntryRows = 18 * kPage + 40;  // first row of kind 8

ByteVec image_of(const PdbEditor& e) { return ByteVec(e.image().begin(), e.image().end()); }
ByteVec bytes(const PdbEditor& e, std::uint64_t pos, std::size_t n) {
  Bytes span = e.image().subspan(pos, n);
  return ByteVec(span.begin(), span.end());
}

struct Node {
  std::uint32_t parent, sort, id;
  bool folder;
};
struct Entry {
  std::uint32_t index, track, playlist;
};

ByteVec tree(const std::vector<Node>& nodes, const std::vector<Entry>& entries = {}) {
  testing::ImageBuilder b;
  auto t = b.add_table(7);
  auto e = b.add_table(8);
  for (const Node& n : nodes) b.add_row(t, testing::tree_row(n.parent, n.sort, n.id, n.folder, "n"));
  for (const Entry& x : entries) b.add_row(e, testing::entry_row(x.index, x.track, x.playlist));
  return b.finish();
}

TEST(CreatePlaylist, FirstNodesOfABlankImage) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  EXPECT_TRUE(editor.create_playlist(1, "abcd", 0, true));
  EXPECT_TRUE(editor.create_playlist(2, "B", 0, false));
  // 20 fixed bytes and a 5-byte name: row 25, allocation 28.
  EXPECT_EQ(bytes(editor, kTreeRows, 28),
            (ByteVec{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0x0B, 'a', 'b', 'c', 'd', 0, 0, 0}));
  EXPECT_EQ(bytes(editor, kTreeRows + 28, 22),
            (ByteVec{0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0x05, 'B'}));
  EXPECT_EQ(get_u16(image_of(editor), 16 * kPage + f::kUsedSizeOffset), 28 + 24);
}

TEST(CreatePlaylist, TheCallersIdSortOrderPerParent) {
  auto editor = PdbEditor::from_bytes(tree({{0, 5, 1, true}, {0, 2, 9, false}, {1, 7, 2, false}}));
  EXPECT_TRUE(editor.create_playlist(40, "x", 9, false));
  EXPECT_TRUE(editor.create_playlist(3, "y", 0, false));
  EXPECT_TRUE(editor.create_playlist(0xFFFFFFFF, "z", 1, false));
  EXPECT_TRUE(editor.create_playlist(40, "w", 40, false));  // under the node just made
  // A given order stands as it is, and the next sibling follows it.
  EXPECT_TRUE(editor.create_playlist(50, "v", 0, false, 0xFFFFFFF0));
  EXPECT_TRUE(editor.create_playlist(51, "u", 0, false, 1));
  EXPECT_TRUE(editor.create_playlist(52, "t", 0, false));
  auto db = Database::from_bytes(editor.image());
  ASSERT_TRUE(db);
  std::vector<std::uint32_t> sort_orders, ids;
  for (const auto& n : db->playlist_tree) {
    sort_orders.push_back(n.sort_order);
    ids.push_back(n.id);
  }
  EXPECT_EQ(sort_orders, (std::vector<std::uint32_t>{5, 2, 7, 0, 6, 8, 0, 0xFFFFFFF0, 1, 0xFFFFFFF1}));
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 9, 2, 40, 3, 0xFFFFFFFF, 40, 50, 51, 52}));
}

TEST(AddToPlaylist, EntryIndicesPerPlaylist) {
  auto editor = PdbEditor::from_bytes(
      tree({{0, 0, 5, false}, {0, 1, 6, false}, {0, 2, 4, false}}, {{1, 10, 5}, {7, 11, 5}, {2, 12, 5}, {30, 13, 6}}));
  ASSERT_TRUE(editor.add_to_playlist(5, 99, std::nullopt));  // 8; track 99 does not exist
  ASSERT_TRUE(editor.add_to_playlist(4, 20, std::nullopt));  // 1, whatever other playlists hold
  ASSERT_TRUE(editor.add_to_playlist(4, 21, std::nullopt));  // 2: sees the previous entry
  ASSERT_TRUE(editor.add_to_playlist(4, 22, 0));             // as given
  auto db = Database::from_bytes(editor.image());
  ASSERT_TRUE(db);
  ASSERT_EQ(db->playlist_entries.size(), 8u);
  std::vector<std::vector<std::uint32_t>> added;
  for (std::size_t i = 4; i < 8; ++i) {
    const auto& e = db->playlist_entries[i];
    added.push_back({e.entry_index, e.track_id, e.playlist_id});
  }
  EXPECT_EQ(added, (std::vector<std::vector<std::uint32_t>>{{8, 99, 5}, {1, 20, 4}, {2, 21, 4}, {0, 22, 4}}));
}

TEST(AddToPlaylist, RowBytesInABlankImage) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  ASSERT_TRUE(editor.create_playlist(1, "p", 0, false));
  ASSERT_TRUE(editor.add_to_playlist(1, 0x01020304, std::nullopt));
  EXPECT_EQ(bytes(editor, kEntryRows, 12), (ByteVec{1, 0, 0, 0, 4, 3, 2, 1, 1, 0, 0, 0}));
}

struct RefusalCase {
  const char* name;
  ByteVec image;
  std::uint32_t playlist_id;
  std::string message;
};

class AddToPlaylistRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(AddToPlaylistRefusal, LeavesTheImageUnchanged) {
  const auto& c = GetParam();
  auto editor = PdbEditor::from_bytes(c.image);
  auto r = editor.add_to_playlist(c.playlist_id, 1, std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), c.message);
  EXPECT_EQ(image_of(editor), c.image);
}

INSTANTIATE_TEST_SUITE_P(Cases, AddToPlaylistRefusal,
                         ::testing::Values(RefusalCase{"folder", tree({{0, 0, 3, true}}), 3, "no playlist with id 3"},
                                           RefusalCase{"missing", tree({{0, 0, 3, false}}), 4, "no playlist with id 4"},
                                           RefusalCase{"first_with_id_is_folder",
                                                       tree({{0, 0, 3, true}, {0, 1, 3, false}}), 3,
                                                       "no playlist with id 3"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// Sort orders and computed entry indices are positions, not ids: they wrap
// in 32 bits instead of failing.
TEST(PlaylistNumbering, PositionsWrapPastTheLargestValue) {
  auto editor = PdbEditor::from_bytes(
      tree({{0, 0xFFFFFFFF, 1, false}, {1, 0xFFFFFFFE, 2, false}}, {{0xFFFFFFFF, 7, 1}, {0xFFFFFFFE, 7, 2}}));
  ASSERT_TRUE(editor.create_playlist(3, "a", 0, false));    // sort_order 0xFFFFFFFF + 1 = 0
  ASSERT_TRUE(editor.create_playlist(4, "b", 0, false));    // 0xFFFFFFFF is still the largest: 0 again
  ASSERT_TRUE(editor.create_playlist(5, "c", 1, false));    // 0xFFFFFFFE + 1
  ASSERT_TRUE(editor.add_to_playlist(1, 8, std::nullopt));  // 0xFFFFFFFF + 1 = 0
  ASSERT_TRUE(editor.add_to_playlist(2, 8, std::nullopt));  // 0xFFFFFFFE + 1
  ASSERT_TRUE(editor.add_to_playlist(2, 9, std::nullopt));  // then 0
  auto db = Database::from_bytes(editor.image());
  ASSERT_TRUE(db);
  std::vector<std::uint32_t> sort_orders;
  for (const auto& n : db->playlist_tree) sort_orders.push_back(n.sort_order);
  EXPECT_EQ(sort_orders, (std::vector<std::uint32_t>{0xFFFFFFFF, 0xFFFFFFFE, 0, 0, 0xFFFFFFFF}));
  std::vector<std::uint32_t> indices;
  for (const auto& e : db->playlist_entries) indices.push_back(e.entry_index);
  EXPECT_EQ(indices, (std::vector<std::uint32_t>{0xFFFFFFFF, 0xFFFFFFFE, 0, 0xFFFFFFFF, 0}));
  // The wrapped sort order of node 3 in the bytes: third row of data page 3, after two 24-byte rows.
  EXPECT_EQ(testing::get_u32(image_of(editor), 3 * kPage + 40 + 2 * 24 + 8), 0u);
}

TEST(AddToPlaylist, FirstNodeWithTheIdDecides) {
  auto editor = PdbEditor::from_bytes(tree({{0, 0, 3, false}, {0, 1, 3, true}}));
  EXPECT_TRUE(editor.add_to_playlist(3, 1, std::nullopt));
}

TEST(CreatePlaylist, RefusalsLeaveTheImageUnchanged) {
  testing::ImageBuilder b;
  b.add_row(b.add_table(7), ByteVec{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x02, 4, 0, 0});
  ByteVec undecodable = b.finish();
  struct Case {
    ByteVec image;
    std::string name;
    std::string message;
  };
  for (const Case& c : {Case{make_blank_image(), std::string(32764, 'x'), "string too long for PDB encoding"},
                        Case{undecodable, "x", "unknown PDB string kind 0x02 at offset 0x203c"}}) {
    auto editor = PdbEditor::from_bytes(c.image);
    auto r = editor.create_playlist(1, c.name, 0, false);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_EQ(image_of(editor), c.image);
  }
}

}  // namespace
}  // namespace vantrel_pdb
