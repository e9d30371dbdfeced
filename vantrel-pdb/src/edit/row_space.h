// Rows of an existing image as places in their pages: which slot holds a
// row, how many heap bytes it may take where it lies, and marking rows
// absent. The changes in place (a row rewritten, a row replaced by a new
// one with the same id, rows removed) are made of these steps.
//
// Internal to the library.
#ifndef VANTREL_PDB_EDIT_ROW_SPACE_H_
#define VANTREL_PDB_EDIT_ROW_SPACE_H_

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "edit/keep_only.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

// Where a live row lies: its page, its slot, and the heap bytes from the
// row's start up to the next row of the page (any slot's, present or not)
// or the end of the used heap, whichever comes first.
struct RowPlace {
  std::uint64_t page_start = 0;  // absolute position of the page
  std::uint32_t slot = 0;
  std::uint64_t room = 0;  // 0 when another present slot names the same bytes
};

// The place of the row at absolute position `location` of `image`. Fails
// with Damaged when no present slot of a data page names it, or when the
// page's row index is unsound.
std::expected<RowPlace, PdbError> place_of_row(Bytes image, std::uint64_t page_size, std::uint64_t location);

// Clears the present bit of each row of `locations` and recounts its page,
// recording every overwritten byte in `undo`. Fails as place_of_row fails,
// before anything is written.
std::expected<void, PdbError> mark_rows_absent(std::vector<std::uint8_t>& image, std::uint64_t page_size,
                                               std::span<const std::uint64_t> locations, UndoLog& undo);

// Writes `row` at `location` and zeroes the rest of `room` bytes.
// Requires: row.size() <= room and the room lies inside the image.
void rewrite_row(MutableBytes image, std::uint64_t location, Bytes row, std::uint64_t room);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_ROW_SPACE_H_
