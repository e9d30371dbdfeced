#include "edit/editor_lookup.h"

#include <gtest/gtest.h>

#include <vector>

#include "edit/editor.h"
#include "format/blank_image.h"
#include "format/format.h"
#include "testing/image_builder.h"

namespace vantrel_pdb {
namespace {

using ByteVec = std::vector<std::uint8_t>;
using Maybe = std::optional<std::uint32_t>;

// Answers as the reader sees the image: deleted rows do not count and a kind
// listed twice is read from its later entry.
TEST(DecodingLookup, AnswersFromTheDecodedImage) {
  testing::ImageBuilder b;
  auto genres = b.add_table(1);
  b.add_row(genres, testing::id_name_row(4, "House"));
  b.add_row(genres, testing::id_name_row(2, "Techno"));
  b.add_row(genres, testing::id_name_row(9, "House"));
  std::uint32_t page = b.add_data_page(genres);
  b.add_row(genres, testing::id_name_row(30, "Deleted"));
  b.set_present(page, 0, false);
  auto tree = b.add_table(7);
  b.add_row(tree, testing::tree_row(0, 3, 5, true, "f"));
  b.add_row(tree, testing::tree_row(5, 8, 6, false, "p"));
  b.add_row(tree, testing::tree_row(0, 1, 5, false, "again"));
  auto entries = b.add_table(8);
  b.add_row(entries, testing::entry_row(4, 1, 6));
  b.add_row(entries, testing::entry_row(2, 1, 6));
  auto tracks = b.add_table(0);
  testing::TrackRowFields fields;
  std::uint64_t row = b.add_row(tracks, testing::track_row(fields));
  auto keys_early = b.add_table(5);
  b.add_row(keys_early, testing::key_row(50, "Am"));
  b.add_table(5);  // the later, empty entry of kind 5 is the one read
  ByteVec image = b.finish();
  testing::put_u32(image, row + 20, 0x100007);

  auto lookup = make_decoding_lookup();
  EXPECT_EQ(lookup->largest_id(image, 1).value(), Maybe(9));
  EXPECT_EQ(lookup->find_name(image, 1, "House").value(), Maybe(4));
  EXPECT_EQ(lookup->find_name(image, 1, "Deleted").value(), Maybe());
  EXPECT_EQ(lookup->largest_id(image, 7).value(), Maybe(6));
  EXPECT_EQ(lookup->largest_id(image, 2).value(), Maybe());
  EXPECT_EQ(lookup->largest_sort_order(image, 0).value(), Maybe(3));
  EXPECT_EQ(lookup->largest_sort_order(image, 6).value(), Maybe());
  EXPECT_EQ(lookup->largest_entry_index(image, 6).value(), Maybe(4));
  EXPECT_EQ(lookup->find_node(image, 5).value(), TreeNodeInfo{true});
  EXPECT_EQ(lookup->find_node(image, 7).value(), std::nullopt);
  EXPECT_EQ(lookup->largest_track_serial(image).value(), Maybe(0x100007));
  EXPECT_EQ(lookup->find_name(image, 5, "Am").value(), Maybe());
  EXPECT_EQ(lookup->largest_id(image, 5).value(), Maybe());
  EXPECT_FALSE(lookup->largest_id(image, 13));
  // After an append the next answer comes from a fresh decoding.
  ByteVec grown = image;
  testing::put_u32(grown, 2 * 4096 + 40, 70);  // the first genre row's id
  lookup->on_row_appended(grown, 1, 2 * 4096 + 40);
  EXPECT_EQ(lookup->largest_id(grown, 1).value(), Maybe(70));
  auto broken = make_decoding_lookup()->find_name(ByteVec(10, 0), 1, "x");
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().message(), "io error: image of 10 bytes has no file header");
}

// A lookup that answers 41 for every largest id and records appends.
class FixedLookup final : public EditorLookup {
 public:
  std::vector<std::pair<std::uint32_t, std::uint64_t>>* appended;
  explicit FixedLookup(std::vector<std::pair<std::uint32_t, std::uint64_t>>* log) : appended(log) {}
  MaybeU32 largest_id(Bytes, std::uint32_t) override { return 41; }
  MaybeU32 find_name(Bytes, std::uint32_t, std::string_view) override { return std::nullopt; }
  MaybeU32 largest_sort_order(Bytes, std::uint32_t) override { return std::nullopt; }
  MaybeU32 largest_entry_index(Bytes, std::uint32_t) override { return std::nullopt; }
  std::expected<std::optional<TreeNodeInfo>, PdbError> find_node(Bytes, std::uint32_t) override {
    return TreeNodeInfo{false};
  }
  MaybeU32 largest_track_serial(Bytes) override { return std::nullopt; }
  void on_row_appended(Bytes, std::uint32_t kind, std::uint64_t location) override {
    appended->emplace_back(kind, location);
  }
};

TEST(EditorLookupSeam, TheGivenLookupAnswersAndHearsEveryAppend) {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> log;
  auto editor = editor_with_lookup(make_blank_image(), std::make_unique<FixedLookup>(&log));
  EXPECT_EQ(editor.get_or_create_named(4, "x").value(), 42u);
  EXPECT_EQ(editor.get_or_create_named(4, "x").value(), 42u);  // the lookup, not the image, decides
  EXPECT_TRUE(editor.create_playlist(3, "p", 0, false));
  EXPECT_TRUE(editor.add_to_playlist(3, 1, std::nullopt));
  ASSERT_TRUE(editor.append_row(19, ByteVec(4, 0), 4, false));
  EXPECT_EQ(
      log,
      (std::vector<std::pair<std::uint32_t, std::uint64_t>>{
          {4, 10 * 4096 + 40}, {4, 10 * 4096 + 48}, {7, 16 * 4096 + 40}, {8, 18 * 4096 + 40}, {19, 40 * 4096 + 40}}));
}

TEST(NextNumber, OneAfterTheLargestWithoutWrapping) {
  EXPECT_EQ(next_number(std::nullopt, "id").value(), 1u);
  EXPECT_EQ(next_number(0, "id").value(), 1u);
  EXPECT_EQ(next_number(0xFFFFFFFE, "id").value(), 0xFFFFFFFFu);
  EXPECT_EQ(next_number(0xFFFFFFFF, "track id").error().message(), "track id=4294967296 does not fit in 4 byte(s)");
}

}  // namespace
}  // namespace vantrel_pdb
