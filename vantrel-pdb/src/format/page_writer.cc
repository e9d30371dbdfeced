#include "format/page_writer.h"

#include <algorithm>

#include "format/coding.h"

namespace vantrel_pdb::format {

namespace {

// Set bits of a 16-bit word, in a few register operations: the build
// target has no population-count instruction, and std::popcount then calls
// a library routine for every row group of every append.
std::uint32_t bits_set(std::uint16_t word) {
  std::uint32_t x = word;
  x = x - ((x >> 1) & 0x5555u);
  x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
  x = (x + (x >> 4)) & 0x0F0Fu;
  return (x + (x >> 8)) & 0x1Fu;
}

// The end (one past the edit word) of the group holding slot `slot`.
std::uint8_t* group_end_of(MutableBytes page, std::uint64_t slot) {
  return page.data() + group_end(page.size(), slot / kSlotsPerGroup);
}

}  // namespace

void init_data_page(MutableBytes page, const FreshPage& fresh) {
  std::fill(page.begin(), page.end(), std::uint8_t{0});
  encode_fixed32(page.data() + kPageIndexOffset, fresh.index);
  encode_fixed32(page.data() + kPageKindOffset, fresh.kind);
  encode_fixed32(page.data() + kPageSequenceOffset, fresh.sequence);
  page[kPageFlagsOffset] = kDataPageFlags;
  encode_fixed16(page.data() + kFreeSizeOffset, static_cast<std::uint16_t>(page.size() - kPageHeaderSize));
}

std::uint32_t slot_count(Bytes page) { return decode_fixed24(page.data() + kPackedCountsOffset) & kSlotCountMask; }

std::uint16_t slot_row_offset(Bytes page, std::uint64_t slot) {
  const std::uint8_t* end = page.data() + group_end(page.size(), slot / kSlotsPerGroup);
  return decode_fixed16(end - kSlotOffsetsFromGroupEnd - 2 * (slot % kSlotsPerGroup));
}

MutableBytes put_row(MutableBytes page, std::uint64_t slot, std::uint64_t heap_offset, Bytes row, std::uint64_t alloc) {
  const std::uint64_t t = slot % kSlotsPerGroup;
  std::uint8_t* end = group_end_of(page, slot);
  std::uint8_t* present = end - kPresentFlagsFromGroupEnd;
  std::uint8_t* edit = end - kEditFlagsFromGroupEnd;
  if (t == 0) {
    encode_fixed16(present, 0);
    encode_fixed16(edit, 0);
  }
  MutableBytes dest = page.subspan(kPageHeaderSize + heap_offset, alloc);
  std::copy(row.begin(), row.end(), dest.begin());
  std::fill(dest.begin() + static_cast<std::ptrdiff_t>(row.size()), dest.end(), std::uint8_t{0});
  encode_fixed16(end - kSlotOffsetsFromGroupEnd - 2 * t, static_cast<std::uint16_t>(heap_offset));
  const auto bit = static_cast<std::uint16_t>(1u << t);
  encode_fixed16(present, static_cast<std::uint16_t>(decode_fixed16(present) | bit));
  encode_fixed16(edit, static_cast<std::uint16_t>(decode_fixed16(edit) | bit));
  return dest;
}

void clear_present(MutableBytes page, std::uint64_t slot) {
  std::uint8_t* present = group_end_of(page, slot) - kPresentFlagsFromGroupEnd;
  const auto bit = static_cast<std::uint16_t>(1u << (slot % kSlotsPerGroup));
  encode_fixed16(present, static_cast<std::uint16_t>(decode_fixed16(present) & ~bit));
}

void clear_edit_flags(MutableBytes page, std::uint64_t slot_count) {
  for (std::uint64_t g = 0; g < groups_for_slots(slot_count); ++g) {
    encode_fixed16(page.data() + group_end(page.size(), g) - kEditFlagsFromGroupEnd, 0);
  }
}

std::uint32_t recount(MutableBytes page, std::uint64_t slot_count) {
  std::uint32_t count = 0;
  for (std::uint64_t g = 0; g < groups_for_slots(slot_count); ++g) {
    const std::uint16_t bits = decode_fixed16(page.data() + group_end(page.size(), g) - kPresentFlagsFromGroupEnd);
    const std::uint64_t in_use = std::min<std::uint64_t>(kSlotsPerGroup, slot_count - g * kSlotsPerGroup);
    count += bits_set(static_cast<std::uint16_t>(bits & ((1u << in_use) - 1)));
  }
  set_counts(page, slot_count, count);
  return count;
}

void set_counts(MutableBytes page, std::uint64_t slot_count, std::uint32_t present) {
  encode_fixed24(page.data() + kPackedCountsOffset,
                 static_cast<std::uint32_t>(slot_count & kSlotCountMask) | (present << kPresentRowCountShift));
}

void set_heap_use(MutableBytes page, std::uint64_t slot_count, std::uint64_t used) {
  encode_fixed16(page.data() + kUsedSizeOffset, static_cast<std::uint16_t>(used));
  encode_fixed16(page.data() + kFreeSizeOffset,
                 static_cast<std::uint16_t>(page.size() - kPageHeaderSize - used - row_index_size(slot_count)));
}

void set_edit_counts(MutableBytes page, std::uint32_t edit_row_count, std::uint32_t edit_first_slot) {
  encode_fixed16(page.data() + kEditRowCountOffset, static_cast<std::uint16_t>(edit_row_count));
  encode_fixed16(page.data() + kEditFirstSlotOffset, static_cast<std::uint16_t>(edit_first_slot));
}

void link_page(MutableBytes image, std::uint64_t page_size, std::uint64_t entry_offset, std::uint32_t fresh,
               std::uint32_t old_last) {
  std::uint8_t* header = image.data();
  const std::uint32_t v = decode_fixed32(header + kNextUnusedPageOffset);
  encode_fixed32(header + std::uint64_t{fresh} * page_size + kNextPageOffset, v);
  encode_fixed32(header + entry_offset + kEntryLastPageOffset, fresh);
  encode_fixed32(header + entry_offset + kEntryEmptyCandidateOffset, v);
  encode_fixed32(header + kNextUnusedPageOffset, v + 1);
  // The table header page learns its first data page once.
  std::uint8_t* last = header + std::uint64_t{old_last} * page_size;
  if ((last[kPageFlagsOffset] & kPageFlagNoRows) && decode_fixed32(last + kFirstDataPageOffset) == kNoDataPage) {
    encode_fixed32(last + kFirstDataPageOffset, fresh);
  }
}

}  // namespace vantrel_pdb::format
