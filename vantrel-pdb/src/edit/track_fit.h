// Whether a track fits before it is inserted: the sizes and encodings that
// PdbEditor::add_track refuses, settled without an editor. A program that
// adds many tracks of unknown origin in one edit (a salvage) leaves out the
// ones that would fail, instead of losing the edit to them.
//
// Internal to the library.
#ifndef VANTREL_PDB_EDIT_TRACK_FIT_H_
#define VANTREL_PDB_EDIT_TRACK_FIT_H_

#include <cstdint>
#include <expected>

#include "edit/new_track.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

// Fails as add_track fails on `track` in an image of `page_size`-byte pages
// for its texts and sizes: StringTooLong for a text that does not encode,
// RowTooLarge for its track row or for an artist, album, genre, key or label
// row it would create. A name that a table already holds needs no row, so
// success is not needed for such a name; failure means some image refuses.
std::expected<void, PdbError> check_track_fits(const NewTrack& track, std::uint64_t page_size);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_TRACK_FIT_H_
