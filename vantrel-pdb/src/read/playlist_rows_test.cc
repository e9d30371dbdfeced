#include "read/playlist_rows.h"

#include <gtest/gtest.h>

#include "testing/image_builder.h"

namespace vantrel_pdb {
namespace {

TEST(PlaylistTreeParse, Fields) {
  auto row = testing::tree_row(3, 4, 5, false, "Warm-up");
  auto n = PlaylistTreeNode::parse(row, 0);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->parent_id, 3u);
  EXPECT_EQ(n->sort_order, 4u);
  EXPECT_EQ(n->id, 5u);
  EXPECT_FALSE(n->is_folder);
  EXPECT_EQ(n->name, "Warm-up");
}

TEST(PlaylistTreeParse, AnyNonzeroFolderByteAndIgnoredReserved) {
  auto row = testing::tree_row(0, 0, 1, false, "");
  testing::put_u32(row, 16, 256);
  auto plain = PlaylistTreeNode::parse(row, 0);
  ASSERT_TRUE(plain);
  EXPECT_TRUE(plain->is_folder);
  EXPECT_EQ(plain->name, "");
  testing::put_u32(row, 4, 0xDEADBEEF);
  EXPECT_EQ(*PlaylistTreeNode::parse(row, 0), *plain);
}

TEST(EntryParse, PlaylistAndHistoryShareTheLayout) {
  auto row = testing::entry_row(7, 8, 9);
  auto p = PlaylistEntry::parse(row, 0);
  auto h = HistoryEntry::parse(row, 0);
  ASSERT_TRUE(p && h);
  EXPECT_EQ(p->entry_index, 7u);
  EXPECT_EQ(p->track_id, 8u);
  EXPECT_EQ(p->playlist_id, 9u);
  EXPECT_EQ(h->entry_index, 7u);
  EXPECT_EQ(h->playlist_id, 9u);
}

TEST(PlaylistRowsParse, TruncatedRowsFail) {
  auto tree = testing::tree_row(0, 0, 1, true, "x");
  EXPECT_FALSE(PlaylistTreeNode::parse(std::span(tree).first(20), 0));
  EXPECT_FALSE(PlaylistTreeNode::parse(std::span(tree).first(19), 0));
  auto entry = testing::entry_row(1, 2, 3);
  EXPECT_FALSE(PlaylistEntry::parse(std::span(entry).first(11), 0));
  EXPECT_FALSE(HistoryEntry::parse(entry, 1));
}

}  // namespace
}  // namespace vantrel_pdb
