// The texts of a caller's TrackInput moved into the NewTrack the editor
// takes, and back: Library::prepare_track moves them in for good, and the
// salvage lends them to the row whose fit it checks before preparing.
//
// Internal to the library.
#ifndef VANTREL_PDB_TRACK_INPUT_ROW_H_
#define VANTREL_PDB_TRACK_INPUT_ROW_H_

#include "edit/new_track.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {

// A row holding the title, audio path, comment, analysis path, artist,
// album, genre, key and label of `track`, moved out of it (the names
// given, an empty one included); every other field of the row keeps its
// default.
NewTrack row_with_texts_of(TrackInput& track);

// Moves the texts row_with_texts_of took back into `track`. Requires: `row`
// came from row_with_texts_of, its names still given.
void give_texts_back(NewTrack& row, TrackInput& track);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_TRACK_INPUT_ROW_H_
