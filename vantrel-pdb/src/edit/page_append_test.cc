// Page allocation and row append, checked byte by byte.
#include <gtest/gtest.h>

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
using testing::get_u32;
using testing::put_u16;
using testing::put_u32;
using ByteVec = std::vector<std::uint8_t>;

constexpr std::uint64_t kPage = 4096;

std::uint64_t entry(std::uint64_t i) { return f::kDirectoryOffset + f::kTableEntrySize * i; }
ByteVec image_of(const PdbEditor& e) { return ByteVec(e.image().begin(), e.image().end()); }
std::uint32_t packed_counts(const ByteVec& image, std::uint32_t page) {
  return decode_fixed24(image.data() + page * kPage + f::kPackedCountsOffset);
}

// One table of `kind` with one data page (page 2) holding `rows` 12-byte
// rows; the table's candidate is page 3, past the end.
ByteVec page_with_rows(std::uint32_t rows, std::uint32_t kind = 8) {
  testing::ImageBuilder b;
  auto t = b.add_table(kind);
  b.add_data_page(t);
  for (std::uint32_t i = 0; i < rows; ++i) b.add_row(t, testing::entry_row(i + 1, 0, 0));
  return b.finish();
}

TEST(AppendRow, TwelveByteRowIntoBlankTable) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  ByteVec row = testing::entry_row(1, 2, 3);
  ASSERT_TRUE(editor.append_row(8, row, 12, false));
  ByteVec image = image_of(editor);
  ASSERT_EQ(image.size(), 41 * kPage);
  const std::uint64_t p = 18 * kPage;  // kind 8's candidate
  EXPECT_EQ(ByteVec(image.begin() + p + 40, image.begin() + p + 52), row);
  EXPECT_EQ(get_u16(image, p + 4090), 0);
  EXPECT_EQ(get_u16(image, p + 4092), 1);
  EXPECT_EQ(get_u16(image, p + 4094), 1);
  EXPECT_EQ(image[p + 24], 1);
  EXPECT_EQ(get_u16(image, p + 25), 32);
  EXPECT_EQ(get_u16(image, p + f::kUsedSizeOffset), 12);
  EXPECT_EQ(get_u16(image, p + f::kFreeSizeOffset), 4038);
  EXPECT_EQ(get_u16(image, p + f::kEditRowCountOffset), 1);
  EXPECT_EQ(get_u16(image, p + f::kEditFirstSlotOffset), 0);
  // The opened page and its links.
  EXPECT_EQ(get_u32(image, p + f::kPageIndexOffset), 18u);
  EXPECT_EQ(get_u32(image, p + f::kPageKindOffset), 8u);
  EXPECT_EQ(get_u32(image, p + f::kNextPageOffset), 41u);
  EXPECT_EQ(image[p + f::kPageFlagsOffset], 0x24);
  EXPECT_EQ(get_u32(image, p + f::kPageSequenceOffset), 0u);  // stamped by to_bytes only
  EXPECT_EQ(get_u32(image, 17 * kPage + f::kFirstDataPageOffset), 18u);
  EXPECT_EQ(get_u32(image, entry(8) + f::kEntryLastPageOffset), 18u);
  EXPECT_EQ(get_u32(image, entry(8) + f::kEntryEmptyCandidateOffset), 41u);
  EXPECT_EQ(get_u32(image, f::kNextUnusedPageOffset), 42u);
  // Nothing else of the blank image changed.
  ByteVec expected = make_blank_image();
  std::copy(image.begin() + p, image.begin() + p + kPage, expected.begin() + p);
  put_u32(expected, 17 * kPage + f::kFirstDataPageOffset, 18);
  put_u32(expected, entry(8) + f::kEntryLastPageOffset, 18);
  put_u32(expected, entry(8) + f::kEntryEmptyCandidateOffset, 41);
  put_u32(expected, f::kNextUnusedPageOffset, 42);
  EXPECT_EQ(image, expected);
}

TEST(AppendRow, SecondAllocationGrowsTheImageAndLeavesTheFirstPageAlone) {
  // Kind 19 (never decoded): header page 39, first data page 40.
  auto editor = PdbEditor::from_bytes(make_blank_image());
  ASSERT_TRUE(editor.append_row(19, ByteVec(4050, 7), 4050, false));  // fills page 40 exactly
  ByteVec before = image_of(editor);
  EXPECT_EQ(get_u16(before, 40 * kPage + f::kFreeSizeOffset), 0);
  ASSERT_TRUE(editor.append_row(19, ByteVec(4, 8), 4, false));
  ByteVec image = image_of(editor);
  ASSERT_EQ(image.size(), 42 * kPage);
  EXPECT_TRUE(std::equal(image.begin() + 40 * kPage, image.begin() + 41 * kPage, before.begin() + 40 * kPage));
  EXPECT_EQ(get_u32(image, 39 * kPage + f::kFirstDataPageOffset), 40u);
  EXPECT_EQ(get_u32(image, 41 * kPage + f::kNextPageOffset), 42u);
  EXPECT_EQ(get_u32(image, entry(19) + f::kEntryLastPageOffset), 41u);
  EXPECT_EQ(get_u32(image, entry(19) + f::kEntryEmptyCandidateOffset), 42u);
  EXPECT_EQ(get_u32(image, f::kNextUnusedPageOffset), 43u);
  // The reader walks both pages.
  auto db = Database::from_bytes(image);
  ASSERT_TRUE(db) << db.error().message();
  EXPECT_EQ(std::vector<std::uint64_t>(db->row_locations(19).begin(), db->row_locations(19).end()),
            (std::vector<std::uint64_t>{40 * kPage + 40, 41 * kPage + 40}));
}

// A first row of allocation 48, then a second of `alloc`: 48 + alloc + 2 × 2
// + 4 + 40 ≤ 4096 keeps it on the page.
class FitBoundary : public ::testing::TestWithParam<std::pair<std::uint64_t, bool>> {};

TEST_P(FitBoundary, ExactFitStaysOneByteMoreMovesOn) {
  auto [alloc, same_page] = GetParam();
  auto editor = PdbEditor::from_bytes(make_blank_image());
  ASSERT_TRUE(editor.append_row(1, ByteVec(48, 1), 48, false));
  ASSERT_TRUE(editor.append_row(1, ByteVec(alloc, 2), alloc, false));
  ByteVec image = image_of(editor);
  EXPECT_EQ(get_u32(image, entry(1) + f::kEntryLastPageOffset), same_page ? 4u : 41u);
  EXPECT_EQ(image[4 * kPage + 24], same_page ? 2 : 1);
  if (same_page) {
    EXPECT_EQ(get_u16(image, 4 * kPage + f::kFreeSizeOffset), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FitBoundary,
                         ::testing::Values(std::pair<std::uint64_t, bool>{4000, true},
                                           std::pair<std::uint64_t, bool>{4001, false}));

TEST(AppendRow, LargestAllocationAndRowTooLarge) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  ASSERT_TRUE(editor.append_row(2, ByteVec(4050, 1), 4050, false));
  ByteVec before = image_of(editor);
  auto r = editor.append_row(2, ByteVec(1, 1), 4051, false);
  ASSERT_FALSE(r);
  ASSERT_TRUE(r.error().is<pdb_error::RowTooLarge>());
  EXPECT_EQ(r.error().message(), "row allocation 4051 exceeds page capacity 4050");
  EXPECT_EQ(image_of(editor), before);
  // Decided before the directory is read: an image with no directory at all.
  ByteVec header_only(8, 0);
  put_u32(header_only, f::kPageSizeOffset, 4096);
  auto bare = PdbEditor::from_bytes(header_only);
  EXPECT_EQ(bare.append_row(2, {}, 5000, false).error().message(), "row allocation 5000 exceeds page capacity 4050");
}

TEST(AppendRow, SeventeenthRowOpensGroupOne) {
  ByteVec image = page_with_rows(16);
  put_u16(image, 2 * kPage + 4056, 0xFFFF);  // stale bytes where group 1's flags go
  put_u16(image, 2 * kPage + 4058, 0xFFFF);
  auto editor = PdbEditor::from_bytes(image);
  ASSERT_TRUE(editor.append_row(8, testing::entry_row(17, 0, 0), 12, false));
  ByteVec out = image_of(editor);
  const std::uint64_t p = 2 * kPage;
  EXPECT_EQ(get_u16(out, p + 4054), 16 * 12);
  EXPECT_EQ(get_u16(out, p + 4056), 1);
  EXPECT_EQ(get_u16(out, p + 4058), 1);
  EXPECT_EQ(packed_counts(out, 2), 17u | (17u << 13));
  EXPECT_EQ(get_u16(out, p + f::kFreeSizeOffset), 4096 - 40 - 17 * 12 - (2 * 17 + 8));
}

TEST(AppendRow, PageFromAnEarlierEditKeepsOnlyThisEditsFlags) {
  ByteVec image = page_with_rows(20);
  const std::uint64_t p = 2 * kPage;
  put_u16(image, p + 4094, 0xFFFF);  // edit_flags of groups 0 and 1 from that edit
  put_u16(image, p + 4058, 0x000F);
  put_u16(image, p + 4056, 0x800F);  // a stale present bit on unused slot 31 is not counted
  put_u16(image, p + f::kEditRowCountOffset, 20);
  auto editor = PdbEditor::from_bytes(image);
  ASSERT_TRUE(editor.append_row(8, testing::entry_row(21, 0, 0), 12, false));
  ASSERT_TRUE(editor.append_row(8, testing::entry_row(22, 0, 0), 12, false));
  ByteVec out = image_of(editor);
  EXPECT_EQ(get_u16(out, p + f::kEditFirstSlotOffset), 20);
  EXPECT_EQ(get_u16(out, p + f::kEditRowCountOffset), 2);
  EXPECT_EQ(get_u16(out, p + 4094), 0);
  EXPECT_EQ(get_u16(out, p + 4058), 0x0030);  // slots 20 and 21
  EXPECT_EQ(get_u16(out, p + 4056), 0x803F);  // present: 16..21
  EXPECT_EQ(packed_counts(out, 2), 22u | (22u << 13));
  EXPECT_EQ(get_u16(out, p + 4096 - 36 - 6 - 2 * 5), 21 * 12);  // slot 21's offset
}

// Appends to two tables in turn, one of them moving on to a fresh page
// between two appends of its own, and the editor moved between two: each page counts this edit's
// rows on it alone.
TEST(AppendRow, EachPageCountsItsOwnRowsWhenTablesTakeTurns) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  auto last_page = [](const PdbEditor& e, std::uint32_t kind) {
    return get_u32(image_of(e), entry(kind) + f::kEntryLastPageOffset);
  };
  ASSERT_TRUE(editor.append_row(8, testing::entry_row(1, 0, 0), 12, false));
  const std::uint32_t entries = last_page(editor, 8);
  ASSERT_TRUE(editor.append_row(19, ByteVec(4000, 7), 4000, false));
  const std::uint32_t first = last_page(editor, 19);
  ASSERT_TRUE(editor.append_row(19, ByteVec(100, 8), 100, false));  // does not fit: a fresh page
  const std::uint32_t second = last_page(editor, 19);
  ASSERT_NE(second, first);
  ASSERT_TRUE(editor.append_row(8, testing::entry_row(2, 0, 0), 12, false));
  PdbEditor moved = std::move(editor);
  ASSERT_TRUE(moved.append_row(8, testing::entry_row(3, 0, 0), 12, false));
  ASSERT_TRUE(moved.append_row(19, ByteVec(100, 9), 100, false));
  const ByteVec image = image_of(moved);
  const struct { std::uint32_t page, rows; } pages[] = {{entries, 3}, {first, 1}, {second, 2}};
  for (const auto& page : pages) {
    const std::uint64_t p = std::uint64_t{page.page} * kPage;
    EXPECT_EQ(get_u16(image, p + f::kEditRowCountOffset), page.rows) << page.page;
    EXPECT_EQ(get_u16(image, p + f::kEditFirstSlotOffset), 0) << page.page;
    EXPECT_EQ(packed_counts(image, page.page), page.rows | (page.rows << 13)) << page.page;
  }
}

TEST(AppendRow, DeletedSlotsKeepTheirNumbersAndAreNotCounted) {
  testing::ImageBuilder b;
  auto t = b.add_table(8);
  auto page = b.add_data_page(t);
  for (std::uint32_t i = 0; i < 5; ++i) b.add_row(t, testing::entry_row(i, 0, 0));
  b.set_present(page, 1, false);
  b.set_present(page, 3, false);
  auto editor = PdbEditor::from_bytes(b.finish());
  ASSERT_TRUE(editor.append_row(8, testing::entry_row(9, 0, 0), 12, false));
  ByteVec out = image_of(editor);
  EXPECT_EQ(packed_counts(out, page), 6u | (4u << 13));
  EXPECT_EQ(get_u16(out, page * kPage + 4096 - 6 - 2 * 5), 60);
  EXPECT_EQ(get_u16(out, page * kPage + 4092), 0b110101);
  // The next append to the page adds one to the count the first found.
  ASSERT_TRUE(editor.append_row(8, testing::entry_row(10, 0, 0), 12, false));
  EXPECT_EQ(packed_counts(image_of(editor), page), 7u | (5u << 13));
}

TEST(AppendRow, AllocationBeyondTheRowIsZeroedAndStampReplacesBytesTwoAndThree) {
  ByteVec image = page_with_rows(5);
  const std::uint64_t p = 2 * kPage;
  std::fill(image.begin() + p + 40 + 60, image.begin() + p + 200, 0xEE);  // stale heap bytes
  auto editor = PdbEditor::from_bytes(image);
  ASSERT_TRUE(editor.append_row(8, ByteVec(21, 0xCD), 24, true));
  ASSERT_TRUE(editor.append_row(8, ByteVec(8, 0xCD), 8, false));
  ByteVec out = image_of(editor);
  const std::uint64_t row = p + 40 + 60;
  EXPECT_EQ(get_u16(out, row + 2), 160);  // slot 5 × 32
  EXPECT_EQ(out[row + 4], 0xCD);
  EXPECT_EQ(out[row + 20], 0xCD);
  EXPECT_EQ((ByteVec(out.begin() + row + 21, out.begin() + row + 24)), ByteVec(3, 0));
  EXPECT_EQ(get_u16(out, row + 24 + 2), 0xCDCD);  // not stamped
  EXPECT_EQ(get_u16(out, p + 4096 - 6 - 2 * 6), 84);
  EXPECT_EQ(get_u16(out, p + f::kUsedSizeOffset), 92);
}

TEST(AppendRow, FiveHundredTwelfthSlotIsRefusedBeforeAnyChange) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  for (int i = 0; i < 511; ++i) ASSERT_TRUE(editor.append_row(19, ByteVec(4, 1), 4, false)) << i;
  ByteVec full = image_of(editor);
  EXPECT_EQ(packed_counts(full, 40), 511u | (511u << 13));
  auto r = editor.append_row(19, ByteVec(4, 1), 4, false);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "slot count encoding caps at 511 per page");
  EXPECT_EQ(image_of(editor), full);
}

// Unsound images and arguments: each fails, and the image is left as it was.
struct BadCase {
  const char* name;
  void (*spoil)(ByteVec&);
  std::uint64_t row_size = 12, alloc = 12;
  bool stamp = false;
};

class AppendRefusal : public ::testing::TestWithParam<BadCase> {};

TEST_P(AppendRefusal, FailsWithoutChangingTheImage) {
  const auto& c = GetParam();
  ByteVec image = make_blank_image();
  c.spoil(image);
  auto editor = PdbEditor::from_bytes(image);
  auto r = editor.append_row(1, ByteVec(c.row_size, 1), c.alloc, c.stamp);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is<pdb_error::Damaged>() || r.error().is<pdb_error::Misuse>()) << r.error().message();
  EXPECT_EQ(editor.to_bytes(), image);
}

// Kind 1: header page 3, candidate 4, directory entry 1.
INSTANTIATE_TEST_SUITE_P(
    Cases, AppendRefusal,
    ::testing::Values(
        BadCase{"last_page_past_end", [](ByteVec& i) { put_u32(i, entry(1) + 12, 41); }},
        BadCase{"last_page_zero", [](ByteVec& i) { put_u32(i, entry(1) + 12, 0); }},
        BadCase{"last_page_of_other_kind", [](ByteVec& i) { put_u32(i, 3 * kPage + f::kPageKindOffset, 2); }},
        BadCase{"candidate_zero", [](ByteVec& i) { put_u32(i, entry(1) + 4, 0); }},
        BadCase{"candidate_not_below_next_unused", [](ByteVec& i) { put_u32(i, f::kNextUnusedPageOffset, 4); }},
        BadCase{"next_unused_at_max", [](ByteVec& i) { put_u32(i, f::kNextUnusedPageOffset, 0xFFFFFFFF); }},
        BadCase{"last_page_not_linked_to_candidate", [](ByteVec& i) { put_u32(i, 3 * kPage + 12, 6); }},
        BadCase{"candidate_is_another_chain",
                [](ByteVec& i) {
                  put_u32(i, entry(1) + 4, 5);
                  put_u32(i, 3 * kPage + 12, 5);
                }},
        BadCase{"candidate_far_past_end",
                [](ByteVec& i) {
                  put_u32(i, entry(1) + 4, 100000);
                  put_u32(i, 3 * kPage + 12, 100000);
                  put_u32(i, f::kNextUnusedPageOffset, 100001);
                }},
        BadCase{"chain_leaves_image", [](ByteVec& i) { put_u32(i, entry(1) + 8, 900); }},
        BadCase{"page_size_zero", [](ByteVec& i) { put_u32(i, f::kPageSizeOffset, 0); }},
        BadCase{"page_size_too_small", [](ByteVec& i) { put_u32(i, f::kPageSizeOffset, 64); }},
        BadCase{"page_size_too_large", [](ByteVec& i) { put_u32(i, f::kPageSizeOffset, 70000); }},
        BadCase{"row_longer_than_allocation", [](ByteVec&) {}, 13, 12},
        BadCase{"stamp_without_room", [](ByteVec&) {}, 2, 2, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(AppendRow, MissingTableAndDuplicateKind) {
  auto editor = PdbEditor::from_bytes(make_blank_image());
  EXPECT_EQ(editor.append_row(20, ByteVec(12, 1), 12, false).error().message(), "no table of type 20");
  EXPECT_EQ(editor.to_bytes(), make_blank_image());
  // With kind 1 twice, rows go to the first entry's chain.
  ByteVec twice = make_blank_image();
  put_u32(twice, entry(6), 1);
  auto dup = PdbEditor::from_bytes(twice);
  ASSERT_TRUE(dup.append_row(1, ByteVec(12, 1), 12, false));
  EXPECT_EQ(get_u32(image_of(dup), entry(1) + f::kEntryLastPageOffset), 4u);
  EXPECT_EQ(get_u32(image_of(dup), entry(6) + f::kEntryLastPageOffset), 13u);
}

TEST(AllocatePage, KeepsAFirstDataPageAlreadyRecorded) {
  ByteVec image = make_blank_image();
  put_u32(image, 3 * kPage + f::kFirstDataPageOffset, 77);
  auto editor = PdbEditor::from_bytes(image);
  auto page = editor.allocate_page(1);
  ASSERT_TRUE(page);
  EXPECT_EQ(page.value(), 4u);
  EXPECT_EQ(get_u32(image_of(editor), 3 * kPage + f::kFirstDataPageOffset), 77u);
  EXPECT_EQ(get_u16(image_of(editor), 4 * kPage + f::kFreeSizeOffset), 4056);
}

}  // namespace
}  // namespace vantrel_pdb
