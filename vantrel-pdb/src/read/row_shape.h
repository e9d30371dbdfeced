// Where the reader finds the parts of a row of each table kind: how many
// fixed bytes it reads from the row's start, and where each of the row's
// strings begins. The row layouts themselves are the reader's (track.h,
// named_rows.h, playlist_rows.h); this is their outline, for code that
// must know a row's extent before it trusts the row.
//
// Internal to the library.
#ifndef VANTREL_PDB_READ_ROW_SHAPE_H_
#define VANTREL_PDB_READ_ROW_SHAPE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "read/track.h"
#include "vantrel_pdb/bytes.h"

namespace vantrel_pdb::checker {

// The bytes from a row's start that the reader reads as fixed fields.
// Artist rows read 10, or 12 when their subtype says the name offset is the
// far one; tables whose rows are not decoded count 1 (the row must at least
// begin). `prefix` holds the bytes from the row's start that the page has
// (its subtype is read from them when there are two).
std::uint64_t fixed_size(std::uint32_t kind, Bytes prefix);

// The strings of a row: positions of their kind bytes, relative to the
// row's start, in the order the reader decodes them.
struct RowStrings {
  std::array<std::uint64_t, track_row::kStringCount> at{};
  std::size_t count = 0;
};

// The strings of the row whose fixed bytes are `fixed` (fixed_size of them).
RowStrings row_strings(std::uint32_t kind, Bytes fixed);

// What string `index` of a row of `kind` holds, for messages: "title",
// "audio path", "name", "path", "string slot 3".
std::string_view string_name(std::uint32_t kind, std::size_t index);

}  // namespace vantrel_pdb::checker

#endif  // VANTREL_PDB_READ_ROW_SHAPE_H_
