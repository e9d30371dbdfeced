#include "format/row_offsets.h"

#include <gtest/gtest.h>

#include <vector>

#include "format/format.h"

namespace vantrel_pdb {
namespace {

namespace f = format;

// A 4096-byte data page whose slots s = 0 … n-1 have offset 4 s, all present.
std::vector<std::uint8_t> page_with_slots(std::uint32_t n, std::uint8_t flags = f::kDataPageFlags) {
  std::vector<std::uint8_t> page(4096, 0);
  page[f::kPageFlagsOffset] = flags;
  encode_fixed24(page.data() + f::kPackedCountsOffset, n);
  for (std::uint32_t s = 0; s < n; ++s) {
    std::uint64_t end = f::group_end(4096, s / 16);
    encode_fixed16(page.data() + end - 6 - 2 * (s % 16), static_cast<std::uint16_t>(4 * s));
    std::uint16_t present = decode_fixed16(page.data() + end - 4);
    encode_fixed16(page.data() + end - 4, static_cast<std::uint16_t>(present | (1u << (s % 16))));
  }
  return page;
}

std::vector<std::uint64_t> expected_offsets(std::uint32_t n) {
  std::vector<std::uint64_t> out;
  for (std::uint32_t s = 0; s < n; ++s) out.push_back(40 + 4 * s);
  return out;
}

TEST(RowOffsets, HeaderPageFlagYieldsNothing) {
  auto page = page_with_slots(5, f::kHeaderPageFlags);
  EXPECT_TRUE(row_offsets(page, 4096).empty());
  page[f::kPageFlagsOffset] = 0x40;
  EXPECT_TRUE(row_offsets(page, 4096).empty());
}

TEST(RowOffsets, NoSlotsYieldsNothing) { EXPECT_TRUE(row_offsets(page_with_slots(0), 4096).empty()); }

class RowOffsetsGroups : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RowOffsetsGroups, ListsEverySlotInOrder) {
  std::uint32_t n = GetParam();
  EXPECT_EQ(row_offsets(page_with_slots(n), 4096), expected_offsets(n));
}

// One group, exactly a full group, the first slot of a second group, many groups, the 9-bit maximum.
INSTANTIATE_TEST_SUITE_P(Counts, RowOffsetsGroups, ::testing::Values(1u, 15u, 16u, 17u, 33u, 200u, 511u));

TEST(RowOffsets, UnusedSlotsOfLastGroupAreNotRead) {
  auto page = page_with_slots(17);
  // Bits of unused slots in the last group are ignored.
  std::uint64_t end = f::group_end(4096, 1);
  encode_fixed16(page.data() + end - 4, 0xFFFF);
  EXPECT_EQ(row_offsets(page, 4096), expected_offsets(17));
}

TEST(RowOffsets, DeletedSlotsAreSkippedAndKeepNumbers) {
  auto page = page_with_slots(20);
  std::uint64_t end0 = f::group_end(4096, 0);
  encode_fixed16(page.data() + end0 - 4, static_cast<std::uint16_t>(0xFFFF & ~(1u << 3)));
  std::uint64_t end1 = f::group_end(4096, 1);
  encode_fixed16(page.data() + end1 - 4, 0b1011);
  auto expected = expected_offsets(20);
  expected.erase(expected.begin() + 18);  // slot 18 = group 1 slot 2
  expected.erase(expected.begin() + 3);
  EXPECT_EQ(row_offsets(page, 4096), expected);
}

TEST(RowOffsets, SlotCountReadAsNineBits) {
  auto page = page_with_slots(3);
  page[25] |= 0x1E;  // bits 9 to 12 of slot_count
  EXPECT_EQ(row_offsets(page, 4096), expected_offsets(3));
  EXPECT_EQ(listed_slots(page), 3u);
  page[25] |= 0x01;                               // bit 8: 259 slots claimed
  EXPECT_EQ(row_offsets(page, 4096).size(), 3u);  // the other groups' present bits are zero
  EXPECT_EQ(listed_slots(page), 259u);            // a bound on the rows, not their count
}

TEST(RowOffsets, PagesWithoutRowsListNoSlots) {
  auto page = page_with_slots(5, f::kHeaderPageFlags);
  EXPECT_EQ(listed_slots(page), 0u);
  const auto listing = page_with_slots(5);
  EXPECT_EQ(listed_slots(std::span(listing).first(f::kPageFlagsOffset)), 0u);
  EXPECT_EQ(listed_slots(page_with_slots(511)), 511u);
}

TEST(RowOffsets, AppendAddsBase) {
  std::vector<std::uint64_t> out = {7};
  append_row_locations(page_with_slots(2), 4096, 8192, out);
  EXPECT_EQ(out, (std::vector<std::uint64_t>{7, 8192 + 40, 8192 + 44}));
}

TEST(RowOffsets, ShortOrMismatchedPagesNeverReadOutside) {
  auto page = page_with_slots(17);
  // Shorter than a header: nothing.
  EXPECT_TRUE(row_offsets(std::span(page).first(20), 4096).empty());
  // page_end beyond the bytes given: unreadable groups are not listed.
  EXPECT_TRUE(row_offsets(std::span(page).first(100), 4096).empty());
  // A tiny page_end: the row index would lie below the page start.
  auto tiny = page_with_slots(0);
  encode_fixed24(tiny.data() + f::kPackedCountsOffset, 511);
  tiny[4095] = 0xFF;
  tiny[4094] = 0xFF;
  EXPECT_NO_FATAL_FAILURE(row_offsets(tiny, 50));
  EXPECT_NO_FATAL_FAILURE(row_offsets(tiny, 3));
}

}  // namespace
}  // namespace vantrel_pdb
