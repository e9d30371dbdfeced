// Artwork rows (table kind 13): the last step of committing new tracks.
// Every new track that names an artwork file gets an artwork row, and its
// track row's artwork_id points at it.
//
// Internal to the library.
#ifndef VANTREL_PDB_EDIT_ARTWORK_H_
#define VANTREL_PDB_EDIT_ARTWORK_H_

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

inline constexpr char kArtworkNeedsTrackId[] = "Track with artwork must not have ID 0";
inline constexpr char kArtworkPathNotShortAscii[] = "Artwork path must be short ASCII";

// One artwork row to add.
struct ArtworkRow {
  std::uint64_t track_row = 0;  // location of the track row that shows it
  std::uint32_t id = 0;         // the artwork row's id, written into the track row too
  std::string_view path;        // the artwork file's path: short ASCII
};

// Writes each row's id into its track row's artwork_id, then appends the
// artwork rows in order at the end of the artwork table's chain: onto its
// last page while that is a data page with room, then onto pages opened at
// the table's empty_candidate, each linked as the editor links a page
// (next_unused_page becomes its successor and the table's new candidate).
// Pages this step opens carry page_sequence 1 and are not stamped; the file
// header's sequence is left alone. The rows count as this edit's in the
// page's edit flags and edit_row_count.
//
// Requires: every track_row is the location of a track row inside `image`.
// Fails with NoTable when the image has no artwork table, with Damaged
// when its chain or pages are unsound, with Misuse when a track row lies
// outside the image, and with Refused(kArtworkPathNotShortAscii) for a path of a byte >= 0x80 or more than 126 bytes;
// the image is then half-changed and must be dropped.
std::expected<void, PdbError> attach_artwork(std::vector<std::uint8_t>& image, std::span<const ArtworkRow> rows);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_ARTWORK_H_
