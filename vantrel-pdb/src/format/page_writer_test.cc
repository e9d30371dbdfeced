#include "format/page_writer.h"

#include <gtest/gtest.h>

#include <vector>

#include "format/blank_image.h"
#include "format/row_offsets.h"
#include "testing/image_builder.h"

namespace vantrel_pdb::format {
namespace {

using ByteVec = std::vector<std::uint8_t>;
using testing::get_u16;
using testing::get_u32;
constexpr std::uint64_t kPage = 4096;

ByteVec fresh_page(std::uint32_t index = 9, std::uint32_t kind = 13, std::uint32_t sequence = 1) {
  ByteVec page(kPage, 0xEE);  // whatever was there before goes
  init_data_page(page, {.index = index, .kind = kind, .sequence = sequence});
  return page;
}

TEST(PageWriter, FreshDataPageHeader) {
  ByteVec page = fresh_page();
  ByteVec expected(kPage, 0);
  testing::put_u32(expected, kPageIndexOffset, 9);
  testing::put_u32(expected, kPageKindOffset, 13);
  testing::put_u32(expected, kPageSequenceOffset, 1);
  expected[kPageFlagsOffset] = kDataPageFlags;
  expected[kFreeSizeOffset] = 0xD8;  // 4056
  expected[kFreeSizeOffset + 1] = 0x0F;
  EXPECT_EQ(page, expected);
}

// Seventeen rows of 12 bytes (allocation 16): the second group is opened,
// every byte of the row index and header is where the reader looks.
TEST(PageWriter, RowsIntoTwoGroupsAndTheirCounts) {
  ByteVec page = fresh_page();
  page[kPage - 36 - 4] = 0xFF;  // stale bits where group 1 will begin
  for (std::uint64_t s = 0; s < 17; ++s) {
    ASSERT_TRUE(row_fits(kPage, s, 16 * s, 16));
    auto row = put_row(page, s, 16 * s, ByteVec(12, static_cast<std::uint8_t>(s + 1)), 16);
    EXPECT_EQ(row.data(), page.data() + 40 + 16 * s);
  }
  EXPECT_EQ(recount(page, 17), 17u);
  set_heap_use(page, 17, 17 * 16);
  set_edit_counts(page, 17, 0);
  EXPECT_EQ(get_u16(page, kPage - 4), 0xFFFF);        // group 0 present
  EXPECT_EQ(get_u16(page, kPage - 2), 0xFFFF);        // group 0 edit
  EXPECT_EQ(get_u16(page, kPage - 36 - 4), 1);        // group 1 present, stale bits cleared
  EXPECT_EQ(get_u16(page, kPage - 36 - 2), 1);        // group 1 edit
  EXPECT_EQ(get_u16(page, kPage - 36 - 6), 16 * 16);  // slot 16's offset word
  EXPECT_EQ(page[40 + 16 * 3 + 11], 4);               // row 3's last byte
  EXPECT_EQ(page[40 + 16 * 3 + 12], 0);               // its allocation padded with zero
  EXPECT_EQ(decode_fixed24(page.data() + kPackedCountsOffset), 17u | (17u << 13));
  EXPECT_EQ(get_u16(page, kUsedSizeOffset), 272);
  EXPECT_EQ(get_u16(page, kFreeSizeOffset), 4096 - 40 - 272 - 2 * 17 - 4 * 2);
  EXPECT_EQ(get_u16(page, kEditRowCountOffset), 17);
  EXPECT_EQ(row_offsets(page, kPage).size(), 17u);
  EXPECT_EQ(slot_count(page), 17u);
  EXPECT_EQ(slot_row_offset(page, 16), 256);

  clear_present(page, 1);
  clear_present(page, 16);
  clear_edit_flags(page, 17);
  EXPECT_EQ(recount(page, 17), 15u);
  EXPECT_EQ(get_u16(page, kPage - 4), 0xFFFD);
  EXPECT_EQ(get_u16(page, kPage - 2), 0);
  EXPECT_EQ(get_u16(page, kPage - 36 - 2), 0);
  EXPECT_EQ(row_offsets(page, kPage).size(), 15u);
  // Bits of slots past the count are not counted; all 13 bits of the count are kept.
  EXPECT_EQ(recount(page, 3), 2u);
  EXPECT_EQ(recount(page, 0x1FFF & 20), 15u);
  EXPECT_EQ(decode_fixed24(page.data() + kPackedCountsOffset), 20u | (15u << 13));
}

TEST(PageWriter, FitAndRowIndexBoundaries) {
  EXPECT_TRUE(row_fits(kPage, 0, 0, 4050));
  EXPECT_FALSE(row_fits(kPage, 0, 0, 4051));
  EXPECT_TRUE(row_fits(kPage, 16, 100, 4096 - 40 - 100 - 2 * 17 - 8));
  EXPECT_FALSE(row_fits(kPage, 16, 100, 4096 - 40 - 100 - 2 * 17 - 7));
  EXPECT_TRUE(row_index_in_page(kPage, 0));
  // Slot s's word lies at 4096 - 36 (s / 16) - 6 - 2 (s % 16): 1802 slots reach 40 exactly.
  EXPECT_TRUE(row_index_in_page(kPage, 1802));
  EXPECT_FALSE(row_index_in_page(kPage, 1803));
  EXPECT_FALSE(row_index_in_page(kPage, 0x1FFF));
}

TEST(PageWriter, LinkingSetsFirstDataPageOnceAndAdvancesTheCandidate) {
  ByteVec image = make_blank_image();  // kind 13: entry 13, header page 27, candidate 28
  const std::uint64_t entry = kDirectoryOffset + 16 * 13;
  init_data_page(std::span(image).subspan(28 * kPage, kPage), {.index = 28, .kind = 13});
  link_page(image, kPage, entry, 28, 27);
  EXPECT_EQ(get_u32(image, 28 * kPage + kNextPageOffset), 41u);
  EXPECT_EQ(get_u32(image, entry + kEntryLastPageOffset), 28u);
  EXPECT_EQ(get_u32(image, entry + kEntryEmptyCandidateOffset), 41u);
  EXPECT_EQ(get_u32(image, kNextUnusedPageOffset), 42u);
  EXPECT_EQ(get_u32(image, 27 * kPage + kFirstDataPageOffset), 28u);
  EXPECT_EQ(get_u32(image, 27 * kPage + kNextPageOffset), 28u);  // untouched: it already names 28

  image.resize(42 * kPage, 0);
  init_data_page(std::span(image).subspan(41 * kPage, kPage), {.index = 41, .kind = 13});
  link_page(image, kPage, entry, 41, 28);
  EXPECT_EQ(get_u32(image, 27 * kPage + kFirstDataPageOffset), 28u);
  EXPECT_EQ(get_u32(image, 41 * kPage + kNextPageOffset), 42u);
  EXPECT_EQ(get_u32(image, entry + kEntryLastPageOffset), 41u);
  EXPECT_EQ(get_u32(image, kNextUnusedPageOffset), 43u);
}

}  // namespace
}  // namespace vantrel_pdb::format
