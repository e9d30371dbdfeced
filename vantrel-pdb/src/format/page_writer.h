// Writing data pages: the one place where the library lays out a page
// header, puts rows into the heap and the row index, and links a new page
// onto a table's chain. The editor's appends, artwork pages and the removal
// of rows by clearing present bits are all made of these steps.
//
// Every function takes the page as a writable span whose size is the page
// size, and writes nothing outside it (link_page: nothing outside the image
// and the two pages it names). None of them checks the image for
// soundness: the caller has checked what each one requires.
#ifndef VANTREL_PDB_FORMAT_PAGE_WRITER_H_
#define VANTREL_PDB_FORMAT_PAGE_WRITER_H_

#include <cstdint>
#include <span>

#include "format/format.h"
#include "vantrel_pdb/bytes.h"

namespace vantrel_pdb::format {

// The identity of a page about to be written.
struct FreshPage {
  std::uint32_t index = 0;     // page_index: the page's own number
  std::uint32_t kind = 0;      // page_kind: its table's kind
  std::uint32_t sequence = 0;  // page_sequence; 0 until an edit stamps it
};

// Makes `page` an empty data page: every byte zero, then page_index,
// page_kind and page_sequence from `fresh`, page_flags 0x24 and free_size =
// page size - 40. next_page stays 0 until link_page writes it.
// Requires: page.size() >= 40 (the page size).
void init_data_page(MutableBytes page, const FreshPage& fresh);

// True when a row of `alloc` heap bytes fits into a data page of
// `page_size` bytes that has `slot_count` slots and `used` heap bytes: the
// heap, the row and the row index of slot_count + 1 slots stay inside.
constexpr bool row_fits(std::uint64_t page_size, std::uint64_t slot_count, std::uint64_t used, std::uint64_t alloc) {
  return kPageHeaderSize + used + alloc + row_index_size(slot_count + 1) <= page_size;
}

// True when the offset word of every slot below `slot_count` lies at or
// above the end of the page header, so that the row index of that many
// slots can be read and written without touching the header.
constexpr bool row_index_in_page(std::uint64_t page_size, std::uint64_t slot_count) {
  if (slot_count == 0) return true;
  const std::uint64_t last = slot_count - 1;
  return kRowGroupSize * (last / kSlotsPerGroup) + kPageHeaderSize + kSlotOffsetsFromGroupEnd +
             2 * (last % kSlotsPerGroup) <=
         page_size;
}

// slot_count with all 13 of its bits (the library's own listing reads 9).
// Requires: page.size() >= 27.
std::uint32_t slot_count(Bytes page);

// The heap offset that slot `slot` names. Requires: row_index_in_page(page
// size, slot + 1).
std::uint16_t slot_row_offset(Bytes page, std::uint64_t slot);

// Puts a row into slot `slot` at heap offset `heap_offset` (page offset 40
// + heap_offset): copies `row`, writes zero up to `alloc` bytes, writes the
// slot's offset word and sets its present and edit bits. A slot that begins
// a group first clears the group's present and edit words, so that bits
// left by anything else never count. Returns the row's bytes in the page.
// Nothing else of the header changes: recount, set_heap_use and
// set_edit_counts bring it up to date. Requires: row.size() <= alloc and
// row_fits(page size, slot, heap_offset, alloc).
MutableBytes put_row(MutableBytes page, std::uint64_t slot, std::uint64_t heap_offset, Bytes row, std::uint64_t alloc);

// Clears the present bit of slot `slot` (its edit bit and offset stay).
// Requires: row_index_in_page(page size, slot + 1).
void clear_present(MutableBytes page, std::uint64_t slot);

// Clears the edit words of the groups of the first `slot_count` slots, so
// that the edit flags describe only the current edit. Requires:
// row_index_in_page(page size, slot_count).
void clear_edit_flags(MutableBytes page, std::uint64_t slot_count);

// Counts the present bits of the first `slot_count` slots and writes the
// packed counts word: slot_count in bits 0 to 12 (truncated to 13 bits),
// that count in bits 13 to 23 (truncated to the 24-bit word). Returns the
// count. Requires: row_index_in_page(page size, slot_count).
std::uint32_t recount(MutableBytes page, std::uint64_t slot_count);

// Writes the packed counts word as recount does, for a caller that knows
// `present`, the count recount would find.
void set_counts(MutableBytes page, std::uint64_t slot_count, std::uint32_t present);

// Writes used_size = `used` and free_size = page size - 40 - used - the row
// index of `slot_count` slots, each truncated to 16 bits. Requires:
// page.size() >= 40 and 40 + used + row_index_size(slot_count) <= page size.
void set_heap_use(MutableBytes page, std::uint64_t slot_count, std::uint64_t used);

// Writes edit_row_count and edit_first_slot (each truncated to 16 bits).
// Requires: page.size() >= 40.
void set_edit_counts(MutableBytes page, std::uint32_t edit_row_count, std::uint32_t edit_first_slot);

// Links page `fresh`, just made with init_data_page, onto the end of the
// chain of the table whose directory entry lies at `entry_offset`, where
// `old_last` was the last page. With v = the file header's next_unused_page:
// fresh's next_page = v; the entry's last_page = fresh and empty_candidate =
// v; next_unused_page = v + 1 (wrapping); and when old_last is a table
// header page (flag 0x40) whose first_data_page is still 0x03FFFFFF, that
// field becomes fresh. old_last's next_page is not written: it already
// names fresh, as it names every table's empty_candidate.
// Requires: the file header, the entry and both whole pages lie inside
// `image`, and page_size >= 48.
void link_page(MutableBytes image, std::uint64_t page_size, std::uint64_t entry_offset, std::uint32_t fresh,
               std::uint32_t old_last);

}  // namespace vantrel_pdb::format

#endif  // VANTREL_PDB_FORMAT_PAGE_WRITER_H_
