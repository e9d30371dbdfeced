#include "read/page_layout.h"

#include "format/coding.h"
#include "format/format.h"

namespace vantrel_pdb::checker {

namespace f = format;

PageLayout read_page_layout(Bytes page) {
  constexpr std::uint64_t kPage = f::kPageSize;
  PageLayout layout;
  const std::uint8_t* p = page.data();
  const std::uint32_t counts = decode_fixed24(p + f::kPackedCountsOffset);
  layout.slot_field = counts & f::kSlotCountMask;
  layout.slots = counts & f::kLibrarySlotCountMask;
  layout.present_field = counts >> f::kPresentRowCountShift;
  layout.free_size = decode_fixed16(p + f::kFreeSizeOffset);
  layout.used_size = decode_fixed16(p + f::kUsedSizeOffset);
  // At most 511 slots: 32 groups, 1152 bytes, always inside the page.
  layout.index_start = kPage - f::row_index_size(layout.slots);
  const std::uint64_t heap_end = f::kPageHeaderSize + layout.used_size;
  layout.heap_overflows = heap_end > layout.index_start;
  layout.heap_end = layout.heap_overflows ? layout.index_start : heap_end;

  layout.live.reserve(layout.slots);
  for (std::uint32_t s = 0; s < layout.slots; ++s) {
    const std::uint64_t end = f::group_end(kPage, s / f::kSlotsPerGroup);
    const std::uint32_t l = s % f::kSlotsPerGroup;
    if (!(decode_fixed16(p + end - f::kPresentFlagsFromGroupEnd) & (1u << l))) continue;
    ++layout.present;
    const std::uint16_t offset = decode_fixed16(p + end - f::kSlotOffsetsFromGroupEnd - 2 * l);
    layout.live.push_back({static_cast<std::uint16_t>(s), f::kPageHeaderSize + offset});
  }
  return layout;
}

std::uint64_t expected_free_size(const PageLayout& layout) {
  return layout.heap_overflows ? 0 : layout.index_start - f::kPageHeaderSize - layout.used_size;
}

}  // namespace vantrel_pdb::checker
