// Changing a track in place: its fixed fields rewritten where they lie, its
// row laid out anew inside its own heap bytes when its texts change and
// still fit, or else marked absent and appended again (same id, same
// track_serial, every untouched field and text byte for byte); names found
// or created as a new track's are; its artwork row replaced.
//
// Internal to the library.
#ifndef VANTREL_PDB_EDIT_TRACK_UPDATE_H_
#define VANTREL_PDB_EDIT_TRACK_UPDATE_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "edit/keep_only.h"
#include "read/database.h"
#include "vantrel_pdb/error.h"
#include "vantrel_pdb/library.h"

namespace vantrel_pdb {

// How the rows of one change were written.
struct TrackUpdateRows {
  std::size_t rewritten = 0;  // track rows changed where they lie
  std::size_t replaced = 0;   // track rows marked absent and appended again
};

// What a change of one track writes, settled before the first write.
struct TrackUpdatePlan {
  struct Row {
    std::uint64_t location = 0;
    // The first 94 bytes as they are to be, or the whole row (whole_row)
    // when a text changes.
    std::vector<std::uint8_t> bytes;
    bool whole_row = false;
    std::uint64_t room = 0;      // the heap bytes the row has where it lies
    std::uint64_t estimate = 0;  // the allocation of a replacement
    bool replace = false;        // marked absent and appended again
  };
  struct NewName {
    std::uint32_t kind = 0;
    std::uint32_t id = 0;
    std::string name;
  };
  std::uint64_t page_size = 0;
  std::vector<std::uint64_t> absent;  // rows marked absent
  std::vector<Row> rows;
  std::vector<NewName> new_names;  // appended in this order
  std::uint32_t album_artist = 0;  // of a new album row
  std::optional<std::uint32_t> artwork_row_id;
  std::string artwork_path;

  // Whether applying it appends rows (and so may grow the image).
  bool appends() const;
};

// update_track's decisions, reading `image` only; fails as it fails
// before writing.
std::expected<TrackUpdatePlan, PdbError> plan_track_update(Bytes image, const Database& db, std::uint32_t track_id,
                                                           const TrackChange& change);

// Writes `plan`, made from this image; every byte changed in place is
// recorded in `undo` first. The log cannot undo appends: the caller of a
// plan that appends keeps a copy of the image instead. Fails as an append
// fails, the image then half-changed.
std::expected<TrackUpdateRows, PdbError> apply_track_update(std::vector<std::uint8_t>& image,
                                                            const TrackUpdatePlan& plan, UndoLog& undo);

// Applies `change` to every track row whose id is `track_id`. `db` is a
// decoding of `image` (its row locations suffice: the rows of a table whose
// names the change looks up are decoded where they lie). Names are found
// (the first row with the name) or appended with the table's largest id + 1; an
// album row made here carries the track's artist id. A new artwork path
// gets an artwork row whose id is the track's, or the next past every
// artwork row's when that one is taken; the artwork row the track named is
// marked absent when no other track names it. Rows are appended through a
// PdbEditor, which stamps the pages it touched and raises the header's
// sequence once; changes in place leave stamps and sequence alone.
//
// Fails before writing anything with TrackNotFound, StringTooLong,
// RowTooLarge, ValueOutOfRange (a table whose largest id is 0xFFFFFFFF),
// Refused(kUnsupportedAudioExtension) for an audio path outside
// file_type_for_path's table, Refused("Track with artwork must not have ID
// 0") or Refused("Artwork path must be short ASCII"), or with Damaged for a
// row whose place in its page cannot be found; an append's failure
// (TooManySlots, Damaged) leaves the image half-changed: the caller keeps a
// copy to go back to.
std::expected<TrackUpdateRows, PdbError> update_track(std::vector<std::uint8_t>& image, const Database& db,
                                                      std::uint32_t track_id, const TrackChange& change);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_TRACK_UPDATE_H_
