#include "edit/editor.h"

#include <gtest/gtest.h>

#include <vector>

#include "format/blank_image.h"
#include "format/format.h"
#include "testing/image_builder.h"

namespace vantrel_pdb {
namespace {

namespace f = format;

using testing::get_u16;
using testing::get_u32;
using testing::put_u32;
using ByteVec = std::vector<std::uint8_t>;

constexpr std::uint64_t kPage = 4096;
const ByteVec kRow(12, 0x11);

std::uint64_t entry(std::uint64_t i) { return f::kDirectoryOffset + f::kTableEntrySize * i; }
std::uint32_t sequence_of(const ByteVec& image, std::uint32_t page) {
  return get_u32(image, page * kPage + f::kPageSequenceOffset);
}

TEST(EditorImage, UntouchedEditorReturnsItsInput) {
  ByteVec blank = make_blank_image();
  auto editor = PdbEditor::from_bytes(blank);
  EXPECT_EQ(editor.page_size(), 4096u);
  EXPECT_EQ(editor.to_bytes(), blank);
  EXPECT_EQ(std::move(editor).into_bytes(), blank);
}

struct EntryCase {
  const char* name;
  ByteVec image;
  std::uint32_t kind;
  std::uint64_t offset;  // expected offset, or 0 for a failure
  const char* message;   // expected failure message
};

class TableEntryOffset : public ::testing::TestWithParam<EntryCase> {};

TEST_P(TableEntryOffset, FindsTheFirstEntryOrFails) {
  const auto& c = GetParam();
  auto offset = PdbEditor::table_entry_offset(c.image, c.kind);
  if (c.offset != 0) {
    ASSERT_TRUE(offset) << offset.error().message();
    EXPECT_EQ(offset.value(), c.offset);
  } else {
    ASSERT_FALSE(offset);
    EXPECT_EQ(offset.error().message(), c.message);
  }
}

ByteVec with_u32(ByteVec image, std::uint64_t pos, std::uint32_t v) {
  put_u32(image, pos, v);
  return image;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TableEntryOffset,
    ::testing::Values(
        EntryCase{"first", make_blank_image(), 0, 28, ""}, EntryCase{"last", make_blank_image(), 19, 28 + 16 * 19, ""},
        EntryCase{"missing", make_blank_image(), 20, 0, "no table of type 20"},
        EntryCase{"empty_directory", with_u32(make_blank_image(), f::kTableCountOffset, 0), 0, 0, "no table of type 0"},
        EntryCase{"duplicate_kind_first_wins", with_u32(make_blank_image(), entry(3), 5), 5, entry(3), ""},
        EntryCase{"directory_past_end", with_u32(ByteVec(40, 0), f::kTableCountOffset, 9), 1, 0,
                  "io error: table directory of 9 entries runs past the end of the image"},
        EntryCase{"no_header", ByteVec(8, 0), 0, 0, "io error: image of 8 bytes has no file header"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A table of one header page and three data pages with the given
// page_sequence values; the header page keeps 1.
ByteVec table_with_sequences(std::uint32_t kind, std::vector<std::uint32_t> sequences) {
  testing::ImageBuilder b;
  auto t = b.add_table(kind);
  std::vector<std::uint32_t> pages;
  for (std::size_t i = 0; i < sequences.size(); ++i) pages.push_back(b.add_data_page(t));
  ByteVec image = b.finish();
  for (std::size_t i = 0; i < pages.size(); ++i)
    put_u32(image, pages[i] * kPage + f::kPageSequenceOffset, sequences[i]);
  return image;
}

// Kinds the editor remembers by kind (below 32) and kinds it looks up;
// the second append to the table asks what the first found.
TEST(EditorStamps, TouchedPageGetsLargestSequencePlusOne) {
  for (std::uint32_t kind : {1u, 31u, 32u, 0x10000u}) {
    SCOPED_TRACE(kind);
    // Pages: 0 header, 1 table header, 2..4 data pages carrying 1, 5, 3.
    auto editor = PdbEditor::from_bytes(table_with_sequences(kind, {1, 5, 3}));
    ASSERT_TRUE(editor.append_row(kind, kRow, 12, false));
    ASSERT_TRUE(editor.append_row(kind, kRow, 12, false));
    ByteVec out = editor.to_bytes();
    EXPECT_EQ(sequence_of(out, 1), 1u);
    EXPECT_EQ(sequence_of(out, 2), 1u);
    EXPECT_EQ(sequence_of(out, 3), 5u);
    EXPECT_EQ(sequence_of(out, 4), 6u);
    EXPECT_EQ(get_u32(out, f::kSequenceOffset), 2u);
    EXPECT_EQ(get_u16(out, 4 * kPage + f::kEditRowCountOffset), 2u);
  }
}

TEST(EditorStamps, LargestSequenceWrapsToZero) {
  ByteVec image = table_with_sequences(1, {0xFFFFFFFF});
  put_u32(image, kPage + f::kPageSequenceOffset, 0xFFFFFFFF);
  auto editor = PdbEditor::from_bytes(image);
  ASSERT_TRUE(editor.append_row(1, kRow, 12, false));
  EXPECT_EQ(sequence_of(editor.to_bytes(), 2), 0u);
}

TEST(EditorStamps, BlankBuildStampsOnlyOpenedPagesPerTable) {
  ByteVec blank = make_blank_image();
  put_u32(blank, 15 * kPage + f::kPageSequenceOffset, 7);  // playlist tree header page
  auto editor = PdbEditor::from_bytes(blank);
  ASSERT_TRUE(editor.append_row(1, kRow, 12, false));
  ASSERT_TRUE(editor.append_row(7, kRow, 12, false));
  ByteVec first = editor.to_bytes();
  EXPECT_EQ(sequence_of(first, 4), 2u);   // genres: 1 + 1
  EXPECT_EQ(sequence_of(first, 16), 8u);  // playlist tree: 7 + 1
  EXPECT_EQ(sequence_of(first, 3), 1u);   // header pages are not touched
  EXPECT_EQ(sequence_of(first, 15), 7u);
  EXPECT_EQ(get_u32(first, f::kSequenceOffset), 2u);
  EXPECT_EQ(editor.to_bytes(), first);

  // Later changes in the same edit reuse the stamp (page 4 now carries 2,
  // yet a new page gets 2, not 3) and the header sequence is not raised again.
  ASSERT_TRUE(editor.append_row(1, ByteVec(4050, 1), 4050, false));
  ByteVec second = editor.to_bytes();
  EXPECT_EQ(sequence_of(second, 41), 2u);
  EXPECT_EQ(get_u32(second, f::kSequenceOffset), 2u);
  EXPECT_EQ(std::move(editor).into_bytes(), second);
}

TEST(EditorStamps, ChainThatNeverReachesItsLastPageFails) {
  ByteVec image = table_with_sequences(1, {1, 1});
  put_u32(image, 3 * kPage + f::kNextPageOffset, 2);  // page 3 links back to 2
  put_u32(image, entry(0) + f::kEntryLastPageOffset, 9);
  ByteVec beyond = table_with_sequences(1, {1, 1});
  put_u32(beyond, 2 * kPage + f::kNextPageOffset, 1000);
  for (const ByteVec& bad : {image, beyond}) {
    auto editor = PdbEditor::from_bytes(bad);
    auto r = editor.mark_table_touched(1, 2);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              "io error: page chain of table kind 1 leaves the image or never reaches its last page");
    EXPECT_EQ(editor.to_bytes(), bad);  // nothing recorded
  }
}

TEST(EditorStamps, MarkTableTouchedRefusesMissingTablesAndPages) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  EXPECT_EQ(editor.mark_table_touched(20, 4).error().message(), "no table of type 20");
  EXPECT_FALSE(editor.mark_table_touched(1, 41));
  EXPECT_FALSE(editor.mark_table_touched(1, 0));
  EXPECT_EQ(editor.to_bytes(), make_blank_image());
  ASSERT_TRUE(editor.mark_table_touched(1, 4));
  EXPECT_EQ(get_u32(editor.to_bytes(), f::kSequenceOffset), 2u);
}

TEST(EditorImage, ShortImageFailsEveryOperation) {
  ByteVec tiny = {1, 2, 3};
  auto editor = PdbEditor::from_bytes(tiny);
  EXPECT_EQ(editor.page_size(), 0u);
  EXPECT_FALSE(editor.append_row(1, kRow, 12, false));
  EXPECT_FALSE(editor.get_or_create_named(1, "House"));
  EXPECT_FALSE(editor.add_track(NewTrack("t", "/a.mp3")));
  EXPECT_FALSE(editor.create_playlist(1, "p", 0, false));
  EXPECT_EQ(editor.to_bytes(), tiny);
}

}  // namespace
}  // namespace vantrel_pdb
