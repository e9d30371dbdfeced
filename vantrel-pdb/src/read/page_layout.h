// What a data page's header and row index say, read as the reader reads
// them: the slots it lists, where the heap ends and where the row index
// begins. Shared by the check, which compares the fields with one another,
// and by the salvage, which takes the rows from what still holds.
//
// Internal to the library.
#ifndef VANTREL_PDB_READ_PAGE_LAYOUT_H_
#define VANTREL_PDB_READ_PAGE_LAYOUT_H_

#include <cstdint>
#include <vector>

#include "vantrel_pdb/bytes.h"

namespace vantrel_pdb::checker {

// A present slot of the row index.
struct LiveSlot {
  std::uint16_t slot = 0;  // its number within the page
  std::uint64_t row = 0;   // page offset of its row: 40 + the slot's offset
};

struct PageLayout {
  std::uint32_t slot_field = 0;     // slot_count, all 13 bits
  std::uint32_t slots = 0;          // the 9 bits of it that the reader lists
  std::uint32_t present_field = 0;  // present_row_count
  std::uint32_t present = 0;        // present flags set among the listed slots
  std::uint16_t used_size = 0;
  std::uint16_t free_size = 0;
  std::uint64_t index_start = 0;  // page offset where the row index of `slots` slots begins
  std::uint64_t heap_end = 0;     // 40 + used_size, cut at index_start
  bool heap_overflows = false;    // 40 + used_size reaches past index_start
  std::vector<LiveSlot> live;     // the present slots in slot order, as the reader lists them
};

// Reads the layout of the data page `page` (its whole bytes, one page of
// the tool's 4096 bytes). Requires: page.size() == 4096.
PageLayout read_page_layout(Bytes page);

// The free_size that a page of `layout` should record.
std::uint64_t expected_free_size(const PageLayout& layout);

}  // namespace vantrel_pdb::checker

#endif  // VANTREL_PDB_READ_PAGE_LAYOUT_H_
