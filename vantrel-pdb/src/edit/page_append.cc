// Opening data pages and appending rows: the only two ways the editor
// changes a table. Both check everything they rely on before the first
// write, so that a failure leaves the image as it was.
#include <algorithm>
#include <string>

#include "edit/editor_lookup.h"
#include "vantrel_pdb/editor.h"
#include "vantrel_pdb/format.h"

namespace vantrel_pdb {

namespace f = format;

namespace {

PdbError io(std::string what) { return PdbError(pdb_error::Io{std::move(what)}); }

// The slot stamp is the u16 at row offset 2: slot index × 32.
constexpr std::uint64_t kSlotStampOffset = 2;
constexpr std::uint64_t kSlotStampEnd = kSlotStampOffset + 2;
constexpr std::uint64_t kSlotStampFactor = 32;

std::string table_name(std::uint32_t kind) { return "table kind " + std::to_string(kind); }

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

// Number of set present bits among the first n slots of the page at `page`.
std::uint32_t count_present(const std::uint8_t* page, std::uint64_t page_size, std::uint64_t n) {
  std::uint32_t count = 0;
  for (std::uint64_t g = 0; g < f::groups_for_slots(n); ++g) {
    std::uint16_t bits = decode_fixed16(page + f::group_end(page_size, g) - f::kPresentFlagsFromGroupEnd);
    std::uint64_t in_use = std::min<std::uint64_t>(f::kSlotsPerGroup, n - g * f::kSlotsPerGroup);
    auto mask = static_cast<std::uint16_t>((1u << in_use) - 1);
    count += bits_set(static_cast<std::uint16_t>(bits & mask));
  }
  return count;
}

}  // namespace

std::expected<void, PdbError> PdbEditor::require_off_chain(std::uint32_t p) {
  if (!chain_pages_) {
    // A chain visits each page once, so a walk longer than the image has
    // pages loops; it stops there, or where it leaves the image.
    std::unordered_set<std::uint32_t> pages;
    const std::uint64_t page_count = image_.size() / page_size_;
    const std::uint64_t count = decode_fixed32(image_.data() + f::kTableCountOffset);
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t offset = f::kDirectoryOffset + f::kTableEntrySize * i;
      if (!in_bounds(image_, offset, f::kTableEntrySize)) break;
      std::uint32_t page = decode_fixed32(image_.data() + offset + f::kEntryFirstPageOffset);
      const std::uint32_t last = decode_fixed32(image_.data() + offset + f::kEntryLastPageOffset);
      pages.insert(last);
      for (std::uint64_t steps = 0; steps < page_count && page < page_count; ++steps) {
        pages.insert(page);
        if (page == last) break;
        page = decode_fixed32(image_.data() + std::uint64_t{page} * page_size_ + f::kNextPageOffset);
      }
    }
    chain_pages_ = std::move(pages);
  }
  if (chain_pages_->contains(p)) return std::unexpected(io("already belongs to a page chain"));
  return {};
}

std::expected<std::uint32_t, PdbError> PdbEditor::allocate_page(std::uint32_t kind) {
  if (auto max = max_alloc(); !max) return std::unexpected(max.error());
  auto entry = table_entry_offset(image_, kind);
  if (!entry) return std::unexpected(entry.error());
  if (auto ok = ensure_table_sequence(kind); !ok) return std::unexpected(ok.error());

  const std::uint8_t* e = image_.data() + *entry;
  const std::uint32_t u = decode_fixed32(e + f::kEntryEmptyCandidateOffset);
  const std::uint32_t last = decode_fixed32(e + f::kEntryLastPageOffset);
  const std::uint32_t v = decode_fixed32(image_.data() + f::kNextUnusedPageOffset);
  auto last_start = page_start(last);
  if (!last_start) return std::unexpected(last_start.error());
  const std::uint8_t* last_page = image_.data() + *last_start;

  // The chain stays linked only because the last page already names the
  // candidate; a candidate that is page 0, already on a chain, or not below
  // next_unused_page would be overwritten or handed out twice.
  const std::string page_u = "empty_candidate page " + std::to_string(u) + " of " + table_name(kind);
  if (u == 0 || u >= v) {
    return std::unexpected(io(page_u + " is not a free page below next_unused_page " + std::to_string(v)));
  }
  if (v == UINT32_MAX) return std::unexpected(io("next_unused_page cannot be raised past " + std::to_string(v)));
  if (decode_fixed32(last_page + f::kNextPageOffset) != u) {
    return std::unexpected(io("last page " + std::to_string(last) + " of " + table_name(kind) +
                              " does not link to its empty_candidate " + std::to_string(u)));
  }
  if (auto ok = require_off_chain(u); !ok) return std::unexpected(io(page_u + " " + ok.error().as<pdb_error::Io>().message));
  // In a sound image every page past the end is some table's candidate, so
  // the gap that growing opens is bounded by the number of tables.
  const std::uint64_t page_count = image_.size() / page_size_;
  const std::uint64_t entries = std::min<std::uint64_t>(decode_fixed32(image_.data() + f::kTableCountOffset),
                                                        (image_.size() - f::kDirectoryOffset) / f::kTableEntrySize);
  if (u >= page_count + entries) return std::unexpected(io(page_u + " lies too far beyond the end of the image"));

  const std::uint64_t start = std::uint64_t{u} * page_size_;
  if (image_.size() < start + page_size_) image_.resize(start + page_size_, 0);
  std::uint8_t* page = image_.data() + start;
  std::fill(page, page + page_size_, std::uint8_t{0});
  encode_fixed32(page + f::kPageIndexOffset, u);
  encode_fixed32(page + f::kPageKindOffset, kind);
  encode_fixed32(page + f::kNextPageOffset, v);
  page[f::kPageFlagsOffset] = f::kDataPageFlags;
  encode_fixed16(page + f::kFreeSizeOffset, static_cast<std::uint16_t>(page_size_ - f::kPageHeaderSize));

  std::uint8_t* entry_bytes = image_.data() + *entry;
  encode_fixed32(entry_bytes + f::kEntryLastPageOffset, u);
  encode_fixed32(entry_bytes + f::kEntryEmptyCandidateOffset, v);
  encode_fixed32(image_.data() + f::kNextUnusedPageOffset, v + 1);

  // The table header page learns its first data page once.
  std::uint8_t* old_last = image_.data() + *last_start;
  if ((old_last[f::kPageFlagsOffset] & f::kPageFlagNoRows) &&
      decode_fixed32(old_last + f::kFirstDataPageOffset) == f::kNoDataPage) {
    encode_fixed32(old_last + f::kFirstDataPageOffset, u);
  }

  chain_pages_->insert(u);
  edit_first_slots_.insert_or_assign(u, 0);
  edit_row_counts_.insert_or_assign(u, 0);
  if (auto ok = mark_table_touched(kind, u); !ok) return std::unexpected(ok.error());
  return u;
}

std::expected<void, PdbError> PdbEditor::append_row(std::uint32_t kind, Bytes row, std::uint64_t alloc,
                                                    bool stamp_row_index) {
  auto max = max_alloc();
  if (!max) return std::unexpected(max.error());
  if (alloc > *max) return std::unexpected(PdbError(pdb_error::RowTooLarge{alloc, *max}));
  if (alloc < row.size() || (stamp_row_index && alloc < kSlotStampEnd)) {
    return std::unexpected(io("row of " + std::to_string(row.size()) + " bytes does not fit its allocation of " +
                              std::to_string(alloc) + " bytes"));
  }
  auto entry = table_entry_offset(image_, kind);
  if (!entry) return std::unexpected(entry.error());
  if (auto ok = ensure_table_sequence(kind); !ok) return ok;

  std::uint32_t p = decode_fixed32(image_.data() + *entry + f::kEntryLastPageOffset);
  auto start = page_start(p);
  if (!start) return std::unexpected(start.error());
  const std::uint8_t* last = image_.data() + *start;
  if (decode_fixed32(last + f::kPageIndexOffset) != p || decode_fixed32(last + f::kPageKindOffset) != kind) {
    return std::unexpected(io("last page " + std::to_string(p) + " of " + table_name(kind) +
                              " does not carry its own index and kind"));
  }

  // The slot count is read with all 13 bits so that a page already past the
  // library's 511 slots is never addressed as if it had fewer.
  std::uint64_t g = 0;
  std::uint64_t used = 0;
  bool open_page = (last[f::kPageFlagsOffset] & f::kPageFlagNoRows) != 0;
  if (!open_page) {
    g = decode_fixed24(last + f::kPackedCountsOffset) & f::kSlotCountMask;
    used = decode_fixed16(last + f::kUsedSizeOffset);
    bool fits = f::kPageHeaderSize + used + alloc + f::row_index_size(g + 1) <= page_size_;
    if (fits && g >= f::kMaxSlotsPerPage) return std::unexpected(PdbError(pdb_error::TooManySlots{}));
    open_page = !fits;
  }
  if (open_page) {
    auto fresh = allocate_page(kind);
    if (!fresh) return std::unexpected(fresh.error());
    p = *fresh;
    *start = std::uint64_t{p} * page_size_;
    g = 0;
    used = 0;
  }
  std::uint8_t* page = image_.data() + *start;

  // First append to a page that held rows before this edit: the edit flags
  // describe this edit only.
  if (!edit_first_slots_.contains(p)) {
    edit_first_slots_[p] = static_cast<std::uint32_t>(g);
    edit_row_counts_[p] = 0;
    for (std::uint64_t k = 0; k < f::groups_for_slots(g); ++k) {
      encode_fixed16(page + f::group_end(page_size_, k) - f::kEditFlagsFromGroupEnd, 0);
    }
  }
  if (auto ok = mark_table_touched(kind, p); !ok) return ok;

  const std::uint64_t t = g % f::kSlotsPerGroup;
  std::uint8_t* group_end = page + f::group_end(page_size_, g / f::kSlotsPerGroup);
  std::uint8_t* present = group_end - f::kPresentFlagsFromGroupEnd;
  std::uint8_t* edit = group_end - f::kEditFlagsFromGroupEnd;
  if (t == 0) {
    encode_fixed16(present, 0);
    encode_fixed16(edit, 0);
  }
  std::uint8_t* dest = page + f::kPageHeaderSize + used;
  std::copy(row.begin(), row.end(), dest);
  std::fill(dest + row.size(), dest + alloc, std::uint8_t{0});
  if (stamp_row_index) encode_fixed16(dest + kSlotStampOffset, static_cast<std::uint16_t>(g * kSlotStampFactor));
  encode_fixed16(group_end - f::kSlotOffsetsFromGroupEnd - 2 * t, static_cast<std::uint16_t>(used));
  auto bit = static_cast<std::uint16_t>(1u << t);
  encode_fixed16(present, static_cast<std::uint16_t>(decode_fixed16(present) | bit));
  encode_fixed16(edit, static_cast<std::uint16_t>(decode_fixed16(edit) | bit));
  std::uint32_t edit_rows = ++edit_row_counts_[p];

  const std::uint64_t n = g + 1;
  const std::uint32_t count = count_present(page, page_size_, n);
  // Packed counts: the 9-bit slot count (bits 9 to 12 written as zero) and
  // present_row_count from bit 13 on.
  encode_fixed24(page + f::kPackedCountsOffset,
                 static_cast<std::uint32_t>(n & f::kLibrarySlotCountMask) | (count << f::kPresentRowCountShift));
  encode_fixed16(page + f::kUsedSizeOffset, static_cast<std::uint16_t>(used + alloc));
  encode_fixed16(page + f::kFreeSizeOffset,
                 static_cast<std::uint16_t>(page_size_ - used - alloc - f::row_index_size(n) - f::kPageHeaderSize));
  encode_fixed16(page + f::kEditRowCountOffset, static_cast<std::uint16_t>(edit_rows));
  encode_fixed16(page + f::kEditFirstSlotOffset, static_cast<std::uint16_t>(edit_first_slots_[p]));

  lookup_->on_row_appended(image_, kind, *start + f::kPageHeaderSize + used);
  return {};
}

}  // namespace vantrel_pdb
