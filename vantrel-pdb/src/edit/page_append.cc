// Opening data pages and appending rows: the only two ways the editor
// changes a table. Both check everything they rely on before the first
// write, so that a failure leaves the image as it was.
#include <span>
#include <string>

#include "edit/editor.h"
#include "edit/editor_lookup.h"
#include "format/directory.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/page_chain.h"
#include "format/page_writer.h"

namespace vantrel_pdb {

namespace f = format;

namespace {

// The slot stamp is the u16 at row offset 2: slot index × 32.
constexpr std::uint64_t kSlotStampOffset = 2;
constexpr std::uint64_t kSlotStampEnd = kSlotStampOffset + 2;
constexpr std::uint64_t kSlotStampFactor = 32;

std::string table_name(std::uint32_t kind) { return "table kind " + std::to_string(kind); }

}  // namespace

std::expected<void, PdbError> PdbEditor::require_off_chain(std::uint32_t p) {
  if (!chain_pages_) {
    // Every page that some chain reaches before it ends or breaks; a broken
    // chain is not this edit's concern, only the pages it names are.
    IdHashSet pages;
    auto directory = f::Directory::read(image_);
    if (!directory) return std::unexpected(directory.error());
    for (std::uint32_t i = 0; i < directory->size(); ++i) {
      const TableEntry entry = directory->entry(i);
      pages.insert(entry.last_page);
      for (f::PageChain chain(image_, page_size_, entry); chain.next();) pages.insert(chain.index());
    }
    chain_pages_ = std::move(pages);
  }
  if (chain_pages_->contains(p)) return std::unexpected(errors::damaged("already belongs to a page chain"));
  return {};
}

std::expected<std::uint32_t, PdbError> PdbEditor::allocate_page(std::uint32_t kind) {
  if (auto max = max_alloc(); !max) return std::unexpected(max.error());
  auto entry = entry_offset_of(kind);
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
    return std::unexpected(errors::damaged(page_u + " is not a free page below next_unused_page " + std::to_string(v)));
  }
  if (v == UINT32_MAX)
    return std::unexpected(errors::damaged("next_unused_page cannot be raised past " + std::to_string(v)));
  if (decode_fixed32(last_page + f::kNextPageOffset) != u) {
    return std::unexpected(errors::damaged("last page " + std::to_string(last) + " of " + table_name(kind) +
                                           " does not link to its empty_candidate " + std::to_string(u)));
  }
  if (auto ok = require_off_chain(u); !ok)
    return std::unexpected(errors::damaged(page_u + " " + ok.error().as<pdb_error::Damaged>().detail));
  // In a sound image every page past the end is some table's candidate, so
  // the gap that growing opens is bounded by the number of tables (whose
  // directory table_entry_offset found inside the image).
  const std::uint64_t page_count = image_.size() / page_size_;
  const std::uint64_t entries = decode_fixed32(image_.data() + f::kTableCountOffset);
  if (u >= page_count + entries)
    return std::unexpected(errors::damaged(page_u + " lies too far beyond the end of the image"));

  const std::uint64_t start = std::uint64_t{u} * page_size_;
  if (image_.size() < start + page_size_) image_.resize(start + page_size_, 0);
  f::init_data_page(std::span(image_).subspan(start, page_size_), {.index = u, .kind = kind, .sequence = 0});
  f::link_page(image_, page_size_, *entry, u, last);

  chain_pages_->insert(u);
  edit_first_slots_.insert_or_assign(u, 0);
  edit_row_counts_.insert_or_assign(u, 0);
  if (auto ok = mark_table_touched(kind, u); !ok) return std::unexpected(ok.error());
  return u;
}

std::expected<std::uint64_t, PdbError> PdbEditor::append_row(std::uint32_t kind, Bytes row, std::uint64_t alloc,
                                                             bool stamp_row_index) {
  auto max = max_alloc();
  if (!max) return std::unexpected(max.error());
  if (alloc > *max) return std::unexpected(PdbError(pdb_error::RowTooLarge{alloc, *max}));
  if (alloc < row.size() || (stamp_row_index && alloc < kSlotStampEnd)) {
    return std::unexpected(errors::misuse("row of " + std::to_string(row.size()) +
                                          " bytes does not fit its allocation of " + std::to_string(alloc) + " bytes"));
  }
  auto entry = entry_offset_of(kind);
  if (!entry) return std::unexpected(entry.error());
  if (auto ok = ensure_table_sequence(kind); !ok) return std::unexpected(ok.error());

  std::uint32_t p = decode_fixed32(image_.data() + *entry + f::kEntryLastPageOffset);
  auto start = page_start(p);
  if (!start) return std::unexpected(start.error());
  const std::uint8_t* last = image_.data() + *start;
  if (decode_fixed32(last + f::kPageIndexOffset) != p || decode_fixed32(last + f::kPageKindOffset) != kind) {
    return std::unexpected(errors::damaged("last page " + std::to_string(p) + " of " + table_name(kind) +
                                           " does not carry its own index and kind"));
  }

  // The slot count is read with all 13 bits so that a page already past the
  // library's 511 slots is never addressed as if it had fewer.
  std::uint64_t g = 0;
  std::uint64_t used = 0;
  bool open_page = (last[f::kPageFlagsOffset] & f::kPageFlagNoRows) != 0;
  if (!open_page) {
    g = f::slot_count(Bytes(image_).subspan(*start, page_size_));
    used = decode_fixed16(last + f::kUsedSizeOffset);
    bool fits = f::row_fits(page_size_, g, used, alloc);
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
  const std::span<std::uint8_t> page = std::span(image_).subspan(*start, page_size_);

  const bool counted = last_append_ && last_append_->kind == kind && last_append_->page == p;
  if (!counted) {
    // First append to a page that held rows before this edit: the edit
    // flags describe this edit only.
    if (!edit_first_slots_.contains(p)) {
      edit_first_slots_[p] = static_cast<std::uint32_t>(g);
      edit_row_counts_[p] = 0;
      f::clear_edit_flags(page, g);
    }
    if (auto ok = mark_table_touched(kind, p); !ok) return std::unexpected(ok.error());
    last_append_ = AppendPage{kind, p, &edit_first_slots_[p], &edit_row_counts_[p]};
  }

  auto dest = f::put_row(page, g, used, row, alloc);
  if (stamp_row_index) encode_fixed16(dest.data() + kSlotStampOffset, static_cast<std::uint16_t>(g * kSlotStampFactor));
  const std::uint32_t edit_rows = ++*last_append_->row_count;

  // g < 511, so the slot count fits the 9 bits the library reads.
  const std::uint64_t n = g + 1;
  if (counted) {
    f::set_counts(page, n, ++last_append_->present);
  } else {
    last_append_->present = f::recount(page, n);
  }
  f::set_heap_use(page, n, used + alloc);
  f::set_edit_counts(page, edit_rows, *last_append_->first_slot);

  const std::uint64_t location = *start + f::kPageHeaderSize + used;
  lookup_->on_row_appended(image_, kind, location);
  return location;
}

}  // namespace vantrel_pdb
