// The play history: history playlists (table kind 11) and their entries
// (kind 12), appended as the reader decodes them. The editor writes no
// history of its own; these keep a history that a program carries over (a
// salvage, a copy) or records.
//
// Internal to the library.
#ifndef VANTREL_PDB_EDIT_HISTORY_ROWS_H_
#define VANTREL_PDB_EDIT_HISTORY_ROWS_H_

#include <cstdint>
#include <expected>
#include <string_view>

#include "edit/editor.h"
#include "read/playlist_rows.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

// Appends a history playlist row: the u32 `id`, then `name` as a PDB
// string; the allocation is the row rounded up to 4 bytes. Ids are the
// caller's: none is checked. Fails with StringTooLong, or as append_row
// fails (NoTable, RowTooLarge, Io); the image is then unchanged.
std::expected<void, PdbError> append_history_playlist(PdbEditor& editor, std::uint32_t id, std::string_view name);

// Appends a history entry row: entry_index, track_id, playlist_id (12
// bytes). Fails as append_row fails; the image is then unchanged.
std::expected<void, PdbError> append_history_entry(PdbEditor& editor, const HistoryEntry& entry);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_HISTORY_ROWS_H_
