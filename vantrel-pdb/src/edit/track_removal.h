// Removing tracks in place: their rows, the playlist and history entries
// that name them, and the artwork rows that only they showed are marked
// absent. Nothing moves and the image keeps its length.
//
// Internal to the library.
#ifndef VANTREL_PDB_EDIT_TRACK_REMOVAL_H_
#define VANTREL_PDB_EDIT_TRACK_REMOVAL_H_

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "edit/keep_only.h"
#include "read/database.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

// Marks absent every track row whose id is in `ids`, every playlist entry
// and history entry whose track is one of them, and every artwork row whose
// id one of those rows named and no remaining track row names. `db` is a
// decoding of `image` (row locations suffice). Each overwritten byte is
// recorded in `undo`. Fails before writing with TrackNotFound for the first
// id of `ids` that no track row has, or with Damaged for a row whose place
// in its page cannot be found.
std::expected<void, PdbError> remove_tracks(std::vector<std::uint8_t>& image, const Database& db,
                                            std::span<const std::uint32_t> ids, UndoLog& undo);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_TRACK_REMOVAL_H_
