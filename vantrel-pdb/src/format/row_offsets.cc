#include "format/row_offsets.h"

#include "format/format.h"

namespace vantrel_pdb {

namespace f = format;

std::uint64_t listed_slots(Bytes page) {
  if (page.size() < f::kPageFlagsOffset + 1) return 0;
  if (page[f::kPageFlagsOffset] & f::kPageFlagNoRows) return 0;
  // The library reads slot_count as 9 bits: byte 24 and bit 0 of byte 25.
  return decode_fixed24(page.data() + f::kPackedCountsOffset) & f::kLibrarySlotCountMask;
}

void append_row_locations(Bytes page, std::uint64_t page_end, std::uint64_t base, std::vector<std::uint64_t>& out) {
  const std::uint64_t n = listed_slots(page);
  if (n == 0) return;
  std::uint64_t groups = f::groups_for_slots(n);
  for (std::uint64_t j = 0; j < groups; ++j) {
    // A row index reaching below the page start is unreadable: stop there.
    if (page_end < f::kRowGroupSize * j + f::kPresentFlagsFromGroupEnd) return;
    std::uint64_t end = page_end - f::kRowGroupSize * j;
    if (!in_bounds(page, end - f::kPresentFlagsFromGroupEnd, 2)) return;
    std::uint16_t present = decode_fixed16(page.data() + end - f::kPresentFlagsFromGroupEnd);
    if (present == 0) continue;  // a group of deleted slots: nothing to list
    std::uint64_t in_use = j + 1 < groups ? f::kSlotsPerGroup : ((n - 1) % f::kSlotsPerGroup) + 1;
    for (std::uint64_t l = 0; l < in_use; ++l) {
      if (!(present & (1u << l))) continue;
      std::uint64_t slot_pos_from_end = f::kSlotOffsetsFromGroupEnd + 2 * l;
      if (end < slot_pos_from_end || !in_bounds(page, end - slot_pos_from_end, 2)) return;
      std::uint16_t offset = decode_fixed16(page.data() + end - slot_pos_from_end);
      out.push_back(base + f::kPageHeaderSize + offset);
    }
  }
}

std::vector<std::uint64_t> row_offsets(Bytes page, std::uint64_t page_end) {
  std::vector<std::uint64_t> out;
  append_row_locations(page, page_end, 0, out);
  return out;
}

}  // namespace vantrel_pdb
