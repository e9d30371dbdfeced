// Checking a track row without decoding it: the editor's index confirms that
// each row it is told of decodes, a load that keeps no records checks every
// row, and a salvage learns which rows it can keep and how long their texts
// are, without building the row's 21 texts.
//
// Internal to the library.
#ifndef VANTREL_PDB_READ_TRACK_CHECK_H_
#define VANTREL_PDB_READ_TRACK_CHECK_H_

#include <array>
#include <cstdint>
#include <expected>

#include "format/coding.h"
#include "read/track.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

// Succeeds exactly when Track::parse(image, location) succeeds, and fails
// with the same error; decodes and allocates no text.
std::expected<void, PdbError> check_track_row(Bytes image, std::uint64_t location);

// As check_track_row, and returns the bytes of text that the parsed record
// would hold (the sizes of its 21 strings), counted without decoding.
std::expected<std::uint64_t, PdbError> check_track_row_text(Bytes image, std::uint64_t location);

// As check_track_row, and returns the bytes of text of each of the parsed
// record's 21 strings, in slot order, counted without decoding.
std::expected<std::array<std::uint64_t, track_row::kStringCount>, PdbError> check_track_row_text_sizes(
    Bytes image, std::uint64_t location);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_READ_TRACK_CHECK_H_
