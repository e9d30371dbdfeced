// The row index of one page: which slots hold live rows, and where.
#ifndef VANTREL_PDB_FORMAT_ROW_OFFSETS_H_
#define VANTREL_PDB_FORMAT_ROW_OFFSETS_H_

#include <cstdint>
#include <vector>

#include "format/coding.h"

namespace vantrel_pdb {

// Lists the live rows of one page: offsets from the page start (the heap
// start, 40, already added), in slot order. `page` holds the page's bytes and
// `page_end` is the offset from which the row index is read backwards (the
// page size). A page with flag 0x40 or no slots yields nothing; slot_count is
// read as 9 bits. Never reads outside `page`: on a page too short for its
// header or its row index the unreadable part yields no rows.
std::vector<std::uint64_t> row_offsets(Bytes page, std::uint64_t page_end);

// The slots the row index of `page` lists (slot_count, read as row_offsets
// reads it): at least as many as the rows it yields. 0 for a page with flag
// 0x40 or too short for its header.
std::uint64_t listed_slots(Bytes page);

// As row_offsets, but appends `base` + offset for each row to `out`: with
// `base` the page's start in the image, these are absolute row locations, and
// a whole table is listed without a vector per page.
void append_row_locations(Bytes page, std::uint64_t page_end, std::uint64_t base, std::vector<std::uint64_t>& out);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_FORMAT_ROW_OFFSETS_H_
