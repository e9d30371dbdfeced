// The live rows of one table kind, found from the row indices alone. The
// build corrects ids and adds artwork at row locations of an image that its
// own editor made; it needs where the rows are, not what they say, so it
// lists them without decoding a single row.
#ifndef DOVREL_TABLE_ROWS_H_
#define DOVREL_TABLE_ROWS_H_

#include <cstdint>
#include <expected>
#include <vector>

#include "vantrel_pdb/coding.h"
#include "vantrel_pdb/error.h"

namespace dovrel {

// The row locations that Database::from_bytes(image)->row_locations(kind)
// lists: those of the table of the last directory entry of `kind`, in table
// order, or none when no entry has that kind. Reads the file header, the
// directory and that one table's chain and row indices. Fails with Io when
// they lie outside the image or the chain never reaches its last page.
std::expected<std::vector<std::uint64_t>, vantrel_pdb::PdbError> table_rows_of_kind(vantrel_pdb::Bytes image,
                                                                                     std::uint32_t kind);

}  // namespace dovrel

#endif  // DOVREL_TABLE_ROWS_H_
